#pragma once
// UUID: the 16-byte identifier an arm reports (and the 16-byte form of its
// firmware version). Bytes stay in the order they arrive on the wire; nothing
// is swapped or interpreted.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Korvo::HardwareAPI {

struct UUID {
    std::array<std::uint8_t, 16> data{};

    // The 16 bytes, in stored order.
    std::vector<std::uint8_t> bytes() const { return {data.begin(), data.end()}; }

    // 32 lower-case hexadecimal digits, two per byte, byte 0 first, no
    // separators: the form Python's uuid.UUID(hex=...) reads with byte 0 as
    // the most significant.
    std::string Hex() const;
};

}  // namespace Korvo::HardwareAPI
