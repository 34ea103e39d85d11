#pragma once
// The publisher's signature over a delivery's hash list with libcrypto, in the form
// "openssl dgst -sha256 -sign key.pem -out UpdateInfo.sig UpdateInfo.sha256" writes: ECDSA
// P-256 over the list's SHA-256, DER-encoded. diff --key makes it; check --public-key checks it.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "findings.h"
#include "tree.h"

// A P-256 key read from a PEM file: the private key that signs or a public key that verifies.
struct DeliveryKey {
  std::shared_ptr<void> key;  // libcrypto's EVP_PKEY, freed with the last copy
  std::string file;           // the PEM file it came from, as given
};

// Reads the ECDSA P-256 key in the PEM file at path (private when isPrivate, as
// "openssl ecparam -genkey" writes it, else public as "openssl ec -pubout" writes it). False,
// with error saying why, for anything else.
// A private key encrypted with a passphrase needs passphrase (nullptr: none given, and it is
// refused as encrypted; never a prompt).
bool LoadDeliveryKey(const std::filesystem::path& path, bool isPrivate, DeliveryKey& key,
                     std::string& error, const std::string* passphrase = nullptr);

// The passphrase a --key-pass source names, as the openssl tool takes them: "env:NAME" (the
// variable's value) or "file:PATH" (the file's first line). False, with error, otherwise.
bool ReadPassphrase(const std::string& source, std::string& passphrase, std::string& error);

// The DER signature of list's exact bytes with the private key; false, with error, when
// libcrypto fails.
bool SignList(const DeliveryKey& key, std::string_view list, std::string& signature,
              std::string& error);

// Whether the public key verifies signature (DER) over list's exact bytes.
bool VerifyList(const DeliveryKey& key, std::string_view list, std::string_view signature);

// Every problem of the delivery's signature against keys (public, none: nothing is required),
// with its fix; a note naming the key that verified it. items lists the delivery folder.
void CheckSignature(const std::filesystem::path& delivery, const std::vector<TreeItem>& items,
                    const std::vector<DeliveryKey>& keys, Report& report);
