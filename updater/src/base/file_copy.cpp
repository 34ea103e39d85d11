#include "base/file_copy.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "base/checked_items.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

constexpr int kHeldFileAttempts = 3;
constexpr DWORD kHeldFileRetryWaitMs = 100;
// Large enough that the copy costs what the disk costs, small enough for a 32-bit process.
constexpr DWORD kCopyBlockBytes = 256 * 1024;
// The attributes a copy carries over, as CopyFileW does.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SleepMilliseconds(DWORD milliseconds) { Sleep(milliseconds); }

SleepFunction sleepBetweenAttempts = SleepMilliseconds;

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
  sleepBetweenAttempts = hook ? hook : SleepMilliseconds;
}

bool RetryWhileHeld(const std::function<bool()>& attempt) {
  for (int tried = 0; tried < kHeldFileAttempts; ++tried) {
    if (attempt()) return true;
    sleepBetweenAttempts(kHeldFileRetryWaitMs);
  }
  return false;
}

ReadResult ReadOpenFile(HANDLE file, std::size_t maxBytes, std::string& bytes) {
  LARGE_INTEGER size = {};
  LARGE_INTEGER start = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > maxBytes ||
      !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    return ReadResult::kFailed;
  }
  // One byte more than the size is asked for: a file that grew meanwhile is no whole read.
  const std::size_t expected = static_cast<std::size_t>(size.QuadPart);
  // A failed allocation ends the program (it has no exceptions): asked of the heap first, so
  // that a file a 32-bit process cannot hold is a refusal instead. One thread: the block freed
  // is the one the string then takes.
  void* room = std::malloc(expected + 1);
  if (!room) return ReadResult::kNoMemory;
  std::free(room);
  bytes.clear();
  bytes.shrink_to_fit();
  bytes.assign(expected + 1, '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1u << 20));
    if (!ReadFile(file, &bytes[got], want, &read, nullptr)) return ReadResult::kFailed;
    if (read == 0) break;
    got += read;
  }
  if (got > expected) return ReadResult::kFailed;
  bytes.resize(got);
  return ReadResult::kRead;
}

bool CopyOpenFile(HANDLE source, const std::wstring& destination,
                  const CopiedBytesFunction& onBytes, FileHandle* keepOpen, CopyTarget target) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!ReadItemInformation(source, info) || !Rewind(source)) return false;
  const DWORD attributes = info.dwFileAttributes & kCopiedAttributes;
  FileHandle copy(CreateFileW(destination.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                              target == CopyTarget::kCreateNew ? CREATE_NEW : CREATE_ALWAYS,
                              attributes ? attributes : FILE_ATTRIBUTE_NORMAL,
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

bool CopyOpenFileInto(HANDLE source, HANDLE destination) {
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_BASIC_INFO basic = {};
  if (!ReadItemInformation(source, info) || !Rewind(source) ||
      !CopyBlocks(source, destination, nullptr) ||
      !GetFileInformationByHandleEx(destination, FileBasicInfo, &basic, sizeof(basic))) {
    return false;
  }
  basic.LastWriteTime.LowPart = info.ftLastWriteTime.dwLowDateTime;
  basic.LastWriteTime.HighPart = static_cast<LONG>(info.ftLastWriteTime.dwHighDateTime);
  const DWORD attributes = info.dwFileAttributes & kCopiedAttributes & ~FILE_ATTRIBUTE_READONLY;
  basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(destination, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

int CopyHeldFileWithRetry(const std::wstring& source, HANDLE held,
                          const std::wstring& destination) {
  WriteLog("copy file from : " + WideToNarrow(source) + ",to :" + WideToNarrow(destination));
  if (held == INVALID_HANDLE_VALUE || held == nullptr) return 0;
  if (CopyOpenFile(held, destination)) return 1;

  // Only a copy that can succeed may cost the installed file: the source is held open, and
  // readable, until the second copy.
  if (PathExists(destination) &&
      !RetryWhileHeld([&] { return DeleteFileW(destination.c_str()) != FALSE; })) {
    WriteLog("wait 300 to delet but failed ");
    return 0;
  }
  return CopyOpenFile(held, destination) ? 1 : 0;
}

int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination) {
  // Held without write or delete sharing: what is checked is what is copied.
  const FileHandle held(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  return CopyHeldFileWithRetry(source, held.get(), destination);
}
