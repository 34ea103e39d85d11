// SecurityUtil's DES operations on any key and any bytes. The input is one byte choosing the
// key's length (0 to 16, so keys longer than the key block come up too), the key, then the
// bytes, which serve both as a cipher text to decrypt and as a text to encrypt.
//
// Checked: both decryption forms give the same bytes and the buffer ends right after them;
// decryption keeps no more bytes than the cipher text has, and loses at most the last whole
// block's 8; a text comes back byte for byte from either form; only the first 8 key bytes
// count. AddressSanitizer catches any read or write outside a buffer.
#include <vintrel/vintrel_common.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kBlock = 8;
constexpr std::size_t kLongestKey = 2 * kBlock;

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "des_fuzzer: %s\n", what);
    std::abort();
}

// The buffer form of DesDecrypt, owned, checked against the string form's result.
void CheckBufferForm(const std::string& cipher, const std::string& key,
                     const std::string& expected) {
    char* raw = nullptr;
    SecurityUtil::DesDecrypt(cipher, raw, key);
    std::unique_ptr<char[]> plain(raw);
    Check(plain != nullptr, "buffer form gave no buffer");
    Check(std::memcmp(plain.get(), expected.data(), expected.size()) == 0,
          "buffer form differs from string form");
    Check(plain[expected.size()] == '\0', "buffer form has no terminator after the plain text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::size_t keyLength = std::min<std::size_t>(data[0] % (kLongestKey + 1), size - 1);
    const std::string key(bytes + 1, keyLength);
    const std::string input(bytes + 1 + keyLength, size - 1 - keyLength);

    // The input as cipher text.
    const std::string plain = SecurityUtil::DesDecrypt(input, key);
    const std::size_t wholeBlocks = input.size() / kBlock;
    const std::size_t trailing = input.size() % kBlock;
    const std::size_t fewest = (wholeBlocks == 0 ? 0 : (wholeBlocks - 1) * kBlock) + trailing;
    Check(plain.size() <= input.size(), "decryption gave more bytes than the cipher text");
    Check(plain.size() >= fewest, "decryption lost more than the last block's padding");
    CheckBufferForm(input, key, plain);

    // The input as text.
    const std::string cipher = SecurityUtil::DesEncrypt(input, key);
    Check(cipher.size() == kBlock * (wholeBlocks + 1), "cipher text has the wrong length");
    Check(SecurityUtil::DesDecrypt(cipher, key) == input, "round trip lost the text");
    CheckBufferForm(cipher, key, input);
    if (key.size() > kBlock) {
        Check(SecurityUtil::DesEncrypt(input, key.substr(0, kBlock)) == cipher,
              "key bytes after the eighth changed the cipher text");
    }
    return 0;
}
