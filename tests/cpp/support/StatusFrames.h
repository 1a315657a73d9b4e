#pragma once
// The handle's side of a status frame, written independently of the
// library's decoder: a 17-byte field block, the checksum, SLIP stuffing.

#include <cstdint>
#include <functional>

#include "support/PtyPeer.h"

namespace Korvo::Testing {

// Bytes 0 to 16 of a frame body; bytes 0-1 and 5-7 are left zero.
Bytes FrameFields(std::uint8_t error_flag, std::uint8_t byte3, std::uint8_t device_id, std::uint16_t a,
                  std::uint16_t b, std::uint16_t c, std::uint16_t d, std::uint8_t battery);

// The body with its checksum appended (then `mangle`d, if given), 0xC0 and
// 0xDB escaped, and the end marker 0xC0: what follows the 0xDA header.
Bytes StuffedBody(Bytes body, const std::function<void(Bytes&)>& mangle = {});

// A whole frame: 0xDA and the stuffed body.
Bytes StatusFrame(Bytes body, const std::function<void(Bytes&)>& mangle = {});

}  // namespace Korvo::Testing
