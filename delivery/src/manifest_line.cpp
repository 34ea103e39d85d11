#include "manifest_line.h"

#include <algorithm>

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

namespace {

void Keep(std::string_view bytes, std::size_t limit, BoundedLine& line) {
  const std::size_t room = line.kept.size() < limit ? limit - line.kept.size() : 0;
  line.kept.append(bytes.data(), std::min(bytes.size(), room));
  if (bytes.size() > room) line.cut = true;
}

}  // namespace

std::size_t ExtendLine(std::string_view chunk, std::size_t limit, BoundedLine& line) {
  if (chunk.empty()) return 0;
  if (line.pendingCr) {
    line.pendingCr = false;
    if (chunk.front() == '\n') {
      line.ended = true;
      return 1;
    }
    Keep("\r", limit, line);
  }
  const std::size_t feed = chunk.find('\n');
  line.ended = feed != std::string_view::npos;
  std::string_view bytes = chunk.substr(0, feed);
  if (!bytes.empty() && bytes.back() == '\r') {
    bytes.remove_suffix(1);
    // Without the line feed in this chunk, the next one decides.
    line.pendingCr = !line.ended;
  }
  Keep(bytes, limit, line);
  return line.ended ? feed + 1 : chunk.size();
}

void FinishLine(std::size_t limit, BoundedLine& line) {
  if (!line.pendingCr) return;
  line.pendingCr = false;
  Keep("\r", limit, line);
}

std::size_t ManifestLineReader::Feed(std::string_view chunk, const OnLine& onLine) {
  if (ended_) return 0;
  const std::size_t endMark = chunk.find(kEndOfText);
  ended_ = endMark != std::string_view::npos;
  const std::string_view text = chunk.substr(0, endMark);
  for (std::size_t at = 0; at < text.size();) {
    at += ExtendLine(text.substr(at), kMaxKeptLineBytes, line_);
    if (!line_.ended) continue;
    onLine(line_);
    // Cleared in place: the next line reuses the room.
    line_.kept.clear();
    line_.cut = line_.ended = false;
  }
  return text.size();
}

void ManifestLineReader::Finish(const OnLine& onLine) {
  FinishLine(kMaxKeptLineBytes, line_);
  if (!line_.kept.empty() || line_.cut) onLine(line_);
  line_ = BoundedLine();
}
