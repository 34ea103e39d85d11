#include "device_id.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

namespace vintrel {

namespace {

struct FreeInterfaceList {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

// The link-level entries of getifaddrs, in interface index order. Like GetAdaptersInfo we
// list no loopback interface, and we skip interfaces without a hardware address (tunnels).
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
        indexed.emplace_back(link.sll_ifindex, adapter);
    }
    std::stable_sort(indexed.begin(), indexed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::vector<NetworkAdapter> adapters;
    adapters.reserve(indexed.size());
    for (const auto& item : indexed)
        adapters.push_back(item.second);
    return adapters;
}

}  // namespace vintrel
