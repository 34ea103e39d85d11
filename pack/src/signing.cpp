#include "signing.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "hash_list.h"
#include "list_signature.h"
#include "names.h"

namespace fs = std::filesystem;

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

EVP_PKEY* Key(const DeliveryKey& key) { return static_cast<EVP_PKEY*>(key.key.get()); }

// The whole of a small file; false when it cannot be read or holds more than maxBytes.
bool ReadSmallFile(const fs::path& path, std::size_t maxBytes, std::string& bytes) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > maxBytes) return false;
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

bool IsP256(EVP_PKEY* key) {
  char group[64] = {};
  size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_group_name(key, group, sizeof(group), &length) == 1 &&
         std::string(group, length) == "prime256v1";
}

// The delivery's file of this name at its top, whatever the case of the name; nullptr if none.
const TreeItem* TopFile(const std::vector<TreeItem>& items, std::string_view name) {
  for (const TreeItem& item : items) {
    if (item.kind == ItemKind::kFile && CaseKey(item.relative) == CaseKey(std::string(name))) {
      return &item;
    }
  }
  return nullptr;
}

// Hands libcrypto the passphrase given, or none: libcrypto never prompts on the terminal.
struct PassphraseUse {
  const std::string* passphrase;
  bool asked = false;
};

int GivePassphrase(char* buffer, int size, int, void* data) {
  auto* use = static_cast<PassphraseUse*>(data);
  use->asked = true;
  if (!use->passphrase || use->passphrase->size() > static_cast<std::size_t>(size)) return -1;
  use->passphrase->copy(buffer, use->passphrase->size());
  return static_cast<int>(use->passphrase->size());
}

const char kSignFix[] =
    "make the delivery again with vintrel-pack diff --key private.pem, or sign its list with "
    "openssl dgst -sha256 -sign private.pem -out UpdateInfo.sig UpdateInfo.sha256";

}  // namespace

bool ReadPassphrase(const std::string& source, std::string& passphrase, std::string& error) {
  if (source.rfind("env:", 0) == 0) {
    const char* value = std::getenv(source.c_str() + 4);
    if (!value) {
      error = "--key-pass " + source + ": the variable " + source.substr(4) + " is not set";
      return false;
    }
    passphrase = value;
    return true;
  }
  if (source.rfind("file:", 0) == 0) {
    std::string bytes;
    if (!ReadSmallFile(fs::u8path(source.substr(5)), 64 * 1024, bytes)) {
      error = "--key-pass " + source + ": the file cannot be read";
      return false;
    }
    passphrase = bytes.substr(0, bytes.find_first_of("\r\n"));
    return true;
  }
  error = "--key-pass takes env:NAME or file:PATH, not \"" + source + "\"";
  return false;
}

bool LoadDeliveryKey(const fs::path& path, bool isPrivate, DeliveryKey& key, std::string& error,
                     const std::string* passphrase) {
  const std::string what = path.u8string() + ": ";
  std::string pem;
  // A PEM key is a few hundred bytes; this bounds a wrong file given by mistake.
  if (!ReadSmallFile(path, 64 * 1024, pem)) {
    error = what + "cannot be read as a key file";
    return false;
  }
  const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* read = nullptr;
  PassphraseUse use{passphrase};
  if (bio) {
    read = isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &use)
                     : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  }
  if (!read && use.asked) {
    error = what + (passphrase ? "is encrypted, and the passphrase given does not open it"
                               : "is encrypted: give --key-pass env:NAME or file:PATH");
    return false;
  }
  if (!read) {
    error = what + (isPrivate ? "is not a PEM private key (openssl ecparam -name prime256v1 "
                                "-genkey -noout -out private.pem makes one)"
                              : "is not a PEM public key (openssl ec -in private.pem -pubout "
                                "-out public.pem writes one)");
    return false;
  }
  key.key = std::shared_ptr<void>(read, [](void* k) { EVP_PKEY_free(static_cast<EVP_PKEY*>(k)); });
  key.file = path.u8string();
  if (!IsP256(read)) {
    error = what + "is not an ECDSA P-256 (prime256v1) key, the only kind the updater verifies";
    return false;
  }
  return true;
}

bool SignList(const DeliveryKey& key, std::string_view list, std::string& signature,
              std::string& error) {
  const DigestContext context(EVP_MD_CTX_new());
  size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(list.data());
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, Key(key)) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, bytes, list.size()) != 1) {
    error = "libcrypto cannot sign with " + key.file;
    return false;
  }
  signature.assign(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&signature[0]), &length,
                     bytes, list.size()) != 1) {
    error = "libcrypto cannot sign with " + key.file;
    return false;
  }
  signature.resize(length);
  return true;
}

bool VerifyList(const DeliveryKey& key, std::string_view list, std::string_view signature) {
  const DigestContext context(EVP_MD_CTX_new());
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, Key(key)) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(list.data()),
                          list.size()) == 1;
}

void CheckSignature(const fs::path& delivery, const std::vector<TreeItem>& items,
                    const std::vector<DeliveryKey>& keys, Report& report) {
  const std::string name(kSignatureFileName);
  const TreeItem* signatureItem = TopFile(items, kSignatureFileName);
  if (keys.empty()) {
    if (signatureItem) {
      report.notes.push_back(name + ": present, not checked (pass --public-key to check it)");
    }
    return;
  }
  const char refused[] = ", so an updater built with delivery keys refuses the whole delivery";
  const TreeItem* listItem = TopFile(items, kHashListFileName);
  std::string list, signature;
  if (!signatureItem) {
    report.Problem("signature-missing", name, 0, "the delivery is not signed" + std::string(refused),
                   kSignFix);
    return;
  }
  if (!listItem) {
    report.Problem("signature-without-list", name, 0,
                   "the delivery has no UpdateInfo.sha256 for the signature to cover" +
                       std::string(refused),
                   kSignFix);
    return;
  }
  EcdsaP256Signature rs{};
  if (!ReadSmallFile(JoinRelative(delivery, listItem->relative), kMaxHashListBytes, list) ||
      !ReadSmallFile(JoinRelative(delivery, signatureItem->relative), kMaxSignatureBytes,
                     signature) ||
      !ReadDerSignature(signature, rs)) {
    report.Problem("signature-malformed", name, 0,
                   "the signature is not a DER ECDSA P-256 signature as openssl dgst writes "
                   "it" + std::string(refused),
                   kSignFix);
    return;
  }
  for (const DeliveryKey& key : keys) {
    if (VerifyList(key, list, signature)) {
      report.notes.push_back(name + ": verified by " + key.file);
      return;
    }
  }
  report.Problem("signature-not-verified", name, 0,
                 "no key given verifies the signature over UpdateInfo.sha256: the list was "
                 "changed after it was signed, or signed with another key" + std::string(refused),
                 "check that the keys given are those the updater was built with, then " +
                     std::string(kSignFix));
}
