// The handle's streamed status frame: 0xDA, a SLIP-stuffed body, 0xC0.
#pragma once

#include <cstdint>

#include "HandleMotion.h"
#include "Wire.h"

namespace Korvo::Sim::StatusFrame {

inline constexpr std::uint8_t kCode = 0xDA;
inline constexpr std::uint8_t kEnd = 0xC0;
inline constexpr std::uint8_t kEscape = 0xDB;
inline constexpr std::uint8_t kEscapedEnd = 0xDC;
inline constexpr std::uint8_t kEscapedEscape = 0xDD;

// Ways a frame can be spoiled on purpose, for hosts to prove they reject it.
enum class Fault { None, BadChecksum, StrayEscape, MissingEnd };

// Appends data bytes to out, escaping 0xC0 and 0xDB.
void Stuff(const Wire::Bytes& body, Wire::Bytes& out);

// The unstuffed body: counter, flags, hall and buttons, device id, quaternion,
// battery, `extra` uninterpreted bytes, checksum.
[[nodiscard]] Wire::Bytes Body(std::uint16_t counter, std::uint16_t device_id, const HandleSnapshot& s,
                               const Wire::Bytes& extra);

// Appends a whole frame for `body` to out. MissingEnd stops partway through the
// body, with no end marker: the caller sends the next frame right behind it.
void Append(const Wire::Bytes& body, Fault fault, Wire::Bytes& out);

// int16 of q * 32768, rounded and clamped.
[[nodiscard]] std::int16_t Quantize(float q) noexcept;

}  // namespace Korvo::Sim::StatusFrame
