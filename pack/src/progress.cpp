#include "progress.h"

#include <cstdio>

#include "platform.h"

Progress::Progress(const char* verb) : verb_(verb), enabled_(StderrIsTerminal()) {}

Progress::~Progress() {
  if (shown_) Show(true);
}

void Progress::AddFile(std::uint64_t bytes) {
  ++files_;
  AddBytes(bytes);
}

void Progress::AddBytes(std::uint64_t bytes) {
  bytes_ += bytes;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now - lastShown_ < std::chrono::milliseconds(200)) return;
  lastShown_ = now;
  Show(false);
}

void Progress::Show(bool last) {
  std::fprintf(stderr, "\rvintrel-pack: %s %llu files, %.1f MiB%s", verb_,
               static_cast<unsigned long long>(files_), static_cast<double>(bytes_) / (1 << 20),
               last ? "\n" : "");
  std::fflush(stderr);
  shown_ = true;
}
