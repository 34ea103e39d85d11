#include "update/release_record.h"

#include <windows.h>

#include <cwchar>

#include "base/file_copy.h"
#include "base/handles.h"
#include "base/text.h"
#include "base/log.h"
#include "update/journal.h"
#include "record_number.h"

namespace {

const wchar_t kReleaseRecord[] = L".vintrel\\release";
const wchar_t kMarkers[] = L".vintrel\\release-*";
const wchar_t kMarkerPrefix[] = L"release-";
constexpr std::size_t kMaxRecordBytes = 64;

// Calls onMarker with each marker's name and number; false when the folder cannot be listed or
// a name is no number.
template <typename OnMarker>
ReleaseRecordRead ForEachMarker(const std::wstring& rootFolder, const OnMarker& onMarker) {
  const std::wstring pattern = PathBelowRoot(rootFolder, kMarkers);
  if (pattern.empty()) return ReleaseRecordRead::kUnreadable;
  WIN32_FIND_DATAW found = {};
  const FindHandle listing(FindFirstFileW(pattern.c_str(), &found));
  if (!listing.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? ReleaseRecordRead::kNone
               : ReleaseRecordRead::kUnreadable;
  }
  do {
    const std::wstring name = found.cFileName;
    std::uint64_t number = 0;
    if (!ParseRecordNumber(WideToNarrow(name.substr(wcslen(kMarkerPrefix))), number) ||
        number == 0) {
      return ReleaseRecordRead::kUnreadable;
    }
    onMarker(name, number);
  } while (FindNextFileW(listing.get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES ? ReleaseRecordRead::kRead
                                               : ReleaseRecordRead::kUnreadable;
}

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

ReleaseRecordRead ReadPublishedRelease(const std::wstring& rootFolder, std::uint64_t& release) {
  release = 0;
  std::uint64_t highest = 0;
  const ReleaseRecordRead markers = ForEachMarker(
      rootFolder, [&](const std::wstring&, std::uint64_t number) {
        if (number > highest) highest = number;
      });
  if (markers == ReleaseRecordRead::kNone) return ReadReleaseRecord(rootFolder, release);
  if (markers == ReleaseRecordRead::kRead) release = highest;
  return markers;
}

bool WriteReleaseRecord(const std::wstring& rootFolder, std::uint64_t release) {
  if (!MakeJournalFolder(rootFolder) ||
      !ReplaceFileDurably(PathBelowRoot(rootFolder, kReleaseRecord), ReleaseRecordText(release))) {
    return false;
  }
  const std::wstring marker = std::wstring(kMarkerPrefix) + NarrowToWide(FormatUInt64(release));
  RecordSecurity security;
  const bool marked =
      security.attributes() &&
      FileHandle(CreateFileW(PathBelowRoot(rootFolder, L".vintrel\\" + marker).c_str(),
                             GENERIC_WRITE, 0, security.attributes(), CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr))
          .valid();
  // The other markers go: a kill before that leaves a higher one beside them, which is the one
  // read. The markers are no kill points of the proof: they follow the durable record, and
  // whatever a kill leaves of them (none, the earlier one, both) has the first stage fall back
  // to the record or read a lower number, which starts nothing newer than is installed.
  ForEachMarker(rootFolder, [&](const std::wstring& name, std::uint64_t) {
    if (!marked || name != marker) {
      DeleteFileW(PathBelowRoot(rootFolder, L".vintrel\\" + name).c_str());
    }
  });
  return true;
}
