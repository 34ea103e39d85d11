#include "file_copy.h"

#include "handles.h"
#include "log.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr int kDeleteAttempts = 3;
constexpr DWORD kDeleteRetryWaitMs = 100;

void SleepMilliseconds(DWORD milliseconds) { Sleep(milliseconds); }

SleepFunction sleepBetweenDeletes = SleepMilliseconds;

}  // namespace

void SetCopyRetrySleepHookForTesting(SleepFunction hook) {
  sleepBetweenDeletes = hook ? hook : SleepMilliseconds;
}

int CopyHeldFileWithRetry(const std::wstring& source, const std::wstring& readFrom,
                          const std::wstring& destination) {
  WriteLog("copy file from : " + WideToNarrow(source) + ",to :" + WideToNarrow(destination));
  if (readFrom.empty()) return 0;
  if (CopyFileW(readFrom.c_str(), destination.c_str(), FALSE)) return 1;

  // Only a copy that can succeed may cost the installed file. Held without write or delete
  // sharing, the source stays readable until the second copy.
  const FileHandle readable(CreateFileW(readFrom.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!readable.valid()) return 0;

  if (PathExists(destination)) {
    bool deleted = false;
    for (int attempt = 0; attempt < kDeleteAttempts && !deleted; ++attempt) {
      deleted = DeleteFileW(destination.c_str()) != FALSE;
      if (!deleted) sleepBetweenDeletes(kDeleteRetryWaitMs);
    }
    if (!deleted) {
      WriteLog("wait 300 to delet but failed ");
      return 0;
    }
  }
  return CopyFileW(readFrom.c_str(), destination.c_str(), FALSE) ? 1 : 0;
}

int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination) {
  return CopyHeldFileWithRetry(source, source, destination);
}
