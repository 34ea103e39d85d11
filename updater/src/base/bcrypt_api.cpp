#include "base/bcrypt_api.h"

#include <string>
#include <vector>

namespace {

struct LoadedBcrypt {
  HMODULE module = nullptr;
  BcryptApi api;

  LoadedBcrypt() {
    std::vector<wchar_t> system(MAX_PATH + 1);
    const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
    if (length == 0 || length >= system.size()) return;
    module = LoadLibraryW((std::wstring(system.data(), length) + L"\\bcrypt.dll").c_str());
    if (!module) return;
    Entry(api.openAlgorithmProvider, "BCryptOpenAlgorithmProvider");
    Entry(api.closeAlgorithmProvider, "BCryptCloseAlgorithmProvider");
    Entry(api.getProperty, "BCryptGetProperty");
    Entry(api.createHash, "BCryptCreateHash");
    Entry(api.hashData, "BCryptHashData");
    Entry(api.finishHash, "BCryptFinishHash");
    Entry(api.destroyHash, "BCryptDestroyHash");
    Entry(api.importKeyPair, "BCryptImportKeyPair");
    Entry(api.verifySignature, "BCryptVerifySignature");
    Entry(api.destroyKey, "BCryptDestroyKey");
  }
  ~LoadedBcrypt() {
    if (module) FreeLibrary(module);
  }
  LoadedBcrypt(const LoadedBcrypt&) = delete;
  LoadedBcrypt& operator=(const LoadedBcrypt&) = delete;

  template <typename Function>
  void Entry(Function& function, const char* name) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
};

}  // namespace

const BcryptApi& Bcrypt() {
  static const LoadedBcrypt bcrypt;
  return bcrypt.api;
}

BcryptAlgorithm::BcryptAlgorithm(const wchar_t* algorithm) {
  const BcryptApi& api = Bcrypt();
  if (!api.openAlgorithmProvider || !api.closeAlgorithmProvider ||
      !BCRYPT_SUCCESS(api.openAlgorithmProvider(&handle_, algorithm, nullptr, 0))) {
    handle_ = nullptr;
  }
}

BcryptAlgorithm::~BcryptAlgorithm() {
  if (handle_) Bcrypt().closeAlgorithmProvider(handle_, 0);
}
