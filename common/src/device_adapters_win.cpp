// The platform writes IP_ADAPTER_INFO with a 64-bit time_t (648 bytes per record on 32-bit
// Windows); mingw's default 32-bit time_t would make our record 8 bytes short.
#define __MINGW_USE_VC2005_COMPAT 1

#include "device_id.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <new>

static_assert(sizeof(IP_ADAPTER_INFO) == 648, "IP_ADAPTER_INFO must have the platform's layout");
static_assert(sizeof(IP_ADAPTER_INFO::Address) == sizeof(vintrel::NetworkAdapter::address),
              "an adapter's address array is copied whole");

namespace vintrel {

namespace {

std::unique_ptr<unsigned char[]> AllocateList(ULONG size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

IP_ADAPTER_INFO* AsList(const std::unique_ptr<unsigned char[]>& buffer) {
    return reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
}

}  // namespace

// Room for one record first; when the platform asks for more (111), a buffer of exactly the
// size it reports. The second call is made in every case and alone decides.
std::vector<NetworkAdapter> QueryNetworkAdapters() {
    ULONG length = sizeof(IP_ADAPTER_INFO);
    std::unique_ptr<unsigned char[]> buffer = AllocateList(length);
    if (!buffer)
        return {};
    if (GetAdaptersInfo(AsList(buffer), &length) == ERROR_BUFFER_OVERFLOW) {
        buffer = AllocateList(length);
        if (!buffer)
            return {};
    }
    if (GetAdaptersInfo(AsList(buffer), &length) != NO_ERROR)
        return {};

    // The identifier needs the first record only; the rest of the chain is never read.
    const IP_ADAPTER_INFO* first = AsList(buffer);
    NetworkAdapter adapter;
    std::memcpy(adapter.address.data(), first->Address, adapter.address.size());
    adapter.addressLength = first->AddressLength;
    return {adapter};
}

}  // namespace vintrel
