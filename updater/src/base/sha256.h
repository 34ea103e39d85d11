#pragma once
// SHA-256 from the platform (CNG, bcrypt.dll), which every Windows from Vista on carries: no
// hash code of our own in Updater.exe.

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

using Sha256Value = std::array<std::uint8_t, 32>;

// One SHA-256 computation: bytes in, the digest out. Invalid (valid() false) when the platform
// offers no SHA-256; then nothing it is given counts.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool valid() const;
  // Adds bytes to what is hashed; false once anything failed.
  bool Add(const void* bytes, std::size_t size);
  // The digest of everything added; false when the computation failed at any point.
  bool Finish(Sha256Value& digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-256 of bytes in one call; false when the platform could not compute it.
bool ComputeSha256(const void* bytes, std::size_t size, Sha256Value& digest);

// The SHA-256 and size of an open file, read from its start; false when it cannot be read.
bool HashOpenFile(HANDLE file, Sha256Value& digest, std::uint64_t& size);
