#include "sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

namespace {

using OpenAlgorithmProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
using CloseAlgorithmProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
using GetProperty = NTSTATUS(WINAPI*)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG);
using CreateHash = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                     ULONG, ULONG);
using HashData = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using FinishHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using DestroyHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);

// bcrypt.dll's entry points, loaded once for the process from the system folder by its full
// path: the second stage runs from the user's temporary folder, where anyone may put a DLL.
struct Bcrypt {
  HMODULE module = nullptr;
  OpenAlgorithmProvider open = nullptr;
  CloseAlgorithmProvider close = nullptr;
  GetProperty getProperty = nullptr;
  CreateHash createHash = nullptr;
  HashData hashData = nullptr;
  FinishHash finishHash = nullptr;
  DestroyHash destroyHash = nullptr;
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  DWORD objectLength = 0;

  Bcrypt() {
    std::vector<wchar_t> system(MAX_PATH + 1);
    const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
    if (length == 0 || length >= system.size()) return;
    module = LoadLibraryW((std::wstring(system.data(), length) + L"\\bcrypt.dll").c_str());
    if (!module) return;
    open = Entry<OpenAlgorithmProvider>("BCryptOpenAlgorithmProvider");
    close = Entry<CloseAlgorithmProvider>("BCryptCloseAlgorithmProvider");
    getProperty = Entry<GetProperty>("BCryptGetProperty");
    createHash = Entry<CreateHash>("BCryptCreateHash");
    hashData = Entry<HashData>("BCryptHashData");
    finishHash = Entry<FinishHash>("BCryptFinishHash");
    destroyHash = Entry<DestroyHash>("BCryptDestroyHash");
    if (!open || !close || !getProperty || !createHash || !hashData || !finishHash ||
        !destroyHash || !BCRYPT_SUCCESS(open(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      sha256 = nullptr;
      return;
    }
    // Vista does not allocate the hash object itself: the caller gives it this much room.
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(getProperty(sha256, BCRYPT_OBJECT_LENGTH,
                                    reinterpret_cast<PUCHAR>(&objectLength),
                                    sizeof(objectLength), &got, 0))) {
      objectLength = 0;
    }
  }
  ~Bcrypt() {
    if (sha256) close(sha256, 0);
    if (module) FreeLibrary(module);
  }
  Bcrypt(const Bcrypt&) = delete;
  Bcrypt& operator=(const Bcrypt&) = delete;

  template <typename Function>
  Function Entry(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  bool usable() const { return sha256 && objectLength > 0; }
};

const Bcrypt& Platform() {
  static const Bcrypt bcrypt;
  return bcrypt;
}

}  // namespace

struct Sha256::State {
  std::vector<UCHAR> object;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  const Bcrypt& bcrypt = Platform();
  if (!bcrypt.usable()) return;
  state_->object.resize(bcrypt.objectLength);
  if (!BCRYPT_SUCCESS(bcrypt.createHash(bcrypt.sha256, &state_->hash, state_->object.data(),
                                        static_cast<ULONG>(state_->object.size()), nullptr, 0,
                                        0))) {
    state_->hash = nullptr;
  }
}

Sha256::~Sha256() {
  if (state_->hash) Platform().destroyHash(state_->hash);
}

bool Sha256::valid() const { return state_->hash != nullptr && !state_->failed; }

bool Sha256::Add(const void* bytes, std::size_t size) {
  if (!valid()) return false;
  const auto* at = static_cast<const UCHAR*>(bytes);
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(Platform().hashData(state_->hash, const_cast<PUCHAR>(at), piece, 0))) {
      state_->failed = true;
      return false;
    }
    at += piece;
    size -= piece;
  }
  return true;
}

bool Sha256::Finish(Sha256Value& digest) {
  if (!valid()) return false;
  state_->failed = true;  // a hash can be finished once
  return BCRYPT_SUCCESS(Platform().finishHash(state_->hash, digest.data(),
                                              static_cast<ULONG>(digest.size()), 0));
}

bool ComputeSha256(const void* bytes, std::size_t size, Sha256Value& digest) {
  Sha256 hash;
  return hash.Add(bytes, size) && hash.Finish(digest);
}
