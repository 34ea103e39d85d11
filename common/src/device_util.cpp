#include <vintrel/vintrel_common.h>

#include "device_id.h"

// Asks the platform afresh on every call: the first adapter may change while we run.
std::string DeviceUtil::GetDeviceId() {
    return vintrel::FormatDeviceId(vintrel::QueryNetworkAdapters());
}

DeviceUtil& DeviceUtil::operator=(const DeviceUtil&) {
    return *this;
}
