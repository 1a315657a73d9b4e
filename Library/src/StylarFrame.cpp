#include "Korvo/HardwareAPI/Devices/StylarFrame.h"

namespace Korvo::HardwareAPI::Devices::StylarFrame {

std::vector<std::uint8_t> Unstuff(std::span<const std::uint8_t> stuffed) {
    std::vector<std::uint8_t> body;
    body.reserve(stuffed.size());
    for (std::size_t i = 0; i < stuffed.size(); ++i) {
        const std::uint8_t byte = stuffed[i];
        if (byte == kEnd) continue;
        if (byte != kEscape) {
            body.push_back(byte);
            continue;
        }
        const bool has_next = i + 1 < stuffed.size();
        if (has_next && stuffed[i + 1] == kEscapedEnd) {
            body.push_back(kEnd);
            ++i;
        } else if (has_next && stuffed[i + 1] == kEscapedEscape) {
            body.push_back(kEscape);
            ++i;
        }
        // A stray escape is dropped on its own; the byte after it is judged
        // afresh on the next turn, so an escape before an escape still works.
    }
    return body;
}

bool ChecksumMatches(std::span<const std::uint8_t> body) {
    if (body.empty()) return false;
    unsigned sum = kStart;
    for (std::size_t i = 0; i + 1 < body.size(); ++i) sum += body[i];
    return static_cast<std::uint8_t>(sum) == body.back();
}

float QuaternionComponent(std::uint16_t raw) {
    const int value = raw > 0x7FFF ? static_cast<int>(raw) - 0x10000 : static_cast<int>(raw);
    return static_cast<float>(value) / 32768.0f;  // exact: a power of two
}

float BatteryLevel(std::uint8_t byte) { return static_cast<float>(3.0 + 0.005 * byte); }

StylarStatus DecodeBody(std::span<const std::uint8_t> body) {
    const auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(body[at] | (body[at + 1] << 8)); };
    StylarStatus status;
    status.error_flag = body[2];
    status.hall_effect_sensor_level = body[3] & 0x1F;
    status.buttons = static_cast<std::uint8_t>(body[3] >> 5);
    status.device_id = body[4];
    // The handle's second and third axes point the other way round.
    status.quaternion = {QuaternionComponent(u16(8)), -QuaternionComponent(u16(10)), -QuaternionComponent(u16(12)),
                         QuaternionComponent(u16(14))};
    status.battery_level = BatteryLevel(body[16]);
    return status;
}

std::optional<StylarStatus> Decode(std::span<const std::uint8_t> stuffed) {
    if (stuffed.empty() || stuffed.back() == kEscape) return std::nullopt;
    const std::vector<std::uint8_t> body = Unstuff(stuffed);
    // A short body can pass its checksum by chance; its fields are not there.
    if (body.size() < kMinimumBody || !ChecksumMatches(body)) return std::nullopt;
    return DecodeBody(body);
}

}  // namespace Korvo::HardwareAPI::Devices::StylarFrame
