#pragma once
// The logged file copy that both stages use, and the copy from an open file it stands on.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "base/handles.h"

// Sees every block of bytes a copy moves, in order.
using CopiedBytesFunction = std::function<void(const char* bytes, std::size_t size)>;

enum class CopyTarget {
  kCreateOrReplace,
  kCreateNew,  // fails where anything stands at the destination already
};

// Copies the whole of source, an open file read from its start, into destination;
// destination gets source's attributes and last-write time, as CopyFileW gives them. Nothing is
// left at destination when the copy fails. With keepOpen, the copy's handle (write access, no
// sharing) is handed over instead of closed, to be flushed later.
bool CopyOpenFile(HANDLE source, const std::wstring& destination,
                  const CopiedBytesFunction& onBytes = nullptr, FileHandle* keepOpen = nullptr,
                  CopyTarget target = CopyTarget::kCreateOrReplace);

// Copies the whole of source, an open file read from its start, into destination, an open
// empty file (write access); destination gets source's last-write time and attributes but
// read-only, so that whoever made it can always remove it again.
bool CopyOpenFileInto(HANDLE source, HANDLE destination);

// Copies the file that the caller checked and holds open (held, read from its start) over
// destination, and logs the copy under the name source. When the copy fails, a destination
// that blocks it is deleted (three tries, 100 ms apart) and the copy tried once more. An
// invalid held (nothing could be opened) gives the log line and 0, and touches nothing.
// Nonzero when the destination now holds a copy of the file.
int CopyHeldFileWithRetry(const std::wstring& source, HANDLE held,
                          const std::wstring& destination);

// The same for a source opened here by its path: a source that cannot be read leaves the
// destination as it is.
int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination);

enum class ReadResult {
  kRead,
  kFailed,    // more than maxBytes, or not to be read
  kNoMemory,  // the process cannot hold it: a refusal, never the end of the process
};

// Reads the whole of an open file, from its start, into bytes (unspecified unless kRead).
ReadResult ReadOpenFile(HANDLE file, std::size_t maxBytes, std::string& bytes);

// Tries attempt up to three times, 100 ms apart, as long as it fails: what a file held for a
// moment by another program (a scanner, say) is given before the updater gives up on it. True
// when an attempt succeeded.
bool RetryWhileHeld(const std::function<bool()>& attempt);

// Tests see the waits between attempts through this hook instead of sleeping.
using SleepFunction = void (*)(DWORD milliseconds);
void SetCopyRetrySleepHookForTesting(SleepFunction hook);
