#include <vintrel/vintrel_common.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

// The cipher and digest are the low-level DES_ and MD5_ calls, the same calls as in the
// 1.0 line, on purpose. OpenSSL 3 marks them deprecated; keep the warning quiet here only.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/md5.h>

namespace {

constexpr std::size_t kBlock = sizeof(DES_cblock);

// The key block is the key's first 8 bytes, zero-filled when the key is shorter. The
// parity bits are neither set nor checked.
void PrepareKey(const std::string& key, DES_key_schedule& schedule) {
    DES_cblock block = {};
    std::memcpy(block, key.data(), std::min(key.size(), kBlock));
    DES_set_key_unchecked(&block, &schedule);
}

// Decrypts the whole blocks and then a zero-extended trailing part, handing the bytes to
// keep to sink(bytes, count) in order. Only the last whole block loses padding, by its last
// byte b (8 - b bytes kept when b <= 8); the other padding bytes are not compared with b.
// The trailing part keeps as many bytes as it had: it carries no padding.
template <typename Sink>
void DecryptBlocks(const std::string& cipher, DES_key_schedule& schedule, Sink sink) {
    const std::size_t wholeBlocks = cipher.size() / kBlock;
    const std::size_t trailing = cipher.size() % kBlock;
    DES_cblock in;
    DES_cblock out;
    for (std::size_t i = 0; i < wholeBlocks; ++i) {
        std::memcpy(in, cipher.data() + i * kBlock, kBlock);
        DES_ecb_encrypt(&in, &out, &schedule, DES_DECRYPT);
        std::size_t keep = kBlock;
        const std::size_t last = out[kBlock - 1];
        if (i + 1 == wholeBlocks && last <= kBlock)
            keep = kBlock - last;
        sink(out, keep);
    }
    if (trailing != 0) {
        std::memset(in, 0, kBlock);
        std::memcpy(in, cipher.data() + wholeBlocks * kBlock, trailing);
        DES_ecb_encrypt(&in, &out, &schedule, DES_DECRYPT);
        sink(out, trailing);
    }
}

}  // namespace

std::string SecurityUtil::DesEncrypt(const std::string& text, const std::string& key) {
    DES_key_schedule schedule;
    PrepareKey(key, schedule);

    const std::size_t wholeBlocks = text.size() / kBlock;
    const std::size_t rest = text.size() % kBlock;
    std::vector<unsigned char> accumulator;
    accumulator.reserve((wholeBlocks + 1) * kBlock);
    DES_cblock in;
    DES_cblock out;
    for (std::size_t i = 0; i < wholeBlocks; ++i) {
        std::memcpy(in, text.data() + i * kBlock, kBlock);
        DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
        accumulator.insert(accumulator.end(), out, out + kBlock);
    }
    // The padding block is always there: a text that fills its blocks gains eight 8s.
    std::memset(in, static_cast<int>(kBlock - rest), kBlock);
    std::memcpy(in, text.data() + wholeBlocks * kBlock, rest);
    DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
    accumulator.insert(accumulator.end(), out, out + kBlock);

    return std::string(accumulator.begin(), accumulator.end());
}

std::string SecurityUtil::DesDecrypt(const std::string& cipher, const std::string& key) {
    DES_key_schedule schedule;
    PrepareKey(key, schedule);

    std::vector<unsigned char> accumulator;
    accumulator.reserve(cipher.size());
    DecryptBlocks(cipher, schedule, [&](const unsigned char* bytes, std::size_t count) {
        accumulator.insert(accumulator.end(), bytes, bytes + count);
    });
    return std::string(accumulator.begin(), accumulator.end());
}

void SecurityUtil::DesDecrypt(const std::string& cipher, char*& plain, const std::string& key) {
    DES_key_schedule schedule;
    PrepareKey(key, schedule);

    // At most cipher.size() plain bytes come out, plus the terminator.
    std::unique_ptr<char[]> buffer(new char[cipher.size() + 1]);
    std::size_t used = 0;
    DecryptBlocks(cipher, schedule, [&](const unsigned char* bytes, std::size_t count) {
        std::memcpy(buffer.get() + used, bytes, count);
        used += count;
    });
    buffer[used] = '\0';
    // Written only now, so an allocation failure leaves the caller's pointer as it was.
    plain = buffer.release();
}

void SecurityUtil::MD5Encrypt(const std::string& text, unsigned char* digest) {
    MD5_CTX context;
    MD5_Init(&context);
    MD5_Update(&context, text.data(), text.size());
    MD5_Final(digest, &context);
}

SecurityUtil& SecurityUtil::operator=(const SecurityUtil&) {
    return *this;
}
