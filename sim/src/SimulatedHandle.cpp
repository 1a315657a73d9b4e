#include "SimulatedHandle.h"

#include <algorithm>
#include <limits>

#include "StatusFrame.h"

namespace Korvo::Sim {

namespace {

namespace HandleCode {
constexpr std::uint8_t kWakeup = 0x0A;
constexpr std::uint8_t kStatus = 0xDA;
constexpr std::uint8_t kHandleState = 0xDB;
constexpr std::uint8_t kInfo = 0xD0;
constexpr std::uint8_t kError = 0xDF;
}  // namespace HandleCode

// Bytes that SLIP must escape, so that hosts meet escapes in most frames rather
// than once every few hundred.
constexpr std::array<std::uint8_t, 8> kExtraPattern = {0xC0, 0xDB, 0xDC, 0xDD, 0x00, 0xFF, 0xC0, 0x7E};

}  // namespace

SimulatedHandle::SimulatedHandle(const HandleOptions& options, std::uint64_t seed, double now)
    : options_(options),
      motion_(options, seed, now),
      period_(options.rate_hz > 0.0 ? 1.0 / options.rate_hz : 0.0),
      next_frame_due_(options.rate_hz > 0.0 ? now + period_ : std::numeric_limits<double>::infinity())
{
}

void SimulatedHandle::ResetParser() noexcept
{
    parse_ = Parse::Code;
    got_ = 0;
}

std::size_t SimulatedHandle::Consume(const std::uint8_t* data, std::size_t size, double now, Request& out)
{
    out.Clear();
    std::size_t i = 0;
    while (i < size) {
        switch (parse_) {
        case Parse::Code: {
            const std::uint8_t c = data[i++];
            out.complete = true;
            if (c == HandleCode::kWakeup) {
                out.has_reply = true;
                if (options_.wakeup_reply == WakeupReply::Status) {
                    AppendStatus(now, out.reply);
                } else {
                    AppendInfo(out.reply);
                }
                return i;
            }
            if (c == HandleCode::kStatus) {
                out.has_reply = true;
                AppendStatus(now, out.reply);
                return i;
            }
            if (c == HandleCode::kHandleState) {
                out.complete = false;
                parse_ = Parse::StateHeader;
                got_ = 0;
                break;
            }
            out.has_reply = true;
            AppendError(out.reply);
            return i;
        }
        case Parse::StateHeader:
            state_header_[got_++] = data[i++];
            if (got_ == state_header_.size()) {
                parse_ = Parse::StateData;
                got_ = 0;
            }
            break;
        case Parse::StateData: {
            const std::size_t need = state_header_[2];
            const std::size_t take = std::min(need - got_, size - i);
            std::copy_n(data + i, take, incoming_.begin() + static_cast<std::ptrdiff_t>(got_));
            got_ += take;
            i += take;
            break;
        }
        }
        if (parse_ == Parse::StateData && got_ == state_header_[2]) {
            // The whole state has arrived; a half-received one never replaces the last.
            user_data_length_ = got_;
            std::copy_n(incoming_.begin(), got_, user_data_.begin());
            parse_ = Parse::Code;
            got_ = 0;
            out.complete = true;
            out.has_reply = false;
            return i;
        }
    }
    return i;
}

void SimulatedHandle::AppendInfo(Wire::Bytes& out) const
{
    out.push_back(HandleCode::kInfo);
    out.push_back(kToolDataRemaining);
    Wire::PutU16(out, options_.device_id);
    out.push_back(kModelNumber);
    out.push_back(kHardwareVersion);
    out.push_back(kFirmwareVersion);
}

void SimulatedHandle::AppendStatus(double now, Wire::Bytes& out)
{
    const HandleSnapshot s = motion_.At(now);
    out.push_back(HandleCode::kStatus);
    Wire::PutU16(out, options_.device_id);
    out.push_back(s.error_flag);
    out.push_back(s.hall_level);
    for (float q : s.quaternion) {
        Wire::PutF32(out, q);
    }
    out.push_back(static_cast<std::uint8_t>(user_data_length_));
    out.insert(out.end(), user_data_.begin(), user_data_.begin() + static_cast<std::ptrdiff_t>(user_data_length_));
}

void SimulatedHandle::AppendError(Wire::Bytes& out) const
{
    out.push_back(HandleCode::kError);
    Wire::PutU16(out, options_.device_id);
    out.push_back(kUnknownRequest);
}

void SimulatedHandle::AppendFrame(double now, Wire::Bytes& out)
{
    using StatusFrame::Fault;
    const std::uint16_t counter = frame_counter_++;
    ++frames_sent_;

    Wire::Bytes extra;
    const std::size_t extra_count = counter % 4;
    for (std::size_t k = 0; k < extra_count; ++k) {
        extra.push_back(kExtraPattern[(counter + k) % kExtraPattern.size()]);
    }
    const Wire::Bytes body = StatusFrame::Body(counter, options_.device_id, motion_.At(now), extra);

    Fault fault = Fault::None;
    if (options_.bad_frames_every != 0 && frames_sent_ % options_.bad_frames_every == 0) {
        static constexpr Fault kCycle[] = {Fault::BadChecksum, Fault::StrayEscape, Fault::MissingEnd};
        fault = kCycle[bad_frames_sent_++ % 3];
    }
    StatusFrame::Append(body, fault, out);
    if (fault == Fault::MissingEnd) {
        AppendFrame(now, out);  // the next frame follows with no end marker between
    }
}

void SimulatedHandle::TakeFrame(double now, bool host_reading, Wire::Bytes& out)
{
    if (host_reading) {
        AppendFrame(now, out);
    }
    next_frame_due_ += period_;
    if (next_frame_due_ <= now) {
        // Fell behind (a long reply delay, a suspended process): resume the rate
        // from now rather than sending a burst of stale frames.
        next_frame_due_ = now + period_;
    }
}

}  // namespace Korvo::Sim
