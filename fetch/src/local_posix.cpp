#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "local.h"

FileHandle OpenLocalFile(const std::filesystem::path& path, const char* mode) {
  return FileHandle(std::fopen(path.c_str(), mode));
}

bool FlushToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

void StartWriteBack(std::FILE* file) {
  // fileno only: the writing thread flushes its own buffer.
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

MoveResult MoveFolderNoReplace(const std::filesystem::path& from,
                               const std::filesystem::path& to) {
  // rename(2) would replace an empty folder at to.
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveResult::kMoved;
  }
  return errno == EEXIST ? MoveResult::kTargetExists : MoveResult::kFailed;
}
