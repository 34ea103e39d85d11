#pragma once
// SHA-256 and the publisher's signature: libcrypto natively (crypto_openssl.cpp), CNG on
// Windows (crypto_cng.cpp, bcrypt.dll loaded from the system folder as the updater does).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/delivery_keys.h"

using Sha256Bytes = std::array<std::uint8_t, 32>;

struct Sha256Hasher;
struct Sha256HasherFree {
  void operator()(Sha256Hasher* hasher) const noexcept;
};
using Sha256HasherHandle = std::unique_ptr<Sha256Hasher, Sha256HasherFree>;

// Nullptr when the platform cannot hash.
Sha256HasherHandle NewSha256Hasher();
bool Sha256Add(Sha256Hasher& hasher, const void* bytes, std::size_t size);
// The digest of everything added; the hasher is spent.
bool Sha256Finish(Sha256Hasher& hasher, Sha256Bytes& digest);

// Whether one of keys verifies signature (DER ECDSA P-256 over SHA-256) over bytes. False for a
// signature that does not read strictly, and when there are no keys.
bool VerifyWithDeliveryKeys(const DeliveryKeySet& keys, std::string_view bytes,
                            std::string_view signature);
