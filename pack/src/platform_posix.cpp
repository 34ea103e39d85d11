#include "platform.h"

#include <unistd.h>

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseUtf8Console() {}

bool IsLink(const std::filesystem::directory_entry& entry) {
  // The listing's own file type answers: no further call.
  std::error_code ec;
  return entry.is_symlink(ec);
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rb");
}
