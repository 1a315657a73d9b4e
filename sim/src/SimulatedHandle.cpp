#include "SimulatedHandle.h"

#include <algorithm>
#include <limits>

#include "StatusFrame.h"

namespace korvo::sim {

namespace {

namespace code {
constexpr std::uint8_t kWakeup = 0x0A;
constexpr std::uint8_t kStatus = 0xDA;
constexpr std::uint8_t kHandleState = 0xDB;
constexpr std::uint8_t kInfo = 0xD0;
constexpr std::uint8_t kError = 0xDF;
}  // namespace code

// Bytes that SLIP must escape, so that hosts meet escapes in most frames rather
// than once every few hundred.
constexpr std::array<std::uint8_t, 8> kExtraPattern = {0xC0, 0xDB, 0xDC, 0xDD, 0x00, 0xFF, 0xC0, 0x7E};

}  // namespace

SimulatedHandle::SimulatedHandle(const HandleOptions& options, std::uint64_t seed, double now)
    : options_(options),
      motion_(options, seed, now),
      period_(options.rateHz > 0.0 ? 1.0 / options.rateHz : 0.0),
      nextFrameDue_(options.rateHz > 0.0 ? now + period_ : std::numeric_limits<double>::infinity())
{
}

void SimulatedHandle::resetParser() noexcept
{
    parse_ = Parse::Code;
    got_ = 0;
}

std::size_t SimulatedHandle::consume(const std::uint8_t* data, std::size_t size, double now, Request& out)
{
    out.clear();
    std::size_t i = 0;
    while (i < size) {
        switch (parse_) {
        case Parse::Code: {
            const std::uint8_t c = data[i++];
            out.complete = true;
            if (c == code::kWakeup) {
                out.hasReply = true;
                if (options_.wakeupReply == WakeupReply::Status) {
                    appendStatus(now, out.reply);
                } else {
                    appendInfo(out.reply);
                }
                return i;
            }
            if (c == code::kStatus) {
                out.hasReply = true;
                appendStatus(now, out.reply);
                return i;
            }
            if (c == code::kHandleState) {
                out.complete = false;
                parse_ = Parse::StateHeader;
                got_ = 0;
                break;
            }
            out.hasReply = true;
            appendError(out.reply);
            return i;
        }
        case Parse::StateHeader:
            stateHeader_[got_++] = data[i++];
            if (got_ == stateHeader_.size()) {
                parse_ = Parse::StateData;
                got_ = 0;
            }
            break;
        case Parse::StateData: {
            const std::size_t need = stateHeader_[2];
            const std::size_t take = std::min(need - got_, size - i);
            std::copy_n(data + i, take, incoming_.begin() + static_cast<std::ptrdiff_t>(got_));
            got_ += take;
            i += take;
            break;
        }
        }
        if (parse_ == Parse::StateData && got_ == stateHeader_[2]) {
            // The whole state has arrived; a half-received one never replaces the last.
            userDataLength_ = got_;
            std::copy_n(incoming_.begin(), got_, userData_.begin());
            parse_ = Parse::Code;
            got_ = 0;
            out.complete = true;
            out.hasReply = false;
            return i;
        }
    }
    return i;
}

void SimulatedHandle::appendInfo(wire::Bytes& out) const
{
    out.push_back(code::kInfo);
    out.push_back(kToolDataRemaining);
    wire::putU16(out, options_.deviceId);
    out.push_back(kModelNumber);
    out.push_back(kHardwareVersion);
    out.push_back(kFirmwareVersion);
}

void SimulatedHandle::appendStatus(double now, wire::Bytes& out)
{
    const HandleSnapshot s = motion_.at(now);
    out.push_back(code::kStatus);
    wire::putU16(out, options_.deviceId);
    out.push_back(s.errorFlag);
    out.push_back(s.hallLevel);
    for (float q : s.quaternion) {
        wire::putF32(out, q);
    }
    out.push_back(static_cast<std::uint8_t>(userDataLength_));
    out.insert(out.end(), userData_.begin(), userData_.begin() + static_cast<std::ptrdiff_t>(userDataLength_));
}

void SimulatedHandle::appendError(wire::Bytes& out) const
{
    out.push_back(code::kError);
    wire::putU16(out, options_.deviceId);
    out.push_back(kUnknownRequest);
}

void SimulatedHandle::appendFrame(double now, wire::Bytes& out)
{
    using status_frame::Fault;
    const std::uint16_t counter = frameCounter_++;
    ++framesSent_;

    wire::Bytes extra;
    const std::size_t extraCount = counter % 4;
    for (std::size_t k = 0; k < extraCount; ++k) {
        extra.push_back(kExtraPattern[(counter + k) % kExtraPattern.size()]);
    }
    const wire::Bytes body = status_frame::body(counter, options_.deviceId, motion_.at(now), extra);

    Fault fault = Fault::None;
    if (options_.badFramesEvery != 0 && framesSent_ % options_.badFramesEvery == 0) {
        static constexpr Fault kCycle[] = {Fault::BadChecksum, Fault::StrayEscape, Fault::MissingEnd};
        fault = kCycle[badFramesSent_++ % 3];
    }
    status_frame::append(body, fault, out);
    if (fault == Fault::MissingEnd) {
        appendFrame(now, out);  // the next frame follows with no end marker between
    }
}

void SimulatedHandle::takeFrame(double now, bool hostReading, wire::Bytes& out)
{
    if (hostReading) {
        appendFrame(now, out);
    }
    nextFrameDue_ += period_;
    if (nextFrameDue_ <= now) {
        // Fell behind (a long reply delay, a suspended process): resume the rate
        // from now rather than sending a burst of stale frames.
        nextFrameDue_ = now + period_;
    }
}

}  // namespace korvo::sim
