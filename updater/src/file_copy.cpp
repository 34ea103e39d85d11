#include "file_copy.h"

#include <memory>

#include "checked_items.h"
#include "handles.h"
#include "log.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr int kDeleteAttempts = 3;
constexpr DWORD kDeleteRetryWaitMs = 100;
// Large enough that the copy costs what the disk costs, small enough for a 32-bit process.
constexpr DWORD kCopyBlockBytes = 256 * 1024;
// The attributes a copy carries over, as CopyFileW does.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SleepMilliseconds(DWORD milliseconds) { Sleep(milliseconds); }

SleepFunction sleepBetweenDeletes = SleepMilliseconds;

bool Rewind(HANDLE file) {
  LARGE_INTEGER start = {};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

bool CopyBlocks(HANDLE source, HANDLE destination, const CopiedBytesFunction& onBytes) {
  const std::unique_ptr<char[]> block(new char[kCopyBlockBytes]);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(source, block.get(), kCopyBlockBytes, &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD written = 0;
    if (!WriteFile(destination, block.get(), got, &written, nullptr) || written != got) {
      return false;
    }
    if (onBytes) onBytes(block.get(), got);
  }
}

}  // namespace

void SetCopyRetrySleepHookForTesting(SleepFunction hook) {
  sleepBetweenDeletes = hook ? hook : SleepMilliseconds;
}

bool CopyOpenFile(HANDLE source, const std::wstring& destination,
                  const CopiedBytesFunction& onBytes, FileHandle* keepOpen) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(source, &info) || !Rewind(source)) return false;
  const DWORD attributes = info.dwFileAttributes & kCopiedAttributes;
  FileHandle copy(CreateFileW(destination.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                              CREATE_ALWAYS, attributes ? attributes : FILE_ATTRIBUTE_NORMAL,
                              nullptr));
  if (!copy.valid()) return false;
  if (!CopyBlocks(source, copy.get(), onBytes) ||
      !SetFileTime(copy.get(), nullptr, nullptr, &info.ftLastWriteTime)) {
    // A partial copy must not stand in for the file.
    RemoveThroughHandle(copy.get());
    return false;
  }
  if (keepOpen) *keepOpen = std::move(copy);
  return true;
}

int CopyHeldFileWithRetry(const std::wstring& source, HANDLE held,
                          const std::wstring& destination) {
  WriteLog("copy file from : " + WideToNarrow(source) + ",to :" + WideToNarrow(destination));
  if (held == INVALID_HANDLE_VALUE || held == nullptr) return 0;
  if (CopyOpenFile(held, destination)) return 1;

  // Only a copy that can succeed may cost the installed file: the source is held open, and
  // readable, until the second copy.
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
  return CopyOpenFile(held, destination) ? 1 : 0;
}

int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination) {
  // Held without write or delete sharing: what is checked is what is copied.
  const FileHandle held(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  return CopyHeldFileWithRetry(source, held.get(), destination);
}
