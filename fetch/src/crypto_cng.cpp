// SHA-256 and ECDSA P-256 through CNG (Windows): the updater's own calls, bcrypt.dll loaded from
// the system folder.
#include "crypto.h"

#include "base/sha256.h"
#include "base/signature_check.h"

struct Sha256Hasher {
  Sha256 sha256;
};

void Sha256HasherFree::operator()(Sha256Hasher* hasher) const noexcept { delete hasher; }

Sha256HasherHandle NewSha256Hasher() {
  Sha256HasherHandle hasher(new Sha256Hasher);
  if (!hasher->sha256.valid()) return nullptr;
  return hasher;
}

bool Sha256Add(Sha256Hasher& hasher, const void* bytes, std::size_t size) {
  return hasher.sha256.Add(bytes, size);
}

bool Sha256Finish(Sha256Hasher& hasher, Sha256Bytes& digest) {
  return hasher.sha256.Finish(digest);
}

bool VerifyWithDeliveryKeys(const DeliveryKeySet& keys, std::string_view bytes,
                            std::string_view signature) {
  return keys.count > 0 && CheckListSignature(bytes, signature, keys) == SignatureCheck::kVerified;
}
