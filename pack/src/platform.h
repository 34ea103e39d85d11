#pragma once
// The few calls that differ between POSIX and Windows, besides the code page conversion.

#include <string>
#include <vector>

// The running process's id.
unsigned long ProcessId();

// Whether standard error is a terminal (progress is shown only there).
bool StderrIsTerminal();

// Prepares the console for UTF-8 output (Windows); nothing elsewhere.
void UseUtf8Console();
