#pragma once
// Owning wrappers for Win32 handles: the handle is closed by the scope that took it.

#include <windows.h>

#include <utility>

// A handle type whose "no handle" value is InvalidValue() and that is released by Close.
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~ScopedHandle() { reset(); }

  bool valid() const { return handle_ != Traits::InvalidValue(); }
  Handle get() const { return handle_; }
  Handle release() { return std::exchange(handle_, Traits::InvalidValue()); }
  void reset(Handle handle = Traits::InvalidValue()) {
    if (valid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::InvalidValue();
};

// Handles where NULL means "no handle" (OpenProcess, ShellExecuteExW's process).
template <BOOL(WINAPI* CloseFunction)(HANDLE)>
struct NullIsInvalidTraits {
  using Handle = HANDLE;
  static Handle InvalidValue() { return nullptr; }
  static void Close(Handle handle) { CloseFunction(handle); }
};

// Handles where INVALID_HANDLE_VALUE means "no handle" (FindFirstFileW, Toolhelp snapshots,
// CreateFileW).
template <BOOL(WINAPI* CloseFunction)(HANDLE)>
struct InvalidValueIsInvalidTraits {
  using Handle = HANDLE;
  static Handle InvalidValue() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseFunction(handle); }
};

using ProcessHandle = ScopedHandle<NullIsInvalidTraits<CloseHandle>>;
using SnapshotHandle = ScopedHandle<InvalidValueIsInvalidTraits<CloseHandle>>;
using FindHandle = ScopedHandle<InvalidValueIsInvalidTraits<FindClose>>;
// Files and folders opened with CreateFileW.
using FileHandle = ScopedHandle<InvalidValueIsInvalidTraits<CloseHandle>>;
