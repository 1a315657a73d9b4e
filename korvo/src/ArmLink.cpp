#include "ArmLink.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>

#include "Korvo/HardwareAPI/Devices/Arvena.h"

namespace Korvo::Haptics {

namespace {

using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::WaitResult;

using HardwareAPI::Devices::Arvena;

constexpr unsigned char kForceRequest = Arvena::kEndEffectorForce;
constexpr unsigned char kStateReply = Arvena::kEndEffectorState;
constexpr std::uint8_t kStateReplySize = 25;

// Queries without effect on the arm whose answers differ from the state
// reply and from each other, in code and length.
struct Marker {
    unsigned char code;
    std::uint8_t answer;
};
constexpr Marker kMarkers[] = {
    {Arvena::kPowerStatus, 2}, {Arvena::kTemperature, 5}, {Arvena::kMotorCurrents, 13}, {Arvena::kOrientation, 17}};

ArmLink::Reply Decode(const unsigned char* at) {
    ArmLink::Reply reply;
    std::memcpy(reply.position.data(), at + 1, 12);
    std::memcpy(reply.velocity.data(), at + 13, 12);
    return reply;
}

bool BelievableState(const std::uint8_t* payload, std::size_t size) {
    if (size != kStateReplySize - 1u) return false;
    ArmLink::Reply reply;
    std::memcpy(reply.position.data(), payload, 12);
    std::memcpy(reply.velocity.data(), payload + 12, 12);
    return ArmLink::Plausible(reply);
}

}  // namespace

bool ArmLink::Plausible(const Reply& reply) noexcept {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(reply.position[i]) || std::fabs(reply.position[i]) > 10.0f) return false;
        if (!std::isfinite(reply.velocity[i]) || std::fabs(reply.velocity[i]) > 100.0f) return false;
    }
    return true;
}

bool ArmLink::Take() {
    // The wait that just ended has counted them already, usually.
    const std::size_t known = stream_.KnownAvailable();
    std::size_t waiting = known > 0 ? known : static_cast<std::size_t>(std::max(stream_.BytesAvailable(), 0));
    while (waiting > 0) {
        const std::size_t take = std::min(waiting, buffer_.size());
        stream_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(take));
        if (!stream_.good()) return false;
        matcher_.Feed(buffer_.data(), take);
        epoch_bytes_ += take;
        waiting -= take;
    }
    return stream_.good();
}

bool ArmLink::Drop() {
    for (int round = 0; round < 64; ++round) {
        const int waiting = stream_.BytesAvailable();
        if (waiting <= 0) break;
        const std::size_t take = std::min(static_cast<std::size_t>(waiting), buffer_.size());
        stream_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(take));
        if (!stream_.good()) return false;
        late_bytes_ += take;
        heard_ = Clock::now();
    }
    return stream_.good();
}

void ArmLink::Lose() noexcept {
    lost_ = true;
    zero_sent_ = false;
    heard_ = Clock::now();
    ++lost_lines_;
    late_bytes_ += epoch_bytes_;
    epoch_bytes_ = 0;
}

bool ArmLink::Settle(const Deadline& deadline, std::chrono::nanoseconds quiet) {
    heard_ = Clock::now();
    for (;;) {
        if (!Drop()) return false;
        const auto now = Clock::now();
        if (now - heard_ >= quiet) break;
        const auto until = Deadline::Earlier(deadline, Deadline::At(heard_ + quiet));
        if (deadline.Passed(now)) return false;
        if (stream_.AwaitBytes(1, until, false, spin_) == WaitResult::HungUp) return false;
    }
    matcher_.Reset();
    lost_ = false;
    epoch_bytes_ = 0;
    return true;
}

ArmLink::Result ArmLink::Exchange(const std::array<float, 3>& force, const Deadline& deadline, Reply& reply) {
    if (!stream_.good()) return Result::HungUp;

    unsigned char request[1 + 1 + 12];
    std::size_t length = 0;
    if (lost_) {
        // The arm gets one zero force; then nothing until the line is quiet.
        if (!zero_sent_) {
            const unsigned char zero[1 + 12] = {kForceRequest};
            zero_sent_ = stream_.WriteWhole(reinterpret_cast<const char*>(zero), sizeof zero, deadline, false);
            if (!zero_sent_ && errno != EAGAIN) return Result::HungUp;
            if (zero_sent_) last_sent_ = {0.0f, 0.0f, 0.0f};
            heard_ = Clock::now();
        }
        if (!Drop()) return Result::HungUp;
        if (Clock::now() - heard_ < quiet_) return Result::Failed;
        matcher_.Reset();
        lost_ = false;
        epoch_bytes_ = 0;
    }

    // Answers still on their way from failed ticks come first.
    if (!Take()) return Result::HungUp;
    if (matcher_.Judge() == ReplyMatcher::Verdict::Lost) {
        Lose();
        return Result::Failed;
    }
    const bool resync = matcher_.Outstanding() > 0;
    if (matcher_.Outstanding() + 2 > ReplyMatcher::kMaxOutstanding) {
        Lose();
        return Result::Failed;
    }
    const Marker* marker = nullptr;
    if (resync) {
        ++resyncs_;
        marker = &kMarkers[next_marker_++ % std::size(kMarkers)];
        request[length++] = marker->code;
    }
    request[length++] = kForceRequest;
    std::memcpy(request + length, force.data(), 12);
    length += 12;
    if (!stream_.WriteWhole(reinterpret_cast<const char*>(request), length, deadline, false)) {
        // Nothing of it reached the arm (a fragment is discarded).
        return errno == EAGAIN ? Result::Failed : Result::HungUp;
    }
    last_sent_ = force;
    if (marker != nullptr) matcher_.Sent(marker->code, marker->answer);
    matcher_.Sent(kStateReply, kStateReplySize, BelievableState);

    for (;;) {
        switch (matcher_.Judge()) {
            case ReplyMatcher::Verdict::Answered: {
                unsigned char answer[kStateReplySize];
                matcher_.CopyAnswer(answer);
                reply = Decode(answer);
                late_bytes_ += epoch_bytes_ - kStateReplySize;
                epoch_bytes_ = 0;
                matcher_.Forget();
                return Result::Ok;
            }
            case ReplyMatcher::Verdict::Failed:
                // Its answer will not come; the line is in step again once
                // nothing else is on its way.
                if (matcher_.Settled()) {
                    late_bytes_ += epoch_bytes_;
                    epoch_bytes_ = 0;
                    matcher_.Forget();
                }
                return Result::Failed;
            case ReplyMatcher::Verdict::Lost:
                Lose();
                return Result::Failed;
            case ReplyMatcher::Verdict::Pending:
            case ReplyMatcher::Verdict::Ambiguous:
                break;
        }
        switch (stream_.AwaitBytes(matcher_.NeededForAnswer(), deadline, false, spin_)) {
            case WaitResult::Ready:
                break;
            case WaitResult::TimedOut:
                // Its answer may still come: it stays in view.
                return Result::Failed;
            case WaitResult::HungUp:
                return Result::HungUp;
        }
        if (!Take()) return Result::HungUp;
    }
}

}  // namespace Korvo::Haptics
