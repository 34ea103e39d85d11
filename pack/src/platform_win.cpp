#include "platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool IsLink(const std::filesystem::directory_entry& entry) {
  // Not followed: a link's own attributes carry the reparse flag, for files as for folders.
  // As the updater judges it: junctions, symbolic links and mount points are links; compressed,
  // deduplicated or placeholder files are data. A tag that cannot be read counts as a link.
  const DWORD attributes = GetFileAttributesW(entry.path().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  // The tag comes with the item's own listing.
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW(entry.path().c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  FindClose(search);
  return found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0);
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return _wfopen(path.c_str(), L"rb");
}
