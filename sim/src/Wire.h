// Little-endian encoding helpers for the devices' wire formats.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Korvo::Sim::Wire {

static_assert(std::endian::native == std::endian::little,
              "the wire formats are little-endian and are copied byte for byte");

using Bytes = std::vector<std::uint8_t>;

inline void PutU8(Bytes& out, std::uint8_t v) { out.push_back(v); }

inline void PutU16(Bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v & 0xFFu));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void PutI16(Bytes& out, std::int16_t v) { PutU16(out, static_cast<std::uint16_t>(v)); }

inline void PutF32(Bytes& out, float v)
{
    std::uint8_t raw[4];
    std::memcpy(raw, &v, sizeof raw);
    out.insert(out.end(), raw, raw + 4);
}

inline float GetF32(const std::uint8_t* p)
{
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint16_t GetU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace Korvo::Sim::Wire
