#pragma once
// The logged file copy that both stages use.

#include <windows.h>

#include <string>

// Copies source over destination and logs the copy. When the copy fails and source can be
// opened for reading, a destination that blocks the copy is deleted (three tries, 100 ms apart)
// and the copy tried once more; a source that cannot be read leaves the destination as it is.
// Nonzero when the destination now holds a copy of the source.
int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination);

// The same for a source that the caller has checked and holds open: the log names source, the
// copy reads readFrom, the path by which the caller opened it. An empty readFrom (nothing could
// be opened) gives the log line and 0, and touches nothing.
int CopyHeldFileWithRetry(const std::wstring& source, const std::wstring& readFrom,
                          const std::wstring& destination);

// Tests see the waits between delete attempts through this hook instead of sleeping.
using SleepFunction = void (*)(DWORD milliseconds);
void SetCopyRetrySleepHookForTesting(SleepFunction hook);
