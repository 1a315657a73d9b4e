#include "StatusFrame.h"

#include <algorithm>
#include <cmath>

namespace Korvo::Sim::StatusFrame {

void Stuff(const Wire::Bytes& body, Wire::Bytes& out)
{
    for (std::uint8_t b : body) {
        if (b == kEnd) {
            out.push_back(kEscape);
            out.push_back(kEscapedEnd);
        } else if (b == kEscape) {
            out.push_back(kEscape);
            out.push_back(kEscapedEscape);
        } else {
            out.push_back(b);
        }
    }
}

std::int16_t Quantize(float q) noexcept
{
    const double scaled = std::round(static_cast<double>(q) * 32768.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

Wire::Bytes Body(std::uint16_t counter, std::uint16_t device_id, const HandleSnapshot& s, const Wire::Bytes& extra)
{
    Wire::Bytes d;
    d.reserve(18 + extra.size());
    Wire::PutU16(d, counter);
    d.push_back(s.error_flag);
    d.push_back(static_cast<std::uint8_t>((s.hall_level & 0x1F) | ((s.buttons & 0x7) << 5)));
    d.push_back(static_cast<std::uint8_t>(device_id & 0xFF));
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    // The host negates the second and third components when it decodes them.
    Wire::PutI16(d, Quantize(s.quaternion[0]));
    Wire::PutI16(d, Quantize(-s.quaternion[1]));
    Wire::PutI16(d, Quantize(-s.quaternion[2]));
    Wire::PutI16(d, Quantize(s.quaternion[3]));
    d.push_back(s.battery);
    d.insert(d.end(), extra.begin(), extra.end());
    unsigned sum = kCode;
    for (std::uint8_t b : d) {
        sum += b;
    }
    d.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    return d;
}

void Append(const Wire::Bytes& body, Fault fault, Wire::Bytes& out)
{
    out.push_back(kCode);
    Wire::Bytes stuffed;
    stuffed.reserve(body.size() * 2);
    switch (fault) {
    case Fault::None:
        Stuff(body, stuffed);
        break;
    case Fault::BadChecksum: {
        Wire::Bytes spoiled = body;
        spoiled.back() = static_cast<std::uint8_t>(spoiled.back() + 1);
        Stuff(spoiled, stuffed);
        break;
    }
    case Fault::StrayEscape: {
        // An escape followed by an ordinary byte, between the header fields and
        // the quaternion: the unstuffed body gains a byte and fails its checksum.
        const Wire::Bytes head(body.begin(), body.begin() + 8), tail(body.begin() + 8, body.end());
        Stuff(head, stuffed);
        stuffed.push_back(kEscape);
        stuffed.push_back(0x41);
        Stuff(tail, stuffed);
        break;
    }
    case Fault::MissingEnd:
        Stuff(body, stuffed);
        stuffed.resize(stuffed.size() / 2);
        // Never end on a lone escape, which would swallow the next frame's code.
        if (!stuffed.empty() && stuffed.back() == kEscape) {
            stuffed.pop_back();
        }
        out.insert(out.end(), stuffed.begin(), stuffed.end());
        return;
    }
    out.insert(out.end(), stuffed.begin(), stuffed.end());
    out.push_back(kEnd);
}

}  // namespace Korvo::Sim::StatusFrame
