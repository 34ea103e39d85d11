#include "platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool IsLink(const std::filesystem::directory_entry& entry) {
  // Not followed: a link's own attributes carry the reparse flag, for files as for folders.
  const DWORD attributes = GetFileAttributesW(entry.path().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return _wfopen(path.c_str(), L"rb");
}
