#pragma once
// The publisher's signature over a delivery's hash list (UpdateInfo.sig over UpdateInfo.sha256),
// verified with the platform's ECDSA P-256 (CNG) against the keys compiled into the updater.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/delivery_keys.h"

enum class SignatureCheck {
  kVerified,     // one of the keys verifies it
  kMalformed,    // not a strict DER ECDSA signature
  kNotVerified,  // well-formed, and no key verifies it
  kUnavailable,  // the platform cannot hash or verify ECDSA P-256: nothing is verified
};

// Verifies signature (UpdateInfo.sig's bytes) over the SHA-256 of list (UpdateInfo.sha256's
// exact bytes) with each of keys in turn; kVerified when any one does, and then verifiedBy, when
// given, is that key's position in keys. No keys verify nothing (kNotVerified).
SignatureCheck CheckListSignature(std::string_view list, std::string_view signature,
                                  const DeliveryKeySet& keys, std::size_t* verifiedBy = nullptr);

// The outcome in a few English words for a log line, e.g. "no compiled key verifies it".
const char* SignatureCheckText(SignatureCheck check);

