#pragma once
// The byte-stuffed status frame a handle streams: 0xDA, a stuffed body, 0xC0.
//
// Stuffing uses the SLIP values: 0xC0 ends a frame and 0xDB escapes, so that
// 0xDB 0xDC stands for a data byte 0xC0 and 0xDB 0xDD for a data byte 0xDB.
// The unstuffed body ends in a checksum: the low 8 bits of 0xDA plus the sum
// of every byte before it. The fields sit in the first 17 bytes:
//
//   offset  meaning
//   2       error_flag
//   3       bits 0-4 hall-effect level, bits 5-7 buttons
//   4       device_id
//   8-15    quaternion a, b, c, d as int16 little-endian, scaled by 2^-15;
//           the handle's frame is turned into the host's as [a, -b, -c, d]
//   16      battery: 3.0 V + 5 mV per unit
//
// Bytes 0-1, 5-7 and any between byte 16 and the checksum are not
// interpreted.
//
// Kept apart from Handle so that decoding can be tested without a stream, and
// used by readers of the stream of frames other than GetStylarStatus.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Korvo/HardwareAPI/Devices/Handle.h"

namespace Korvo::HardwareAPI::Devices::StylarFrame {

inline constexpr std::uint8_t kStart = 0xDA;
inline constexpr std::uint8_t kEnd = 0xC0;
inline constexpr std::uint8_t kEscape = 0xDB;
inline constexpr std::uint8_t kEscapedEnd = 0xDC;
inline constexpr std::uint8_t kEscapedEscape = 0xDD;

// Fields up to byte 16, then the checksum.
inline constexpr std::size_t kMinimumBody = 18;
// A frame attempt gives up after this many stuffed bytes without an end
// marker: a line that never sends one must not grow the frame without end.
inline constexpr std::size_t kMaximumStuffed = 1024;

// Undoes the stuffing. End markers are dropped; an escape followed by anything
// but 0xDC or 0xDD is dropped alone, and the byte after it is taken as if the
// escape had not been there.
std::vector<std::uint8_t> Unstuff(std::span<const std::uint8_t> stuffed);

// Whether the last byte of a non-empty body is its checksum.
bool ChecksumMatches(std::span<const std::uint8_t> body);

// One raw quaternion component (int16 stored as its two's complement bits).
float QuaternionComponent(std::uint16_t raw);

// Battery byte to volts, rounded once to float.
float BatteryLevel(std::uint8_t byte);

// The fields of a checked body of at least kMinimumBody bytes.
StylarStatus DecodeBody(std::span<const std::uint8_t> body);

// The whole check of one collected frame (its stuffed bytes after the 0xDA
// header, end marker included if it came): nothing when it is empty, ends in
// an escape, unstuffs to nothing, is shorter than kMinimumBody or fails its
// checksum; otherwise its fields.
std::optional<StylarStatus> Decode(std::span<const std::uint8_t> stuffed);

}  // namespace Korvo::HardwareAPI::Devices::StylarFrame
