// SecurityUtil::MD5Encrypt, called through the library's exported interface.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using vintrel_test::CryptoReferences;
using vintrel_test::ToHex;

namespace {

using namespace std::string_literals;

std::string Md5Hex(const std::string& text) {
    unsigned char digest[16];
    SecurityUtil::MD5Encrypt(text, digest);
    return ToHex(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

TEST(Md5, Rfc1321TestSuite) {
    // RFC 1321, appendix A.5.
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, MatchesOpensslOverEveryByteZerosIncluded) {
    int withZeroInside = 0;
    for (const auto& ref : CryptoReferences()) {
        SCOPED_TRACE("text " + ToHex(ref.text));
        EXPECT_EQ(Md5Hex(ref.text), ToHex(ref.md5));
        const auto zero = ref.text.find('\0');
        if (zero != std::string::npos && zero > 0 && zero + 1 < ref.text.size()) {
            ++withZeroInside;
            EXPECT_NE(Md5Hex(ref.text), Md5Hex(ref.text.substr(0, zero)));
        }
    }
    EXPECT_GE(withZeroInside, 10);
}

TEST(Md5, WritesSixteenBytesAndNoMore) {
    unsigned char buffer[40];
    for (int i = 0; i < 40; ++i)
        buffer[i] = static_cast<unsigned char>(0xA0 + i);
    SecurityUtil::MD5Encrypt("abc", buffer);
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<const char*>(buffer), 16)),
              "900150983cd24fb0d6963f7d28e17f72");
    for (int i = 16; i < 40; ++i)
        EXPECT_EQ(buffer[i], 0xA0 + i) << "byte " << i;
}

TEST(Md5, SameTextSameDigestWhateverCameBefore) {
    const std::string text = "repeat\0me"s;
    const std::string first = Md5Hex(text);
    Md5Hex(std::string(1000, 'z'));
    Md5Hex("");
    EXPECT_EQ(Md5Hex(text), first);
}

}  // namespace
