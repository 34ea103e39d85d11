#pragma once
// The local disk's few platform calls: local_posix.cpp, local_win.cpp.

#include <cstdio>
#include <filesystem>
#include <memory>

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileClose>;

// mode as fopen's ("rb", "ab"), the path in the platform's own characters.
FileHandle OpenLocalFile(const std::filesystem::path& path, const char* mode);

// The file's written bytes on the disk before it is handed on.
bool FlushToDisk(std::FILE* file);

// Asks the system to start writing what was handed to it so far (after an fflush), without
// waiting, so that FlushToDisk at the end finds little left to write. Only a hint: nothing
// fails with it. Called from another thread than the one writing the file.
void StartWriteBack(std::FILE* file);

enum class MoveResult { kMoved, kTargetExists, kFailed };

// Renames the folder from to to, never over anything at to.
MoveResult MoveFolderNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
