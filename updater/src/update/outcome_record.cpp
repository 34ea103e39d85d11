#include "update/outcome_record.h"

#include <windows.h>

#include <ctime>
#include <string>

#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/folders.h"
#include "base/handles.h"

namespace {

const wchar_t kRecordName[] = L"update-outcome.txt";
const wchar_t kWritingName[] = L"update-outcome.txt.new";

}  // namespace

bool OutcomeWorthRecording(const ApplyOutcome& outcome) {
  return outcome.result != ApplyResult::kNotStarted || outcome.reason != ApplyReason::kNone;
}

bool WriteOutcomeRecord(const ApplyOutcome& outcome) {
  vintrel::UpdateOutcome record;
  record.result = outcome.result;
  record.reason = outcome.reason;
  record.release = outcome.release;
  record.file = outcome.file;
  record.time = static_cast<std::uint64_t>(std::time(nullptr));
  // A path the record cannot hold is left out rather than the record.
  if (!vintrel::IsWritableUpdateOutcome(record)) record.file.clear();
  const std::string bytes = vintrel::FormatUpdateOutcome(record);

  const std::wstring dataFolder = GetDataFolder();
  const size_t cut = dataFolder.find_last_of(L'\\');
  if (cut == std::wstring::npos) return false;
  const AnchoredFolder data =
      OpenAnchoredFolder(dataFolder.substr(0, cut + 1), {dataFolder.substr(cut + 1)});
  if (data.finalPath.empty()) return false;
  const HANDLE folder = data.held.back().get();
  const FileHandle file =
      OpenOrCreateInFolder(folder, kWritingName, GENERIC_WRITE | DELETE, 0);
  BY_HANDLE_FILE_INFORMATION info = {};
  DWORD written = 0;
  // One name, a plain file: never a link or a second name of a file elsewhere.
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      info.nNumberOfLinks != 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !SetEndOfFile(file.get()) || !FlushFileBuffers(file.get())) {
    RemoveThroughHandle(file.get());
    return false;
  }
  // A kill here leaves the temporary file; the next record written takes it over.
  NoteDiskChange();
  if (!RenameThroughHandle(file.get(), kRecordName, folder, true)) {
    RemoveThroughHandle(file.get());
    return false;
  }
  NoteDiskChange();
  return true;
}
