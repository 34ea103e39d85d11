#include "file_copy.h"

#include "folders.h"
#include "log.h"
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

int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination) {
  WriteLog("copy file from : " + WideToNarrow(source) + ",to :" + WideToNarrow(destination));
  if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) return 1;

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
  return CopyFileW(source.c_str(), destination.c_str(), FALSE) ? 1 : 0;
}
