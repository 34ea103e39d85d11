#pragma once
// bcrypt.dll (CNG), loaded once for the process from the system folder by its full path: the
// second stage runs from the user's temporary folder, where anyone may put a DLL. Its entry
// points are looked up rather than imported, so a platform without one still starts.

#include <windows.h>
#include <bcrypt.h>

// The entry points the updater calls; each null when bcrypt.dll or the function is missing.
struct BcryptApi {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
  decltype(&BCryptGetProperty) getProperty = nullptr;
  decltype(&BCryptCreateHash) createHash = nullptr;
  decltype(&BCryptHashData) hashData = nullptr;
  decltype(&BCryptFinishHash) finishHash = nullptr;
  decltype(&BCryptDestroyHash) destroyHash = nullptr;
  decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
  decltype(&BCryptVerifySignature) verifySignature = nullptr;
  decltype(&BCryptDestroyKey) destroyKey = nullptr;
};

// The process's bcrypt.dll entry points, loaded on the first call and kept until it ends.
const BcryptApi& Bcrypt();

// An algorithm provider opened through Bcrypt(), closed with the scope.
class BcryptAlgorithm {
 public:
  // Opens the provider of algorithm (BCRYPT_SHA256_ALGORITHM, BCRYPT_ECDSA_P256_ALGORITHM);
  // get() is null when the platform lacks it.
  explicit BcryptAlgorithm(const wchar_t* algorithm);
  ~BcryptAlgorithm();
  BcryptAlgorithm(const BcryptAlgorithm&) = delete;
  BcryptAlgorithm& operator=(const BcryptAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};
