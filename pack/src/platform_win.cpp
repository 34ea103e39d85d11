#include "platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool IsLink(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return _wfopen(path.c_str(), L"rb");
}
