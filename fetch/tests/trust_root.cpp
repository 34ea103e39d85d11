// A test tool (Windows): adds a test CA's root to the machine's Root store of this Windows (the
// Wine prefix), or removes it again, so that WinHTTP trusts the tests' HTTPS server without the
// Unix machine's trust store changing.
//
//   trust_root add|remove ROOT.pem
//
// Exit 0 when done, 1 otherwise (the step and its error on stderr).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct StoreClose {
  void operator()(void* store) const noexcept { CertCloseStore(store, 0); }
};
struct CertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const noexcept {
    CertFreeCertificateContext(certificate);
  }
};

int Failed(const char* step) {
  std::fprintf(stderr, "trust_root: %s failed (error %lu)\n", step, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: trust_root add|remove ROOT.pem\n");
    return 2;
  }
  std::string pem;
  if (std::FILE* file = std::fopen(argv[2], "rb")) {
    char piece[4096];
    std::size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) pem.append(piece, got);
    std::fclose(file);
  }
  DWORD size = 0;
  if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                                           CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                           nullptr)) {
    return Failed("reading the PEM root");
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &size, nullptr, nullptr)) {
    return Failed("decoding the PEM root");
  }
  std::unique_ptr<void, StoreClose> store(CertOpenStore(
      CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (store == nullptr) return Failed("opening the machine's Root store");
  if (std::strcmp(argv[1], "add") == 0) {
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      return Failed("adding the root");
    }
    return 0;
  }
  std::unique_ptr<const CERT_CONTEXT, CertificateFree> wanted(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
  if (wanted == nullptr) return Failed("reading the root");
  // CertDeleteCertificateFromStore frees the context it is given, found or not.
  const CERT_CONTEXT* found = CertFindCertificateInStore(
      store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted.get(), nullptr);
  if (found == nullptr) return Failed("finding the root");
  if (!CertDeleteCertificateFromStore(found)) return Failed("removing the root");
  return 0;
}
