// The device identifier: its formatting with made-up adapter lists (internal, linked in
// directly) and GetDeviceId on this machine through the library's exported interface.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "device_id.h"

namespace {

using vintrel::FormatDeviceId;
using vintrel::NetworkAdapter;
using vintrel::StableAdaptersFirst;

NetworkAdapter Adapter(std::initializer_list<unsigned char> bytes, unsigned int length,
                       bool permanent = false) {
    NetworkAdapter adapter;
    std::size_t i = 0;
    for (unsigned char byte : bytes)
        adapter.address.at(i++) = byte;
    adapter.addressLength = length;
    adapter.permanent = permanent;
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

// Made-up adapter lists, in interface index order, as a Linux machine may show them.
TEST(StableAdaptersFirst, ChoosesThePermanentNonZeroAddress) {
    const bool permanent = true;
    const NetworkAdapter tunnel = Adapter({}, 4, permanent);  // tunl0: zero, "permanent"
    const NetworkAdapter ifb = Adapter({0xE6, 0xB2, 0x23, 0x79, 0x3F, 0x4E}, 6);  // random
    const NetworkAdapter eth0 = Adapter({0x02, 0xFC, 0x00, 0x00, 0x00, 0x01}, 6, permanent);
    const NetworkAdapter wlan0 = Adapter({0x3C, 0x22, 0xFB, 0x10, 0x20, 0x30}, 6, permanent);
    const NetworkAdapter veth = Adapter({0x72, 0x90, 0x96, 0x57, 0xFB, 0xF8}, 6);
    const NetworkAdapter zeroHead = Adapter({0, 0, 0, 0, 0, 0, 0x11, 0x22}, 8, permanent);
    const struct {
        const char* what;
        std::vector<NetworkAdapter> adapters;
        const char* id;
    } cases[] = {
        {"random ifb before eth0", {ifb, eth0}, "02fc00000001"},
        {"zero tunnel before eth0", {tunnel, ifb, eth0}, "02fc00000001"},
        {"two permanent: the first by index", {ifb, wlan0, eth0}, "3c22fb102030"},
        {"none permanent: the first non-zero", {tunnel, veth, ifb}, "72909657fbf8"},
        {"zero in the identifier's six bytes counts as zero", {zeroHead, veth}, "72909657fbf8"},
        {"only zero addresses", {tunnel, Adapter({}, 6)}, ""},
        {"no adapter", {}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDeviceId(StableAdaptersFirst(c.adapters)), c.id) << c.what;
}

TEST(GetDeviceId, TwelveLowercaseHexDigitsOrEmpty) {
    const std::string id = DeviceUtil::GetDeviceId();
    std::cout << "device id on this machine: '" << id << "'\n";
    EXPECT_TRUE(id.empty() || (id.size() == 12 && IsLowerHex(id))) << id;
    EXPECT_EQ(DeviceUtil::GetDeviceId(), id);
}


}  // namespace
