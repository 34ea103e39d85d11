// The device identifier's two halves: the platform's adapter query (device_adapters_win.cpp,
// device_adapters_posix.cpp) and the formatting of an identifier from its result, which is
// shared and can be tested with made-up lists. Internal: not exported from the library.
#ifndef VINTREL_COMMON_DEVICE_ID_H
#define VINTREL_COMMON_DEVICE_ID_H

#include <array>
#include <string>
#include <vector>

namespace vintrel {

// One network adapter as the platform lists it: its address array as it stands (the size
// of IP_ADAPTER_INFO::Address) and the address length the platform reports.
struct NetworkAdapter {
    std::array<unsigned char, 8> address{};
    unsigned int addressLength = 0;
};

// The adapters in the platform's own order; empty when there is none or the query fails.
std::vector<NetworkAdapter> QueryNetworkAdapters();

// Bytes 0 to 5 of the first adapter's address array as twelve lowercase hexadecimal digits,
// whatever its address length says; empty for an empty list.
std::string FormatDeviceId(const std::vector<NetworkAdapter>& adapters);

}  // namespace vintrel

#endif
