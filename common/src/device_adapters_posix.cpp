#include "device_id.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace vintrel {

namespace {

struct FreeInterfaceList {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Whether the kernel reports the interface's address as its own (addr_assign_type 0), not
// random (as for ifb and many virtual devices, new at every boot), stolen or set by software.
// Unknown counts as not permanent.
bool HasPermanentAddress(const char* interfaceName) {
    const std::string path = std::string("/sys/class/net/") + interfaceName + "/addr_assign_type";
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "r"));
    int type = -1;
    return file && std::fscanf(file.get(), "%d", &type) == 1 && type == 0;
}

}  // namespace

// The link-level entries of getifaddrs in interface index order, then the stable ones first
// (StableAdaptersFirst): the first by index may be a virtual device whose address changes at
// every boot or is zero. Like GetAdaptersInfo we list no loopback interface, and we skip
// interfaces without a hardware address.
std::vector<NetworkAdapter> QueryNetworkAdapters() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return {};
    const std::unique_ptr<ifaddrs, FreeInterfaceList> list(raw);

    std::vector<std::pair<int, NetworkAdapter>> indexed;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        if ((entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        sockaddr_ll link;
        std::memcpy(&link, entry->ifa_addr, sizeof link);
        if (link.sll_halen == 0)
            continue;
        NetworkAdapter adapter;
        // Longer addresses (InfiniBand) keep their first 8 bytes, as an Address array would.
        std::memcpy(adapter.address.data(), link.sll_addr,
                    std::min<std::size_t>(link.sll_halen, adapter.address.size()));
        adapter.addressLength = link.sll_halen;
        adapter.permanent = entry->ifa_name != nullptr && HasPermanentAddress(entry->ifa_name);
        indexed.emplace_back(link.sll_ifindex, adapter);
    }
    std::stable_sort(indexed.begin(), indexed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::vector<NetworkAdapter> adapters;
    adapters.reserve(indexed.size());
    for (const auto& item : indexed)
        adapters.push_back(item.second);
    return StableAdaptersFirst(adapters);
}

}  // namespace vintrel
