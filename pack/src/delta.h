#pragma once
// The files of a delta delivery: each changed or new file delivered as the smallest of a zstd
// patch against the installed file, a zstd frame of the whole file, and the file itself; the
// hash list binds what is delivered to the file it decodes to.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "hash_list.h"

// zstd's level for delivered frames and patches: slow to make, decoded as fast as any.
inline constexpr int kDeltaLevel = 19;

// A changed file whose patch is at most 1/kFrameSkipRatio of its size goes as that patch without
// a frame being made: the frame, made with the same settings but without the installed file
// before it, could only be smaller if the file compressed more than 32:1 on its own (programs
// and their resources compress 2 to 4 times, random bytes not at all), and even then it would
// save less than 1/32 of the file's size. Making it costs as much as the patch, at level 19.
inline constexpr std::uint64_t kFrameSkipRatio = 32;

// A file of at least kProbeBytes is first compressed at zstd's fastest level, only measured:
// when that saves less than 1/kProbeSaveRatio of it (media, archives, random bytes), level 19
// would save hardly more and takes a minute for 50 MB, so no frame is made and the file goes
// plain.
inline constexpr std::uint64_t kProbeBytes = 1u << 20;
inline constexpr std::uint64_t kProbeSaveRatio = 64;

struct DeltaStats {
  std::uint64_t patches = 0, frames = 0, plain = 0;  // files delivered each way
  std::uint64_t deliveredBytes = 0;                  // the bytes of what they deliver
};

// How one file of a delta delivery went, for the report.
struct DeltaFile {
  std::string relative;  // UTF-8
  ListedKind kind;
  std::uint64_t deliveredBytes;
  std::string why;  // "patch: ...", "frame: ...", "plain: ..."
};

struct DeltaOptions {
  // The old tree's file that the new tree's file (relative name) replaces, or an empty path
  // for a new file.
  std::function<std::filesystem::path(const std::string& relative)> baseOf;
  std::size_t deliveryLength;  // characters of the delivery folder on the user's machine
  DeltaStats stats;            // filled while the delivery is written
  std::vector<DeltaFile> files;  // likewise, in the order delivered
};

// Writes the new tree's file source into folder for relative (its UTF-8 name): as relative's
// ".zstpatch" against base (when base is not empty, and both files fit the decoder's window),
// as its ".zst", or as itself, whichever is smallest, unless plain asks for the file itself; a
// patch of at most 1/kFrameSkipRatio of the file is kept without a frame being tried.
// listed gets its hash list line (path in code page 936), why (when given) the reason for the
// choice, e.g. "frame: the base is over the 128 MiB patch limit". With folder empty nothing is
// written: the choice is made and listed's sizes measured, without the hashes. False, with
// error set, when a file cannot be read or written.
bool DeliverSmallest(const std::filesystem::path& source, const std::filesystem::path& base,
                     const std::filesystem::path& folder, const std::string& relative,
                     bool plain, ListedFile& listed, std::string& error,
                     std::string* why = nullptr);
