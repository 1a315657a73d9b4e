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
using HardwareAPI::Devices::Device;

constexpr unsigned char kForceRequest = Arvena::kEndEffectorForce;
constexpr unsigned char kStateReply = Arvena::kEndEffectorState;
// Markers: queries that have no effect on the arm and whose replies differ
// from the state reply and from each other (code, and whole reply length).
// A resynchronising tick that fails leaves its marker's answer in flight,
// and the next one must not take that answer for its own: it uses a kind of
// marker that is not in flight.
struct Marker {
    unsigned char code;
    std::size_t reply;
};
constexpr Marker kMarkers[] = {
    {Arvena::kPowerStatus, 2}, {Arvena::kTemperature, 5}, {Arvena::kMotorCurrents, 13}, {Arvena::kOrientation, 17}};
constexpr std::size_t kStateReplySize = 25;
constexpr unsigned char kNotificationA = Device::kNotificationA;
constexpr unsigned char kNotificationB = Device::kNotificationB;

ArmLink::Reply Decode(const unsigned char* at) {
    ArmLink::Reply reply;
    std::memcpy(reply.position.data(), at + 1, 12);
    std::memcpy(reply.velocity.data(), at + 13, 12);
    return reply;
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
    // The wait that just ended has counted them already.
    const std::size_t known = stream_.KnownAvailable();
    const int waiting = known > 0 ? static_cast<int>(known) : stream_.BytesAvailable();
    if (waiting <= 0) return stream_.good();
    if (have_ == buffer_.size()) {
        // Only the tail can hold what we wait for: keep its last half.
        const std::size_t keep = buffer_.size() / 2;
        late_bytes_ += have_ - keep;
        std::memmove(buffer_.data(), buffer_.data() + have_ - keep, keep);
        have_ = keep;
    }
    const std::size_t take = std::min(static_cast<std::size_t>(waiting), buffer_.size() - have_);
    stream_.read(reinterpret_cast<char*>(buffer_.data() + have_), static_cast<std::streamsize>(take));
    if (!stream_.good()) return false;
    if (last_marker_ >= 0) {
        // Kept only while a marker's answer is outstanding: a line in step
        // (every tick but a stall's) pays nothing for it.
        for (std::size_t i = 0; i < take; ++i) recent_[(since_marker_ + i) % recent_.size()] = buffer_[have_ + i];
        since_marker_ += take;
    }
    have_ += take;
    return true;
}

bool ArmLink::AnsweredAtEnd(Reply* last) const noexcept {
    if (last_marker_ < 0) return false;
    const Marker& marker = kMarkers[last_marker_];
    const std::size_t tail = marker.reply + kStateReplySize * (blind_after_ + 1);
    if (tail > recent_.size() || since_marker_ < tail || Recent(since_marker_ - tail) != marker.code) return false;
    Reply state;
    for (std::uint64_t at = since_marker_ - tail + marker.reply; at < since_marker_; at += kStateReplySize) {
        unsigned char bytes[kStateReplySize];
        for (std::size_t i = 0; i < kStateReplySize; ++i) bytes[i] = Recent(at + i);
        if (bytes[0] != kStateReply) return false;
        state = Decode(bytes);
        if (!Plausible(state)) return false;
    }
    if (last != nullptr) *last = state;
    return true;
}

void ArmLink::InStepAgain() noexcept {
    // Whatever was in flight came before the answer just seen, or never will.
    marker_sent_.fill(Clock::time_point{});
    last_marker_ = -1;
    blind_after_ = 0;
}

bool ArmLink::DrainWaiting() {
    have_ = 0;
    for (int round = 0; round < 64 && stream_.BytesAvailable() > 0; ++round) {
        if (!Take()) break;
    }
    const bool answered = AnsweredAtEnd(nullptr);
    late_bytes_ += have_;
    have_ = 0;
    if (answered) InStepAgain();
    return answered;
}

ArmLink::Result ArmLink::Exchange(const std::array<float, 3>& force, const Deadline& deadline, Reply& reply) {
    if (!stream_.good()) return Result::HungUp;
    // In step, nothing can be waiting that looks like this request's answer
    // (every earlier request has had its own, and anything more made the
    // line out of step): the reply's checks below catch the rest.
    bool resync = !in_sync_;
    const Marker* marker = nullptr;
    int marker_kind = -1;
    if (resync) {
        ++resyncs_;
        if (DrainWaiting()) {
            // A stall that outlasted every marker ends here, not when they
            // are given up.
            resync = false;
        } else {
            const auto now = Clock::now();
            for (std::size_t k = 0; k < std::size(kMarkers) && marker == nullptr; ++k) {
                if (marker_sent_[k] == Clock::time_point{} || now - marker_sent_[k] > marker_give_up_) {
                    marker = &kMarkers[k];
                    marker_kind = static_cast<int>(k);
                    marker_sent_[k] = now;
                }
            }
        }
    }
    in_sync_ = false;  // until this exchange has gone right

    unsigned char request[1 + 1 + 12];
    std::size_t length = 0;
    if (marker != nullptr) request[length++] = marker->code;
    request[length++] = kForceRequest;
    std::memcpy(request + length, force.data(), 12);
    length += 12;
    if (!stream_.WriteWhole(reinterpret_cast<const char*>(request), length, deadline, false)) {
        return errno == EAGAIN ? Result::Failed : Result::HungUp;
    }
    if (marker != nullptr) {
        last_marker_ = marker_kind;
        blind_after_ = 0;
        since_marker_ = 0;
    } else if (resync && last_marker_ >= 0) {
        ++blind_after_;
    }
    // Every kind of marker in flight (a line that has been failing for a
    // while): no reply could be told apart now. The force has gone out
    // all the same, so that the arm hears the envelope's zero force; its
    // reply is waited for by none.
    if (resync && marker == nullptr) return Result::Failed;

    have_ = 0;
    for (;;) {
        std::size_t needed = kStateReplySize;
        if (resync) {
            // Everything before the marker's answer is late; ours is what
            // follows it, at the very end (nothing else has been asked).
            if (AnsweredAtEnd(&reply)) {
                const std::size_t tail = marker->reply + kStateReplySize;
                late_bytes_ += have_ > tail ? have_ - tail : 0;
                in_sync_ = true;
                InStepAgain();
                return Result::Ok;
            }
            needed = have_ + 1;
        } else {
            // Notifications may come first.
            while (have_ >= 3 && (buffer_[0] == kNotificationA || buffer_[0] == kNotificationB) &&
                   have_ >= 3u + buffer_[2]) {
                const std::size_t size = 3u + buffer_[2];
                std::memmove(buffer_.data(), buffer_.data() + size, have_ - size);
                have_ -= size;
            }
            if (have_ > 0 && (buffer_[0] == kNotificationA || buffer_[0] == kNotificationB)) {
                needed = have_ < 3 ? 3 : 3u + buffer_[2];
            } else if (have_ > 0 && buffer_[0] != kStateReply) {
                late_bytes_ += have_;
                return Result::Failed;
            } else if (have_ >= kStateReplySize) {
                reply = Decode(buffer_.data());
                if (!Plausible(reply)) {
                    late_bytes_ += have_;
                    return Result::Failed;
                }
                // More than the reply: something this tick did not ask for;
                // the next tick resynchronises.
                in_sync_ = have_ == kStateReplySize;
                if (!in_sync_) late_bytes_ += have_ - kStateReplySize;
                return Result::Ok;
            }
        }
        switch (stream_.AwaitBytes(needed > have_ ? needed - have_ : 1, deadline, false, spin_)) {
            case WaitResult::Ready:
                break;
            case WaitResult::TimedOut:
                return Result::Failed;
            case WaitResult::HungUp:
                return Result::HungUp;
        }
        if (!Take()) return Result::HungUp;
    }
}

}  // namespace Korvo::Haptics
