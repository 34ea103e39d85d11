// Calls every public operation of an installed Vintrel_Common; exits 0 when all behave.
#include <vintrel/vintrel_common.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

}  // namespace

int main() {
    Log::Initialize("consumer", "consumer.log", 1048576, 3);

    const std::string text = "text from the consumer";
    const std::string cipher = SecurityUtil::DesEncrypt(text, "consumer key");
    Check(cipher.size() == 24, "DesEncrypt pads to whole blocks");
    Check(SecurityUtil::DesDecrypt(cipher, "consumer key") == text, "DesDecrypt gives the text");

    char* plain = nullptr;
    SecurityUtil::DesDecrypt(cipher, plain, "consumer key");
    Check(plain != nullptr && std::strcmp(plain, text.c_str()) == 0, "DesDecrypt into a buffer");
    delete[] plain;

    // RFC 1321's digest of "abc".
    const unsigned char abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                   0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    unsigned char digest[16] = {};
    SecurityUtil::MD5Encrypt("abc", digest);
    Check(std::memcmp(digest, abc, sizeof abc) == 0, "MD5Encrypt");

    const std::string id = DeviceUtil::GetDeviceId();
    std::printf("device id: '%s'\n", id.c_str());
    Check(id.empty() || id.size() == 12, "GetDeviceId");

    Log a, b;
    Check(&(a = b) == &a, "Log copy assignment");

    return failures == 0 ? 0 : 1;
}
