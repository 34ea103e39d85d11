#pragma once
// The byte-level reading of UpdateInfo.ini lines; no platform calls, so any input can be fed to
// it directly.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

enum class ManifestLineKind { kUpdatedFilesMarker, kDeletedFilesMarker, kEntry };

// The two markers, as a line must hold them exactly.
inline constexpr std::string_view kUpdatedFilesMarker = "UpdatedFiles:";
inline constexpr std::string_view kDeletedFilesMarker = "DeletedFiles:";

// What a line (as read, without its line feed) is: a marker only when it equals one whole,
// byte for byte; every other line, the empty one included, is an entry.
ManifestLineKind ClassifyManifestLine(std::string_view line);

struct NormalizedEntry {
  std::string path;  // the entry with every "/" turned into "\" (code page 936 bytes)
  bool hadSlash;     // whether the entry as written contained a "/"
};

// An entry's relative path with backslash separators, and whether it was written with "/".
NormalizedEntry NormalizeManifestEntry(std::string_view entry);

// The most of a line that is kept: the longest path the platform takes, 32,767 characters, at
// up to two bytes each. A longer line can name no file.
inline constexpr std::size_t kMaxKeptLineBytes = 2 * 32767;

// A line as it is read: at most a bounded prefix is kept, the rest up to the line feed dropped.
struct BoundedLine {
  std::string kept;        // the line's first bytes, without the line feed
  bool cut = false;        // bytes beyond the bound were dropped
  bool ended = false;      // its line feed has been read
  bool pendingCr = false;  // a CR ended the last chunk: dropped if a line feed follows
};

// Adds the bytes of chunk before its first line feed to line, keeping at most limit bytes in
// line.kept, and marks the line ended when the line feed is there. As in text mode, a CR right
// before the line feed is dropped and any other CR kept. Returns how many bytes of chunk it
// used, the line feed included.
std::size_t ExtendLine(std::string_view chunk, std::size_t limit, BoundedLine& line);

// At the end of the file: a CR held back is part of the last line after all.
void FinishLine(std::size_t limit, BoundedLine& line);

// CTRL+Z, where a text-mode read of a file ends.
inline constexpr char kEndOfText = '\x1A';

// The manifest's bytes, fed in chunks of any size, as lines by the updater's rules: each line
// bounded as ExtendLine keeps it, CR LF read as LF, and a CTRL+Z ending the text.
class ManifestLineReader {
 public:
  using OnLine = std::function<void(const BoundedLine&)>;

  // Hands each line finished in chunk to onLine. Returns how many bytes of chunk belong to the
  // text: all of them, or those before a CTRL+Z, which ends the text (Ended() then holds and
  // later chunks are not read).
  std::size_t Feed(std::string_view chunk, const OnLine& onLine);

  // At the end of the file: hands the last line, which has no line feed, to onLine when it
  // holds anything.
  void Finish(const OnLine& onLine);

  // Whether a CTRL+Z has ended the text.
  bool Ended() const { return ended_; }

 private:
  BoundedLine line_;
  bool ended_ = false;
};
