#pragma once
// The few calls that differ between POSIX and Windows, besides the code page conversion.

#include <cstdio>
#include <filesystem>

// The running process's id.
unsigned long ProcessId();

// Whether standard error is a terminal (progress is shown only there).
bool StderrIsTerminal();

// Prepares the console for UTF-8 output (Windows); nothing elsewhere.
void UseUtf8Console();

// Whether path is a link or another reparse point, judged without following it (the
// standard library's status follows links on Windows).
bool IsLink(const std::filesystem::path& path);

// path opened for binary reading (the caller closes it); null when it cannot be opened.
std::FILE* OpenFileForReading(const std::filesystem::path& path);
