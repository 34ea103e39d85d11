#include "list_signature.h"

namespace {

constexpr std::uint8_t kSequenceTag = 0x30;
constexpr std::uint8_t kIntegerTag = 0x02;
constexpr std::size_t kNumberBytes = 32;

// Reads one INTEGER at der[at...] into out (32 bytes, right-aligned) and moves at past it.
bool ReadPositiveInteger(std::string_view der, std::size_t& at, std::uint8_t* out) {
  if (der.size() - at < 2 || static_cast<std::uint8_t>(der[at]) != kIntegerTag) return false;
  // A length of 0x80 or more is the long form or indefinite: never needed for 33 bytes.
  const std::size_t length = static_cast<std::uint8_t>(der[at + 1]);
  at += 2;
  if (length == 0 || length > kNumberBytes + 1 || der.size() - at < length) return false;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(der[at + i]); };
  // The high bit set is a negative number; a leading 0x00 is there only to clear it.
  if (byte(0) & 0x80) return false;
  std::size_t skip = 0;
  if (byte(0) == 0x00) {
    if (length == 1 || !(byte(1) & 0x80)) return false;  // zero, or a needless 0x00
    skip = 1;
  }
  const std::size_t digits = length - skip;
  if (digits > kNumberBytes) return false;
  for (std::size_t i = 0; i < kNumberBytes - digits; ++i) out[i] = 0;
  for (std::size_t i = 0; i < digits; ++i) out[kNumberBytes - digits + i] = byte(skip + i);
  at += length;
  return true;
}

}  // namespace

bool ReadDerSignature(std::string_view der, EcdsaP256Signature& rs) {
  if (der.size() < 2 || der.size() > kMaxSignatureBytes ||
      static_cast<std::uint8_t>(der[0]) != kSequenceTag) {
    return false;
  }
  // The content runs to the last byte exactly: a short length, and nothing after it.
  const std::size_t length = static_cast<std::uint8_t>(der[1]);
  if (length >= 0x80 || length != der.size() - 2) return false;
  std::size_t at = 2;
  return ReadPositiveInteger(der, at, rs.data()) &&
         ReadPositiveInteger(der, at, rs.data() + kNumberBytes) && at == der.size();
}
