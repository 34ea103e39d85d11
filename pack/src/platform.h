#pragma once
// The few calls that differ between POSIX and Windows, besides the code page conversion.

#include <cstdio>
#include <filesystem>
#include <memory>

// The running process's id.
unsigned long ProcessId();

// Whether standard error is a terminal (progress is shown only there).
bool StderrIsTerminal();

// Prepares the console for UTF-8 output (Windows); nothing elsewhere.
void UseUtf8Console();

// Whether a listed item, file or folder, is a link, judged without following it: on Windows
// any reparse point, as the updater judges them (the standard library's status looks through
// links there).
bool IsLink(const std::filesystem::directory_entry& entry);

// A stream closed when it goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// path opened for binary reading (the caller closes it); null when it cannot be opened.
std::FILE* OpenFileForReading(const std::filesystem::path& path);
