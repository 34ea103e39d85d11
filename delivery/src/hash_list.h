#pragma once
// UpdateInfo.sha256, the hash list beside UpdateInfo.ini: its one reader and its one writer,
// byte-level and free of platform calls, shared by the updater and vintrel-pack.
//
//   vintrel-delivery 1
//   release <1 .. 2^63-1>
//   <64 lowercase hex digits> <size> <path relative to the delivery folder>
//   ...
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
// Line 1, exactly.
inline constexpr std::string_view kHashListHeader = "vintrel-delivery 1";

using Sha256Digest = std::array<std::uint8_t, 32>;

struct ListedFile {
  std::string path;     // code page 936 bytes, every separator "/" ("\" is read as "/")
  Sha256Digest sha256;  // the file's SHA-256
  std::uint64_t size;   // the file's size in bytes
  std::size_t line;     // the line of the list it was read from (0 for a file not read)
};

struct HashList {
  std::uint64_t release = 0;      // the publisher's number for this delivery
  std::vector<ListedFile> files;  // in the order of the list
};

struct HashListError {
  std::size_t line = 0;  // the line at fault (1-based), or 0 for the file as a whole
  std::string reason;    // what is wrong with it, short English text, e.g. "malformed hash"
};

// Reads a whole hash list from its bytes into list; on the first fault returns false and says
// where and why in error (list is then incomplete and must not be used).
bool ParseHashList(std::string_view bytes, HashList& list, HashListError& error);

// The error as one line for a log: "line 4: malformed hash", or the reason alone for line 0.
std::string HashListErrorText(const HashListError& error);

// The list's text for these files, CR LF line ends, paths written as given with "\" turned into
// "/"; the files must be a valid list (ParseHashList of the result gives them back).
std::string HashListText(std::uint64_t release, const std::vector<ListedFile>& files);

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
