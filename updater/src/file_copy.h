#pragma once
// The logged file copy that both stages use.

#include <windows.h>

#include <string>

// Copies source over destination and logs the copy. A destination that blocks the copy is
// deleted (three tries, 100 ms apart) and the copy tried once more. Nonzero when the
// destination now holds a copy of the source.
int CopyFileWithRetry(const std::wstring& source, const std::wstring& destination);

// Tests see the waits between delete attempts through this hook instead of sleeping.
using SleepFunction = void (*)(DWORD milliseconds);
void SetCopyRetrySleepHookForTesting(SleepFunction hook);
