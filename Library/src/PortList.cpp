#include <algorithm>
#include <array>
#include <string_view>

#include "DiscoveryDetail.h"

namespace Korvo::HardwareAPI {

namespace fs = std::filesystem;

namespace DiscoveryDetail {

std::vector<PortEntry> ListPorts(const fs::path& directory) {
    std::vector<PortEntry> ports;
    const fs::file_type type = fs::status(directory).type();
    if (type == fs::file_type::none || type == fs::file_type::not_found) return ports;

    // First match wins; the pattern may appear anywhere in the name.
    static constexpr std::array<std::pair<std::string_view, PortKind>, 3> kPatterns{{
        {"ttyACM", PortKind::ACM},
        {"ttyUSB", PortKind::USB},
        {"rfcomm", PortKind::RFCOMM},
    }};
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        const auto match = std::find_if(kPatterns.begin(), kPatterns.end(), [&](const auto& pattern) {
            return name.find(pattern.first) != std::string::npos;
        });
        if (match == kPatterns.end()) continue;
        ports.push_back({fs::canonical(entry.path()).string(), match->second});
    }
    return ports;
}

}  // namespace DiscoveryDetail

std::vector<PortEntry> ListPorts() { return DiscoveryDetail::ListPorts("/dev"); }

}  // namespace Korvo::HardwareAPI
