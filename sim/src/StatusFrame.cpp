#include "StatusFrame.h"

#include <algorithm>
#include <cmath>

namespace korvo::sim::status_frame {

void stuff(const wire::Bytes& body, wire::Bytes& out)
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

std::int16_t quantize(float q) noexcept
{
    const double scaled = std::round(static_cast<double>(q) * 32768.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

wire::Bytes body(std::uint16_t counter, std::uint16_t deviceId, const HandleSnapshot& s, const wire::Bytes& extra)
{
    wire::Bytes d;
    d.reserve(18 + extra.size());
    wire::putU16(d, counter);
    d.push_back(s.errorFlag);
    d.push_back(static_cast<std::uint8_t>((s.hallLevel & 0x1F) | ((s.buttons & 0x7) << 5)));
    d.push_back(static_cast<std::uint8_t>(deviceId & 0xFF));
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    // The host negates the second and third components when it decodes them.
    wire::putI16(d, quantize(s.quaternion[0]));
    wire::putI16(d, quantize(-s.quaternion[1]));
    wire::putI16(d, quantize(-s.quaternion[2]));
    wire::putI16(d, quantize(s.quaternion[3]));
    d.push_back(s.battery);
    d.insert(d.end(), extra.begin(), extra.end());
    unsigned sum = kCode;
    for (std::uint8_t b : d) {
        sum += b;
    }
    d.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    return d;
}

void append(const wire::Bytes& body, Fault fault, wire::Bytes& out)
{
    out.push_back(kCode);
    wire::Bytes stuffed;
    stuffed.reserve(body.size() * 2);
    switch (fault) {
    case Fault::None:
        stuff(body, stuffed);
        break;
    case Fault::BadChecksum: {
        wire::Bytes spoiled = body;
        spoiled.back() = static_cast<std::uint8_t>(spoiled.back() + 1);
        stuff(spoiled, stuffed);
        break;
    }
    case Fault::StrayEscape: {
        // An escape followed by an ordinary byte, between the header fields and
        // the quaternion: the unstuffed body gains a byte and fails its checksum.
        const wire::Bytes head(body.begin(), body.begin() + 8), tail(body.begin() + 8, body.end());
        stuff(head, stuffed);
        stuffed.push_back(kEscape);
        stuffed.push_back(0x41);
        stuff(tail, stuffed);
        break;
    }
    case Fault::MissingEnd:
        stuff(body, stuffed);
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

}  // namespace korvo::sim::status_frame
