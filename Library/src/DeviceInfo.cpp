#include "Korvo/HardwareAPI/DeviceInfo.h"

#include <algorithm>

namespace Korvo::HardwareAPI {

DeviceInfo DeviceInfo::Decode(const std::uint8_t* payload) {
    DeviceInfo info;
    info.device_id = static_cast<std::uint16_t>(payload[0] | (payload[1] << 8));
    info.device_model_number = payload[2];
    info.hardware_version = payload[3];
    info.firmware_version = payload[4];
    std::copy_n(payload + 5, info.device_id_ext.data.size(), info.device_id_ext.data.begin());
    return info;
}

}  // namespace Korvo::HardwareAPI
