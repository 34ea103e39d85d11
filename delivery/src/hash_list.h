#pragma once
// UpdateInfo.sha256, the hash list beside UpdateInfo.ini: its one reader and its one writer,
// byte-level and free of platform calls, shared by the updater and vintrel-pack.
//
//   vintrel-delivery 1
//   release <1 .. 2^63-1>
//   <64 lowercase hex digits> <size> <path relative to the delivery folder>
//   ...
//
// Format 2 ("vintrel-delivery 2", a delta delivery) takes two more line kinds beside those:
//
//   zstd <sha256> <size> <frame-sha256> <frame-size> <path>
//   patch <sha256> <size> <frame-sha256> <frame-size> <base-sha256> <path>
//
// <sha256> <size> are always the result's, the file as installed at <path>. The delivered bytes
// lie at <path>.zst (a zstd frame of the file) or <path>.zstpatch (a zstd frame made with the
// installed file whose SHA-256 is <base-sha256> as its prefix); <frame-sha256> <frame-size> are
// those bytes'. UpdateInfo.ini and Updater.exe are plain lines.
//
// Format 3 ("vintrel-delivery 3") describes the whole release the delivery installs: line 3 says
// what it applies onto, the delivered lines (as in format 2) follow, then a line for each file of
// the release that the delivery does not carry, which must already be installed so:
//
//   from <release>          a partial delivery: only onto that release (below its own)
//   full <a.b.c.d>          a full delivery: onto any release; the release's main application
//                           file version, which an installation with no release recorded checks
//   kept <sha256> <size> <path>
//
// Code page 936 text, lines ended by CR LF or LF (written with CR LF), read by the manifest's
// bounded line rules. A list with no file lines is valid: it lists nothing, and the delivery
// checks that require UpdateInfo.ini and every copied file to be listed then refuse it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The list's file name, beside UpdateInfo.ini.
inline constexpr std::string_view kHashListFileName = "UpdateInfo.sha256";
// The most of a list that is read: a line takes about 170 bytes for a usual path, so this is
// far beyond any installation's list while bounding what a reader holds.
inline constexpr std::size_t kMaxHashListBytes = 32u << 20;
// The largest release number a list holds, 2^63-1 (the smallest is 1).
inline constexpr std::uint64_t kMaxHashListRelease = (std::uint64_t{1} << 63) - 1;
// Line 1, exactly, of a list of plain files (format 1) and of a delta delivery (format 2).
inline constexpr std::string_view kHashListHeader = "vintrel-delivery 1";
inline constexpr std::string_view kHashListHeaderDelta = "vintrel-delivery 2";
inline constexpr std::string_view kHashListHeaderRelease = "vintrel-delivery 3";
// What the delivered file of a zstd line and of a patch line adds to the listed path.
inline constexpr std::string_view kZstdSuffix = ".zst";
inline constexpr std::string_view kPatchSuffix = ".zstpatch";

using Sha256Digest = std::array<std::uint8_t, 32>;

// How a listed file is delivered: as itself, as a zstd frame of it, or as a zstd patch against
// the installed file.
enum class ListedKind { kPlain, kZstd, kPatch };

struct ListedFile {
  std::string path;     // code page 936 bytes, every separator "/" ("\" is read as "/")
  Sha256Digest sha256;  // the file's SHA-256 (the result's, once decoded)
  std::uint64_t size;   // the file's size in bytes (the result's, once decoded)
  std::size_t line;     // the line of the list it was read from (0 for a file not read)
  ListedKind kind = ListedKind::kPlain;
  Sha256Digest frameSha256 = {};  // zstd and patch: the SHA-256 of the delivered frame
  std::uint64_t frameSize = 0;    // zstd and patch: the delivered frame's size in bytes
  Sha256Digest baseSha256 = {};   // patch: the SHA-256 of the installed file it applies to
};

// A file version as VERSIONINFO holds it: a.b.c.d.
using FileVersion = std::array<std::uint16_t, 4>;

struct HashList {
  int format = 1;                 // 1, 2 for a delta delivery, 3 for a whole release
  std::uint64_t release = 0;      // the publisher's number for this delivery
  std::vector<ListedFile> files;  // the delivered files, in the order of the list
  // Format 3 only:
  bool full = false;               // applies onto any release
  std::uint64_t from = 0;          // not full: the one release it applies onto (below release)
  FileVersion mainVersion = {};    // full: the main application's file version in the release
  std::vector<ListedFile> kept;    // the release's files that must be installed as listed
};

struct HashListError {
  std::size_t line = 0;  // the line at fault (1-based), or 0 for the file as a whole
  std::string reason;    // what is wrong with it, short English text, e.g. "malformed hash"
};

// Reads a whole hash list, format 1, 2 or 3, from its bytes into list; on the first fault returns
// false and says where and why in error (list is then incomplete and must not be used).
bool ParseHashList(std::string_view bytes, HashList& list, HashListError& error);

// The error as one line for a log: "line 4: malformed hash", or the reason alone for line 0.
std::string HashListErrorText(const HashListError& error);

// The list's text for these files in format 1 or 2, CR LF line ends, paths written as given with
// "\" turned into "/"; the files must be a valid list of that format (ParseHashList of the
// result gives them back).
std::string HashListText(std::uint64_t release, const std::vector<ListedFile>& files,
                         int format = 1);

// The list's text for any format: a format 3 list writes its "from" or "full" line and its kept
// files (after the delivered ones), which the other formats do not have.
std::string HashListText(const HashList& list);

// "a.b.c.d", and back (four decimal numbers of 0 to 65535 without leading zeros); false for
// anything else.
std::string FileVersionText(const FileVersion& version);
bool ParseFileVersion(std::string_view text, FileVersion& version);

// Where the listed file's delivered bytes lie in the delivery: its path, plus ".zst" for a zstd
// frame or ".zstpatch" for a patch.
std::string DeliveredPath(const ListedFile& file);

// A code page 936 path with every separator written as "/": a "\" that is the trail byte of a
// double-byte character is left alone.
std::string ListPath(std::string_view cp936Path);

// The key under which the file system finds a code page 936 path: the letters code page 936
// holds in both cases (ASCII, full-width Latin, Greek, Cyrillic, Roman numerals) folded to upper
// case; the trail byte of a double-byte character is never folded on its own.
std::string FoldPathCase(std::string_view cp936Path);

// The positions of a list's files by FoldPathCase of their paths.
using ListedFileIndex = std::unordered_map<std::string, std::size_t>;

// The index of list's files, for looking many paths up.
ListedFileIndex IndexListedFiles(const HashList& list);

// The file of list whose path equals cp936Path (separators and letter case aside), or nullptr.
const ListedFile* FindListedFile(const HashList& list, const ListedFileIndex& index,
                                 std::string_view cp936Path);

// A digest as 64 lowercase hexadecimal digits.
std::string DigestHex(const Sha256Digest& digest);
