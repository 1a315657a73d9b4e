#pragma once
// One force exchange per tick with the arm, on its stream, under one deadline,
// resynchronising after any failure (see Servo.h, "The exchange").
//
// Used by the servo thread only: it logs nothing, allocates nothing, and
// waits without the interrupt check (a servo loop is stopped by its owner,
// not by signals).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Korvo/HardwareAPI/IO/Deadline.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"

namespace Korvo::Haptics {

class ArmLink {
public:
    struct Reply {
        std::array<float, 3> position{};
        std::array<float, 3> velocity{};
    };
    enum class Result { Ok, Failed, HungUp };

    explicit ArmLink(HardwareAPI::IO::SerialStream& stream) : stream_(stream) {}

    // How long a wait looks at the port before it sleeps (see IO/Wait.h).
    void SetSpin(std::chrono::nanoseconds spin) noexcept { spin_ = spin; }

    // Sends `force` (0x2A and three floats) and takes the state reply by the
    // deadline. After a failure, the next call resynchronises first.
    Result Exchange(const std::array<float, 3>& force, const HardwareAPI::IO::Deadline& deadline, Reply& reply);

    // Makes the next exchange resynchronise whatever happened before.
    void Desynchronise() noexcept { in_sync_ = false; }

    std::uint64_t Resyncs() const noexcept { return resyncs_; }
    std::uint64_t LateBytes() const noexcept { return late_bytes_; }

    // How long an unanswered marker may still be answered: ten exchange
    // deadlines, and at least 20 ms. A device later than that is broken, and
    // meanwhile (all four kinds in flight) the loop can only send blind.
    void SetMarkerGiveUp(std::chrono::nanoseconds after) noexcept { marker_give_up_ = after; }

    // A reply's values are believable: finite, and within a few metres and
    // tens of metres per second of anything an arm does.
    static bool Plausible(const Reply& reply) noexcept;

private:
    bool Take();  // reads what is waiting into the buffer; false when the stream failed
    // Discards what is waiting, counting it as late. True when it completed
    // the answers to the latest marker (AnsweredAtEnd): the line is in step
    // again without a new marker.
    bool DrainWaiting();
    // True when the bytes read since the latest marker went out end with the
    // answer to it and to every force sent since (a plausible state reply
    // each); the last of those replies into `last` when given.
    bool AnsweredAtEnd(Reply* last) const noexcept;
    void InStepAgain() noexcept;
    unsigned char Recent(std::uint64_t at) const noexcept { return recent_[at % recent_.size()]; }

    using Clock = std::chrono::steady_clock;

    HardwareAPI::IO::SerialStream& stream_;
    bool in_sync_ = false;
    std::chrono::nanoseconds spin_ = HardwareAPI::IO::kSpinBeforeSleep;
    std::chrono::nanoseconds marker_give_up_ = std::chrono::milliseconds(20);
    // When each kind of marker was last sent without its tick seeing the
    // answer; such an answer may still come, so that kind is not used again
    // until it has (a later resynchronisation succeeded) or is given up.
    std::array<Clock::time_point, 4> marker_sent_{};
    // The latest marker sent, while its answer has not been seen (-1: none),
    // and how many forces went out blind after it.
    int last_marker_ = -1;
    std::size_t blind_after_ = 0;
    // The newest bytes read since that marker went out, whoever read them
    // (the answers that end a stall may come over several ticks), and how
    // many: enough for the marker's answer and those of the blind forces of
    // a stall of tens of ticks.
    std::array<unsigned char, 4096> recent_{};
    std::uint64_t since_marker_ = 0;
    std::array<unsigned char, 1024> buffer_{};
    std::size_t have_ = 0;
    std::uint64_t resyncs_ = 0;
    std::uint64_t late_bytes_ = 0;
};

}  // namespace Korvo::Haptics
