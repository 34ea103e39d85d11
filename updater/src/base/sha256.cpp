#include "base/sha256.h"

#include <memory>
#include <vector>

#include "base/bcrypt_api.h"

namespace {

// The SHA-256 provider, opened once for the process, with the room its hash objects take.
struct Sha256Provider {
  BcryptAlgorithm algorithm{BCRYPT_SHA256_ALGORITHM};
  DWORD objectLength = 0;

  Sha256Provider() {
    const BcryptApi& api = Bcrypt();
    if (!algorithm.get() || !api.getProperty || !api.createHash || !api.hashData ||
        !api.finishHash || !api.destroyHash) {
      return;
    }
    // Vista does not allocate the hash object itself: the caller gives it this much room.
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(api.getProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectLength),
                                        sizeof(objectLength), &got, 0))) {
      objectLength = 0;
    }
  }
  bool usable() const { return objectLength > 0; }
};

const Sha256Provider& Provider() {
  static const Sha256Provider provider;
  return provider;
}

}  // namespace

struct Sha256::State {
  std::vector<UCHAR> object;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  const Sha256Provider& provider = Provider();
  if (!provider.usable()) return;
  state_->object.resize(provider.objectLength);
  if (!BCRYPT_SUCCESS(Bcrypt().createHash(provider.algorithm.get(), &state_->hash,
                                          state_->object.data(),
                                          static_cast<ULONG>(state_->object.size()), nullptr,
                                          0, 0))) {
    state_->hash = nullptr;
  }
}

Sha256::~Sha256() {
  if (state_->hash) Bcrypt().destroyHash(state_->hash);
}

bool Sha256::valid() const { return state_->hash != nullptr && !state_->failed; }

bool Sha256::Add(const void* bytes, std::size_t size) {
  if (!valid()) return false;
  const auto* at = static_cast<const UCHAR*>(bytes);
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(Bcrypt().hashData(state_->hash, const_cast<PUCHAR>(at), piece, 0))) {
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
  return BCRYPT_SUCCESS(Bcrypt().finishHash(state_->hash, digest.data(),
                                              static_cast<ULONG>(digest.size()), 0));
}

bool ComputeSha256(const void* bytes, std::size_t size, Sha256Value& digest) {
  Sha256 hash;
  return hash.Add(bytes, size) && hash.Finish(digest);
}

bool HashOpenFile(HANDLE file, Sha256Value& digest, std::uint64_t& size) {
  constexpr DWORD kBlockBytes = 256 * 1024;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  Sha256 hash;
  const std::unique_ptr<char[]> block(new char[kBlockBytes]);
  size = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, block.get(), kBlockBytes, &got, nullptr)) return false;
    if (got == 0) return hash.Finish(digest);
    if (!hash.Add(block.get(), got)) return false;
    size += got;
  }
}
