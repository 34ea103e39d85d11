#include "base/signature_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bcrypt_api.h"
#include "base/sha256.h"
#include "list_signature.h"

namespace {

constexpr ULONG kCoordinateBytes = 32;

// A public key imported into CNG, destroyed with the scope.
class ImportedKey {
 public:
  ImportedKey(BCRYPT_ALG_HANDLE algorithm, const DeliveryPublicKey& key) {
    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(key.xy));
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateBytes};
    memcpy(blob.data(), &header, sizeof(header));
    memcpy(blob.data() + sizeof(header), key.xy, sizeof(key.xy));
    if (!BCRYPT_SUCCESS(Bcrypt().importKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                               &handle_, blob.data(),
                                               static_cast<ULONG>(blob.size()), 0))) {
      handle_ = nullptr;
    }
  }
  ~ImportedKey() {
    if (handle_) Bcrypt().destroyKey(handle_);
  }
  ImportedKey(const ImportedKey&) = delete;
  ImportedKey& operator=(const ImportedKey&) = delete;
  BCRYPT_KEY_HANDLE get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

}  // namespace

SignatureCheck CheckListSignature(std::string_view list, std::string_view signature,
                                  const DeliveryKeySet& keys, std::size_t* verifiedBy) {
  EcdsaP256Signature rs{};
  if (!ReadDerSignature(signature, rs)) return SignatureCheck::kMalformed;
  if (keys.count == 0) return SignatureCheck::kNotVerified;
  const BcryptApi& api = Bcrypt();
  Sha256Value digest{};
  const BcryptAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!ecdsa.get() || !api.importKeyPair || !api.verifySignature || !api.destroyKey ||
      !ComputeSha256(list.data(), list.size(), digest)) {
    return SignatureCheck::kUnavailable;
  }
  bool imported = false;
  for (std::size_t i = 0; i < keys.count; ++i) {
    const ImportedKey key(ecdsa.get(), keys.keys[i]);
    if (!key.get()) continue;
    imported = true;
    if (BCRYPT_SUCCESS(api.verifySignature(key.get(), nullptr, digest.data(),
                                           static_cast<ULONG>(digest.size()), rs.data(),
                                           static_cast<ULONG>(rs.size()), 0))) {
      if (verifiedBy) *verifiedBy = i;
      return SignatureCheck::kVerified;
    }
  }
  // Wine without GnuTLS, for one, imports no ECDSA key at all.
  return imported ? SignatureCheck::kNotVerified : SignatureCheck::kUnavailable;
}

const char* SignatureCheckText(SignatureCheck check) {
  switch (check) {
    case SignatureCheck::kVerified:
      return "verified";
    case SignatureCheck::kMalformed:
      return "malformed signature";
    case SignatureCheck::kNotVerified:
      return "no compiled key verifies it";
    case SignatureCheck::kUnavailable:
      return "the system cannot verify ECDSA P-256";
  }
  return "";
}

