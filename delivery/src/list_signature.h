#pragma once
// UpdateInfo.sig, the publisher's signature beside the hash list: an ECDSA P-256 signature over
// the SHA-256 of the list's exact bytes, DER-encoded as OpenSSL writes it
// ("openssl dgst -sha256 -sign key.pem -out UpdateInfo.sig UpdateInfo.sha256"). Its one strict
// reader, byte-level and free of platform calls, shared by the updater and vintrel-pack.
//
//   ECDSA-Sig-Value ::= SEQUENCE { r INTEGER, s INTEGER }

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The signature's file name, beside UpdateInfo.sha256.
inline constexpr std::string_view kSignatureFileName = "UpdateInfo.sig";
// The longest strict encoding: a two-byte header and two integers of a two-byte header and 33
// bytes each. A longer file is no signature.
inline constexpr std::size_t kMaxSignatureBytes = 72;

// r then s, each a 32-byte big-endian number: the form CNG verifies.
using EcdsaP256Signature = std::array<std::uint8_t, 64>;

// Reads a DER ECDSA-Sig-Value into r||s. Strict: definite short lengths only, each as short as
// it can be, no byte after the sequence or inside it beyond the two integers, each integer
// positive and at most 32 bytes once the 0x00 is dropped that it carries only when its first
// byte has the high bit set. False for anything else (rs is then unspecified).
bool ReadDerSignature(std::string_view der, EcdsaP256Signature& rs);
