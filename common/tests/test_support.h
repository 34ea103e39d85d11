// Helpers shared by the library's tests: hex text and the openssl reference results that
// the build writes beside the test program (crypto_reference.cmake).
#ifndef VINTREL_COMMON_TESTS_TEST_SUPPORT_H
#define VINTREL_COMMON_TESTS_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace vintrel_test {

// Bytes from hex digits ("-" for none); throws std::invalid_argument on bad input.
std::string FromHex(const std::string& hex);
// Lowercase hex digits of bytes.
std::string ToHex(const std::string& bytes);

struct CryptoReference {
    std::string key;
    std::string text;
    std::string cipher;     // DES-ECB with PKCS #5 padding of text
    std::string md5;        // 16 raw bytes
    std::string tail;       // 1 to 7 bytes of cipher text
    std::string tailPlain;  // the same count of bytes of its zero-extended block, decrypted
};

// Runs this test program again as a child process with the given arguments and waits for
// it; its exit code, or -1 when it could not be started.
int RunThisProgram(const std::vector<std::string>& arguments);

// The reference cases, read from crypto_reference.txt in the working directory; throws
// std::runtime_error when it is missing or malformed.
const std::vector<CryptoReference>& CryptoReferences();

}  // namespace vintrel_test

#endif
