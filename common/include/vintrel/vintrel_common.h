// Vintrel_Common: the log settings, text cipher, digest and machine identity that the main
// application links against. Every class holds static operations only; std::string crosses
// the boundary, so the library and its caller must share one C++ runtime.
#ifndef VINTREL_VINTREL_COMMON_H
#define VINTREL_VINTREL_COMMON_H

#include <string>

#include <vintrel/vintrel_common_export.h>

// The four settings of the main application's log. The library only keeps them; the
// caller's logger gives them their meaning. Nothing is locked: store them with Initialize
// before any thread reads them.
class VINTREL_COMMON_EXPORT Log {
public:
    // Replaces all four settings, byte for byte and exactly as passed.
    static void Initialize(const std::string& logName, const std::string& fileName,
                           unsigned int maxFileSize, unsigned int maxFileCount);

    // There is nothing to copy: returns *this unchanged.
    Log& operator=(const Log&);

private:
    // The tests read the settings back through this friend.
    friend struct LogTestAccess;

    // Copies of what Initialize stored last; empty strings and zeros before that.
    static std::string logName();
    static std::string fileName();
    static unsigned int maxFileSize();
    static unsigned int maxFileCount();

    static std::string _logName;
    static std::string _fileName;
    static unsigned int _maxFileSize;
    static unsigned int _maxFileCount;
};

// Single DES (ECB, PKCS #5 padding) under a text key, and MD5. Texts, keys and cipher texts
// are byte strings: zero bytes inside are data. The key block is the key's first 8 bytes,
// zero-filled when shorter; its parity bits are ignored.
class VINTREL_COMMON_EXPORT SecurityUtil {
public:
    // Raw cipher text of 8 * (text.size() / 8 + 1) bytes.
    static std::string DesEncrypt(const std::string& text, const std::string& key);

    // Plain text of a cipher text. Never fails: a wrong key or a damaged cipher text just
    // gives other bytes.
    static std::string DesDecrypt(const std::string& cipher, const std::string& key);

    // As above, into a new zero-terminated buffer stored into plain (its old value is
    // overwritten, not released). The caller releases the buffer with delete[].
    static void DesDecrypt(const std::string& cipher, char*& plain, const std::string& key);

    // Writes the 16-byte MD5 digest of all of text's bytes to digest[0..15], nothing more.
    static void MD5Encrypt(const std::string& text, unsigned char* digest);

    // There is nothing to copy: returns *this unchanged.
    SecurityUtil& operator=(const SecurityUtil&);
};

// The machine's identity.
class VINTREL_COMMON_EXPORT DeviceUtil {
public:
    // The hardware address of the first network adapter the system lists, as twelve
    // lowercase hexadecimal digits; empty when the list cannot be obtained. On Linux the
    // first by interface index whose address is permanent and not zero, else the first
    // non-zero one: virtual devices there carry random or zero addresses.
    static std::string GetDeviceId();

    // There is nothing to copy: returns *this unchanged.
    DeviceUtil& operator=(const DeviceUtil&);
};

#endif
