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
// of IP_ADAPTER_INFO::Address), the address length the platform reports, and whether the
// address is the adapter's own (Linux: addr_assign_type 0) rather than random or set.
struct NetworkAdapter {
    std::array<unsigned char, 8> address{};
    unsigned int addressLength = 0;
    bool permanent = false;
};

// The adapters in the platform's own order; empty when there is none or the query fails.
std::vector<NetworkAdapter> QueryNetworkAdapters();

// The adapters worth naming the machine by, best first: those whose six identifier bytes
// are not all zero, the permanent ones before the others, each group in the given order.
// Used where the system lists virtual adapters (random or zero addresses) among real ones.
std::vector<NetworkAdapter> StableAdaptersFirst(const std::vector<NetworkAdapter>& adapters);

// Bytes 0 to 5 of the first adapter's address array as twelve lowercase hexadecimal digits,
// whatever its address length says; empty for an empty list.
std::string FormatDeviceId(const std::vector<NetworkAdapter>& adapters);

}  // namespace vintrel

#endif
