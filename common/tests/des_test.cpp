// SecurityUtil's DES text cipher, called through the library's exported interface.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

using vintrel_test::CryptoReferences;
using vintrel_test::ToHex;

namespace {

using namespace std::string_literals;

// The buffer form, copied out and released as the main application releases it.
std::string DecryptToBuffer(const std::string& cipher, const std::string& key,
                            std::size_t expectedLength) {
    char* plain = nullptr;
    SecurityUtil::DesDecrypt(cipher, plain, key);
    EXPECT_NE(plain, nullptr);
    if (plain == nullptr)
        return std::string();
    // Only the terminator marks the end, so read expectedLength bytes and check it.
    std::string bytes(plain, expectedLength);
    EXPECT_EQ(plain[expectedLength], '\0');
    delete[] plain;
    return bytes;
}

// The first cipher block of a crafted plain block: DesEncrypt is ECB, and its first 8 bytes
// of output depend on the first 8 bytes of text only.
std::string CipherBlockOf(const std::string& plainBlock, const std::string& key) {
    return SecurityUtil::DesEncrypt(plainBlock, key).substr(0, 8);
}

TEST(DesReference, FileCoversTheCases) {
    const auto& references = CryptoReferences();
    ASSERT_GE(references.size(), 100u);
    bool keyLengths[41] = {};
    bool textLengths[41] = {};
    int textsWithZeroInside = 0;
    for (const auto& ref : references) {
        ASSERT_LE(ref.key.size(), 40u);
        ASSERT_LE(ref.text.size(), 40u);
        keyLengths[ref.key.size()] = true;
        textLengths[ref.text.size()] = true;
        const auto zero = ref.text.find('\0');
        if (zero != std::string::npos && zero > 0 && zero + 1 < ref.text.size())
            ++textsWithZeroInside;
    }
    for (int n = 0; n <= 40; ++n) {
        EXPECT_TRUE(keyLengths[n]) << "no key of " << n << " bytes";
        EXPECT_TRUE(textLengths[n]) << "no text of " << n << " bytes";
    }
    EXPECT_GE(textsWithZeroInside, 10);
}

TEST(DesReference, EncryptMatchesOpenssl) {
    for (const auto& ref : CryptoReferences()) {
        SCOPED_TRACE("key " + ToHex(ref.key) + " text " + ToHex(ref.text));
        const std::string cipher = SecurityUtil::DesEncrypt(ref.text, ref.key);
        EXPECT_EQ(cipher.size(), 8 * (ref.text.size() / 8 + 1));
        EXPECT_EQ(ToHex(cipher), ToHex(ref.cipher));
    }
}

TEST(DesReference, BothDecryptFormsGiveTheTextBack) {
    for (const auto& ref : CryptoReferences()) {
        SCOPED_TRACE("key " + ToHex(ref.key) + " text " + ToHex(ref.text));
        EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(ref.cipher, ref.key)), ToHex(ref.text));
        EXPECT_EQ(ToHex(DecryptToBuffer(ref.cipher, ref.key, ref.text.size())), ToHex(ref.text));
    }
}

TEST(DesReference, ShortCipherTextIsZeroExtendedAndKeptWhole) {
    for (const auto& ref : CryptoReferences()) {
        SCOPED_TRACE("key " + ToHex(ref.key) + " tail " + ToHex(ref.tail));
        ASSERT_GE(ref.tail.size(), 1u);
        ASSERT_LE(ref.tail.size(), 7u);
        EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(ref.tail, ref.key)), ToHex(ref.tailPlain));
        EXPECT_EQ(ToHex(DecryptToBuffer(ref.tail, ref.key, ref.tail.size())),
                  ToHex(ref.tailPlain));
    }
}

TEST(DesReference, TrailingPartialBlockFollowsTheUnpaddedText) {
    for (const auto& ref : CryptoReferences()) {
        SCOPED_TRACE("key " + ToHex(ref.key) + " text " + ToHex(ref.text));
        const std::string expected = ref.text + ref.tailPlain;
        EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(ref.cipher + ref.tail, ref.key)),
                  ToHex(expected));
        EXPECT_EQ(ToHex(DecryptToBuffer(ref.cipher + ref.tail, ref.key, expected.size())),
                  ToHex(expected));
    }
}

TEST(DesPadding, LengthsAndTheWholePaddingBlock) {
    const std::string key = "k3y";
    EXPECT_EQ(SecurityUtil::DesEncrypt("", key).size(), 8u);
    EXPECT_EQ(SecurityUtil::DesEncrypt("12345678", key).size(), 16u);
    EXPECT_EQ(SecurityUtil::DesEncrypt("1234567890123", key).size(), 16u);
    EXPECT_EQ(SecurityUtil::DesEncrypt("1234567890123456", key).size(), 24u);

    // The empty text is one block of eight 8s; so is the extra block of a 16-byte text.
    const std::string empty = SecurityUtil::DesEncrypt("", key);
    EXPECT_EQ(empty, CipherBlockOf("\x08\x08\x08\x08\x08\x08\x08\x08", key));
    EXPECT_EQ(SecurityUtil::DesEncrypt("1234567890123456", key).substr(16), empty);
    // 13 bytes: the second block is bytes 8 to 12 and three 3s.
    EXPECT_EQ(SecurityUtil::DesEncrypt("1234567890123", key).substr(8),
              CipherBlockOf("90123\x03\x03\x03", key));

    EXPECT_EQ(SecurityUtil::DesDecrypt(empty, key), "");
    char* plain = nullptr;
    SecurityUtil::DesDecrypt(empty, plain, key);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain[0], '\0');
    delete[] plain;
}

TEST(DesPadding, OnlyTheLastDecryptedByteOfTheLastWholeBlockCounts) {
    const std::string key = "padding";
    struct Case {
        std::string block;
        std::string kept;
    };
    const Case cases[] = {
        {"ABCDEFG\x00"s, "ABCDEFG\x00"s},      // 0: nothing removed
        {"ABCDEFG\x01"s, "ABCDEFG"},           // 1
        {"ABCDE\x7f\x00\x03"s, "ABCDE"},       // 3: the other two bytes are not compared
        {"ABCDEFG\x08"s, ""},                  // 8: the whole block goes
        {"ABCDEFG\x09"s, "ABCDEFG\x09"},       // more than 8: nothing removed
        {"ABCDEFG\xff"s, "ABCDEFG\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.block));
        const std::string cipher = CipherBlockOf(c.block, key);
        EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(cipher, key)), ToHex(c.kept));
        EXPECT_EQ(ToHex(DecryptToBuffer(cipher, key, c.kept.size())), ToHex(c.kept));
        // A block before the last keeps all 8 bytes, whatever its last byte.
        EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(cipher + cipher, key)),
                  ToHex(c.block + c.kept));
    }
}

TEST(DesKey, BlockIsTheFirstEightBytesZeroFilled) {
    const std::string text = "key handling\x00\x01\x02"s;
    const std::string zeroKey(8, '\0');
    EXPECT_EQ(SecurityUtil::DesEncrypt(text, ""), SecurityUtil::DesEncrypt(text, zeroKey));
    EXPECT_EQ(SecurityUtil::DesEncrypt(text, "abc"),
              SecurityUtil::DesEncrypt(text, "abc\0\0\0\0\0"s));
    EXPECT_NE(SecurityUtil::DesEncrypt(text, "abc"), SecurityUtil::DesEncrypt(text, ""));

    // 12 bytes act like their first 8: two keys that agree there are interchangeable.
    const std::string cipher = SecurityUtil::DesEncrypt(text, "abcdefgh1234");
    EXPECT_EQ(cipher, SecurityUtil::DesEncrypt(text, "abcdefgh"));
    EXPECT_EQ(cipher, SecurityUtil::DesEncrypt(text, "abcdefghWXYZ"));
    EXPECT_EQ(SecurityUtil::DesDecrypt(cipher, "abcdefghWXYZ"), text);
}

TEST(DesKey, ParityBitsAreIgnored) {
    const std::string text = "parity of the key bytes";
    const std::string key = "Secr3t!K";
    std::string flipped = key;
    for (char& c : flipped)
        c = static_cast<char>(c ^ 0x01);
    EXPECT_EQ(SecurityUtil::DesEncrypt(text, key), SecurityUtil::DesEncrypt(text, flipped));
    EXPECT_EQ(SecurityUtil::DesDecrypt(SecurityUtil::DesEncrypt(text, key), flipped), text);

    // Any other bit is key material.
    std::string other = key;
    other[0] = static_cast<char>(other[0] ^ 0x02);
    EXPECT_NE(SecurityUtil::DesEncrypt(text, key), SecurityUtil::DesEncrypt(text, other));
}

TEST(DesDecrypt, WrongKeyAndEmptyCipherGiveResultsWithoutError) {
    EXPECT_EQ(SecurityUtil::DesDecrypt("", "any key"), "");

    const std::string cipher = SecurityUtil::DesEncrypt(std::string(40, 'x'), "right");
    const std::string wrong = SecurityUtil::DesDecrypt(cipher, "wrong");
    // The last whole block loses 0 to 8 bytes by its (unrelated) last byte.
    EXPECT_GE(wrong.size(), cipher.size() - 8);
    EXPECT_LE(wrong.size(), cipher.size());
    EXPECT_NE(wrong, std::string(40, 'x'));
}

TEST(DesDecrypt, ZeroBytesInsideStayInBothForms) {
    const std::string text = "zero\0inside\0\0and at the end\0"s;
    const std::string key = "k\0y"s;
    const std::string cipher = SecurityUtil::DesEncrypt(text, key);
    EXPECT_EQ(ToHex(SecurityUtil::DesDecrypt(cipher, key)), ToHex(text));

    char* plain = nullptr;
    SecurityUtil::DesDecrypt(cipher, plain, key);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(std::memcmp(plain, text.data(), text.size()), 0);
    EXPECT_EQ(plain[text.size()], '\0');
    // A reader that stops at the first zero byte sees "zero".
    EXPECT_EQ(std::string(plain), "zero");
    delete[] plain;
}

TEST(DesDecrypt, BufferFormOverwritesThePointerWithoutReleasingIt) {
    const std::string cipher = SecurityUtil::DesEncrypt("overwritten", "buffer");
    // The old value need not be heap memory: it is neither read nor released.
    char notHeap[4] = {'o', 'l', 'd', '\0'};
    char* plain = notHeap;
    SecurityUtil::DesDecrypt(cipher, plain, "buffer");
    ASSERT_NE(plain, notHeap);
    EXPECT_STREQ(notHeap, "old");
    EXPECT_STREQ(plain, "overwritten");
    delete[] plain;
}

}  // namespace
