// The signature's strict DER reader on arbitrary bytes.
//
// Checked: what reads is the one strict encoding of the two numbers it gives (written again
// here from r and s, it is the input byte for byte), so no second encoding of a signature is
// ever accepted; and both numbers are positive.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "list_signature.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "list_signature_fuzzer: %s\n", what);
    std::abort();
}

// The DER INTEGER of a positive 32-byte big-endian number: leading zeros dropped, one 0x00
// put back when the first byte left has its high bit set.
std::string Integer(const std::uint8_t* number) {
    std::size_t first = 0;
    while (first < 31 && number[first] == 0) ++first;
    std::string content(reinterpret_cast<const char*>(number + first), 32 - first);
    if (number[first] & 0x80) content.insert(content.begin(), '\0');
    return std::string{'\x02', static_cast<char>(content.size())} + content;
}

bool IsZero(const std::uint8_t* number) {
    for (std::size_t i = 0; i < 32; ++i) {
        if (number[i] != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    EcdsaP256Signature rs{};
    if (!ReadDerSignature(input, rs)) return 0;
    Check(!IsZero(rs.data()) && !IsZero(rs.data() + 32), "a zero number");
    const std::string content = Integer(rs.data()) + Integer(rs.data() + 32);
    const std::string der = std::string{'\x30', static_cast<char>(content.size())} + content;
    Check(der == input, "accepted bytes that are not the strict encoding of r and s");
    return 0;
}
