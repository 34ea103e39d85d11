#include "update/release_record.h"

#include <windows.h>

#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "update/journal.h"
#include "record_number.h"

namespace {

const wchar_t kReleaseRecord[] = L".vintrel\\release";
constexpr std::size_t kMaxRecordBytes = 64;

}  // namespace

std::string ReleaseRecordText(std::uint64_t release) { return FormatUInt64(release) + "\r\n"; }

bool ParseReleaseRecord(const std::string& text, std::uint64_t& release) {
  // A number above 0, then the line end: a cut record is no number.
  return text.size() >= 3 && text.compare(text.size() - 2, 2, "\r\n") == 0 &&
         ParseRecordNumber(std::string_view(text).substr(0, text.size() - 2), release) &&
         release != 0;
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
