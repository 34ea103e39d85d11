// SHA-256 and ECDSA P-256 through libcrypto (Linux).
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "crypto.h"
#include "list_signature.h"

struct Sha256Hasher {
  EVP_MD_CTX* context = nullptr;
};

void Sha256HasherFree::operator()(Sha256Hasher* hasher) const noexcept {
  EVP_MD_CTX_free(hasher->context);
  delete hasher;
}

Sha256HasherHandle NewSha256Hasher() {
  Sha256HasherHandle hasher(new Sha256Hasher);
  hasher->context = EVP_MD_CTX_new();
  if (hasher->context == nullptr ||
      EVP_DigestInit_ex(hasher->context, EVP_sha256(), nullptr) != 1) {
    return nullptr;
  }
  return hasher;
}

bool Sha256Add(Sha256Hasher& hasher, const void* bytes, std::size_t size) {
  return EVP_DigestUpdate(hasher.context, bytes, size) == 1;
}

bool Sha256Finish(Sha256Hasher& hasher, Sha256Bytes& digest) {
  unsigned int size = 0;
  return EVP_DigestFinal_ex(hasher.context, digest.data(), &size) == 1 && size == digest.size();
}

bool VerifyWithDeliveryKeys(const DeliveryKeySet& keys, std::string_view bytes,
                            std::string_view signature) {
  EcdsaP256Signature rs;
  if (!ReadDerSignature(signature, rs)) return false;  // the updater's strict reading
  // SubjectPublicKeyInfo of a P-256 key up to its uncompressed point's 0x04.
  static const unsigned char kHead[] = {
      0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
      0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
  for (std::size_t i = 0; i < keys.count; ++i) {
    unsigned char spki[sizeof kHead + 64];
    std::copy(kHead, kHead + sizeof kHead, spki);
    std::copy(keys.keys[i].xy, keys.keys[i].xy + 64, spki + sizeof kHead);
    const unsigned char* at = spki;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PUBKEY(nullptr, &at, static_cast<long>(sizeof spki)), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                     EVP_MD_CTX_free);
    if (key == nullptr || context == nullptr ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
      continue;
    }
    if (EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size()) == 1) {
      return true;
    }
  }
  return false;
}
