// The device identifier: its formatting with made-up adapter lists (internal, linked in
// directly) and GetDeviceId on this machine through the library's exported interface.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "device_id.h"

#ifdef __linux__
#include <climits>
#include <filesystem>
#include <fstream>
#endif

namespace {

using vintrel::FormatDeviceId;
using vintrel::NetworkAdapter;

NetworkAdapter Adapter(std::initializer_list<unsigned char> bytes, unsigned int length) {
    NetworkAdapter adapter;
    std::size_t i = 0;
    for (unsigned char byte : bytes)
        adapter.address.at(i++) = byte;
    adapter.addressLength = length;
    return adapter;
}

bool IsLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(FormatDeviceId, TwoLowercaseDigitsPerByte) {
    EXPECT_EQ(FormatDeviceId({Adapter({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, 6)}), "001a2b3c4d5e");
    EXPECT_EQ(FormatDeviceId({Adapter({0x0A, 0x01, 0x00, 0x0F, 0x10, 0x09}, 6)}), "0a01000f1009");
    EXPECT_EQ(FormatDeviceId({Adapter({0xFF, 0x80, 0x7F, 0xAB, 0xCD, 0xEF}, 6)}), "ff807fabcdef");
}

TEST(FormatDeviceId, OnlyTheFirstAdapterCounts) {
    const NetworkAdapter first = Adapter({0x02, 0x42, 0xAC, 0x11, 0x00, 0x02}, 6);
    EXPECT_EQ(FormatDeviceId({first, Adapter({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 6)}),
              "0242ac110002");
    EXPECT_EQ(FormatDeviceId({first, Adapter({0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01}, 6),
                              Adapter({}, 0)}),
              "0242ac110002");
    // The same adapters in another order name another machine.
    EXPECT_EQ(FormatDeviceId({Adapter({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 6), first}),
              "112233445566");
}

TEST(FormatDeviceId, AddressLengthIsNotConsulted) {
    // An 8-byte address contributes its first six bytes; so does an address of length 0.
    EXPECT_EQ(FormatDeviceId({Adapter({1, 2, 3, 4, 5, 6, 7, 8}, 8)}), "010203040506");
    EXPECT_EQ(FormatDeviceId({Adapter({0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}, 0)}), "a1b2c3d4e5f6");
    EXPECT_EQ(FormatDeviceId({Adapter({}, 0)}), "000000000000");
    EXPECT_EQ(FormatDeviceId({Adapter({0xAA, 0xBB}, 2)}), "aabb00000000");
}

TEST(FormatDeviceId, NoAdapterGivesEmpty) {
    EXPECT_EQ(FormatDeviceId({}), "");
}

TEST(GetDeviceId, TwelveLowercaseHexDigitsOrEmpty) {
    const std::string id = DeviceUtil::GetDeviceId();
    std::cout << "device id on this machine: '" << id << "'\n";
    EXPECT_TRUE(id.empty() || (id.size() == 12 && IsLowerHex(id))) << id;
    EXPECT_EQ(DeviceUtil::GetDeviceId(), id);
}

#ifdef __linux__
// The first interface by index that has a hardware address and is not the loopback, read
// from sysfs rather than from getifaddrs.
std::string FirstAdapterFromSysfs() {
    namespace fs = std::filesystem;
    const fs::path root = "/sys/class/net";
    std::error_code error;
    long bestIndex = LONG_MAX;
    std::string best;
    for (const auto& entry : fs::directory_iterator(root, error)) {
        long index = 0, length = 0;
        unsigned long flags = 0;
        std::string address;
        if (!(std::ifstream(entry.path() / "ifindex") >> index) ||
            !(std::ifstream(entry.path() / "addr_len") >> length) ||
            !(std::ifstream(entry.path() / "flags") >> std::hex >> flags) ||
            !(std::ifstream(entry.path() / "address") >> address))
            continue;
        const unsigned long loopback = 0x8;
        if (length == 0 || (flags & loopback) != 0 || index >= bestIndex)
            continue;
        bestIndex = index;
        best.clear();
        for (char c : address.substr(0, 17))
            if (c != ':')
                best.push_back(c);
    }
    return best;
}

TEST(GetDeviceId, IsTheFirstNonLoopbackInterfaceBySysfs) {
    if (!std::filesystem::exists("/sys/class/net"))
        GTEST_SKIP() << "no /sys/class/net here";
    EXPECT_EQ(DeviceUtil::GetDeviceId(), FirstAdapterFromSysfs());
}
#endif

}  // namespace
