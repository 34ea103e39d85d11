#include "manifest_line.h"

#include <algorithm>

namespace {

constexpr std::string_view kUpdatedFilesMarker = "UpdatedFiles:";
constexpr std::string_view kDeletedFilesMarker = "DeletedFiles:";

}  // namespace

ManifestLineKind ClassifyManifestLine(std::string_view line) {
  if (line == kUpdatedFilesMarker) return ManifestLineKind::kUpdatedFilesMarker;
  if (line == kDeletedFilesMarker) return ManifestLineKind::kDeletedFilesMarker;
  return ManifestLineKind::kEntry;
}

NormalizedEntry NormalizeManifestEntry(std::string_view entry) {
  NormalizedEntry normalized{std::string(entry), entry.find('/') != std::string_view::npos};
  // 0x2F never occurs inside a double-byte character of code page 936: only separators change.
  std::replace(normalized.path.begin(), normalized.path.end(), '/', '\\');
  return normalized;
}

std::size_t ExtendLine(std::string_view chunk, std::size_t limit, BoundedLine& line) {
  const std::size_t feed = chunk.find('\n');
  const std::size_t length = feed == std::string_view::npos ? chunk.size() : feed;
  const std::size_t room = line.kept.size() < limit ? limit - line.kept.size() : 0;
  line.kept.append(chunk.data(), std::min(length, room));
  if (length > room) line.cut = true;
  line.ended = feed != std::string_view::npos;
  return line.ended ? feed + 1 : chunk.size();
}
