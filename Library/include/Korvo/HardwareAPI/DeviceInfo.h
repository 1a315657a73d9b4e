#pragma once
// DeviceInfo: the record an arm returns when it is woken.

#include <cstdint>

#include "Korvo/HardwareAPI/UUID.h"

namespace Korvo::HardwareAPI {

struct DeviceInfo {
    // Length of the wakeup reply's payload on the wire.
    static constexpr std::size_t kWireSize = 21;

    std::uint16_t device_id = 0;
    UUID device_id_ext;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;

    // Wire layout (differs from the field order): device_id u16 little-endian,
    // model, hardware, firmware, then the 16 identifier bytes.
    static DeviceInfo Decode(const std::uint8_t* payload);
};

}  // namespace Korvo::HardwareAPI
