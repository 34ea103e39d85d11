#pragma once
// Progress of long work on standard error, on a terminal only, at most a few times a second.

#include <chrono>
#include <cstdint>

class Progress {
 public:
  // verb names the work: "compared", "copied".
  explicit Progress(const char* verb);
  ~Progress();
  // Counts one more file and its bytes.
  void AddFile(std::uint64_t bytes);
  // Counts bytes of the current file.
  void AddBytes(std::uint64_t bytes);

 private:
  void Show(bool last);
  const char* verb_;
  bool enabled_;
  std::uint64_t files_ = 0;
  std::uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point lastShown_;
  bool shown_ = false;
};
