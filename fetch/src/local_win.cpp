#include <windows.h>
#include <io.h>
#include <stdio.h>

#include "local.h"

FileHandle OpenLocalFile(const std::filesystem::path& path, const char* mode) {
  wchar_t wideMode[8] = {};
  for (int i = 0; i < 7 && mode[i] != '\0'; ++i) wideMode[i] = static_cast<wchar_t>(mode[i]);
  return FileHandle(_wfopen(path.c_str(), wideMode));
}

bool FlushToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

// Windows has no call that starts the write-back without waiting for it; its lazy writer
// already writes dirty pages within seconds.
void StartWriteBack(std::FILE*) {}

MoveResult MoveFolderNoReplace(const std::filesystem::path& from,
                               const std::filesystem::path& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails on anything at to.
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return MoveResult::kMoved;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveResult::kTargetExists
                                                                     : MoveResult::kFailed;
}
