#include "update/delivered_files.h"

#include <algorithm>

#include "base/file_copy.h"
#include "base/log.h"
#include "base/text.h"

namespace {

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

}  // namespace

std::string Decimal(std::uint64_t value) { return FormatUInt64(value); }

std::string OutcomePath(const std::string& written) {
  std::string path = written;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

void Refuse(ListedApply& apply, ApplyReason why, const std::string& file,
            const std::string& reason) {
  WriteLog("refuse delivery : " + file + " : " + reason);
  apply.outcome.result = ApplyResult::kRefused;
  apply.outcome.reason = why;
  apply.outcome.file = OutcomePath(file);
}

std::wstring DeliveredFile(const std::wstring& deliveryFinalPath, const ListedFile& listed) {
  std::string path = DeliveredPath(listed);
  std::replace(path.begin(), path.end(), '/', '\\');
  return deliveryFinalPath + L"\\" + NarrowToWide(path);
}

CheckedItem OpenDelivered(const std::wstring& path, std::string& reason) {
  CheckedItem item = OpenChecked(path, GENERIC_READ, FILE_SHARE_READ, ItemKind::kFile);
  switch (item.state) {
    case CheckedState::kChecked:
      break;
    case CheckedState::kUnavailable:
      reason = "missing from the delivery or not to be read";
      break;
    case CheckedState::kLink:
    case CheckedState::kElsewhere:
      reason = "a link, or reached through one";
      break;
    case CheckedState::kHardLinked:
      reason = "a second name of another file";
      break;
  }
  return item;
}

ReadDeliveredResult ReadDelivered(const std::wstring& path, std::uint64_t limit,
                                  std::string& bytes, std::string& reason) {
  const CheckedItem file = OpenDelivered(path, reason);
  if (file.state != CheckedState::kChecked) return ReadDeliveredResult::kUnavailable;
  if (SizeOf(file.info) > limit) {
    reason = "larger than the updater reads, or cannot be read";
    return ReadDeliveredResult::kTooLarge;
  }
  switch (ReadOpenFile(file.handle.get(), static_cast<std::size_t>(limit), bytes)) {
    case ReadResult::kRead:
      return ReadDeliveredResult::kRead;
    case ReadResult::kNoMemory:
      reason = "not enough memory to read it";
      return ReadDeliveredResult::kNoMemory;
    case ReadResult::kFailed:
      break;
  }
  reason = "larger than the updater reads, or cannot be read";
  return ReadDeliveredResult::kTooLarge;
}

bool Matches(const Sha256Value& digest, std::uint64_t size, const Sha256Digest& listedSha256,
             std::uint64_t listedSize, std::string& reason) {
  if (size != listedSize) {
    reason = (size < listedSize ? "cut short: " : "longer than listed: ") + Decimal(size) +
             " bytes, listed " + Decimal(listedSize);
    return false;
  }
  if (!std::equal(digest.begin(), digest.end(), listedSha256.begin())) {
    reason = "SHA-256 differs from the hash list";
    return false;
  }
  return true;
}

bool MatchesList(const Sha256Value& digest, std::uint64_t size, const ListedFile& listed,
                 std::string& reason) {
  return Matches(digest, size, listed.sha256, listed.size, reason);
}

bool DeliveredAsListed(HANDLE file, const ListedFile& listed, std::string& reason) {
  std::uint64_t size = 0;
  Sha256Value digest = {};
  if (!HashOpenFile(file, digest, size)) {
    reason = "cannot be read or hashed";
    return false;
  }
  return listed.kind == ListedKind::kPlain
             ? MatchesList(digest, size, listed, reason)
             : Matches(digest, size, listed.frameSha256, listed.frameSize, reason);
}
