#pragma once
// The byte-level reading of one UpdateInfo.ini line; no platform calls, so any input can be fed
// to it directly.

#include <string>
#include <string_view>

enum class ManifestLineKind { kUpdatedFilesMarker, kDeletedFilesMarker, kEntry };

// What a line (as read, without its line feed) is: a marker only when it equals one whole,
// byte for byte; every other line, the empty one included, is an entry.
ManifestLineKind ClassifyManifestLine(std::string_view line);

struct NormalizedEntry {
  std::string path;  // the entry with every "/" turned into "\" (code page 936 bytes)
  bool hadSlash;     // whether the entry as written contained a "/"
};

// An entry's relative path with backslash separators, and whether it was written with "/".
NormalizedEntry NormalizeManifestEntry(std::string_view entry);
