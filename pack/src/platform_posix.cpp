#include "platform.h"

#include <unistd.h>

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseUtf8Console() {}

bool IsLink(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rb");
}
