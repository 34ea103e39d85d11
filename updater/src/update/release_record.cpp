#include "update/release_record.h"

#include <windows.h>

#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "update/journal.h"

namespace {

const wchar_t kReleaseRecord[] = L".vintrel\\release";
constexpr std::size_t kMaxRecordBytes = 64;

}  // namespace

std::string ReleaseRecordText(std::uint64_t release) { return FormatUInt64(release) + "\r\n"; }

bool ParseReleaseRecord(const std::string& text, std::uint64_t& release) {
  // 1 to 19 digits without a leading zero, then the line end: a cut record is no number.
  const std::size_t digits = text.size() - 2;
  if (text.size() < 3 || text.size() > 21 || text.compare(digits, 2, "\r\n") != 0 ||
      text[0] == '0') {
    return false;
  }
  release = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (release > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) return false;
    release = release * 10 + digit;
  }
  return true;
}

ReleaseRecordRead ReadReleaseRecord(const std::wstring& rootFolder, std::uint64_t& release) {
  release = 0;
  const std::wstring path = PathBelowRoot(rootFolder, kReleaseRecord);
  if (path.empty()) return ReleaseRecordRead::kUnreadable;
  const FileHandle record(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!record.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? ReleaseRecordRead::kNone
               : ReleaseRecordRead::kUnreadable;
  }
  std::string text;
  if (ReadOpenFile(record.get(), kMaxRecordBytes, text) != ReadResult::kRead || !ParseReleaseRecord(text, release)) {
    release = 0;
    return ReleaseRecordRead::kUnreadable;
  }
  return ReleaseRecordRead::kRead;
}

bool WriteReleaseRecord(const std::wstring& rootFolder, std::uint64_t release) {
  return MakeJournalFolder(rootFolder) &&
         ReplaceFileDurably(PathBelowRoot(rootFolder, kReleaseRecord), ReleaseRecordText(release));
}
