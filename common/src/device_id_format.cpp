#include "device_id.h"

#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <locale>
#include <sstream>

namespace vintrel {

namespace {

bool IdentifierBytesAreZero(const NetworkAdapter& adapter) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (adapter.address[i] != 0)
            return false;
    }
    return true;
}

}  // namespace

std::vector<NetworkAdapter> StableAdaptersFirst(const std::vector<NetworkAdapter>& adapters) {
    std::vector<NetworkAdapter> chosen;
    for (const bool permanent : {true, false}) {
        for (const NetworkAdapter& adapter : adapters) {
            if (adapter.permanent == permanent && !IdentifierBytesAreZero(adapter))
                chosen.push_back(adapter);
        }
    }
    return chosen;
}

std::string FormatDeviceId(const std::vector<NetworkAdapter>& adapters) {
    if (adapters.empty())
        return std::string();

    const NetworkAdapter& first = adapters.front();
    std::stringstream text;
    // The caller's global locale must not regroup the digits.
    text.imbue(std::locale::classic());
    text.fill('0');
    for (std::size_t i = 0; i < 6; ++i) {
        // Widened so the stream prints a number, not a character; two digits per byte.
        text << std::setw(2) << std::hex << static_cast<std::uint16_t>(first.address[i]);
    }
    return text.str();
}

}  // namespace vintrel
