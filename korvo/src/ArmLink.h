#pragma once
// One force exchange per tick with the arm, on its stream, under one deadline,
// with certainty about which bytes answer it (see ReplyMatcher).
//
// In step, a tick sends its force request and takes the state reply. After a
// tick that failed, the next one sends a query without effect on the arm (a
// marker: power status, temperature, currents or base orientation, in turn)
// ahead of its force, so that the answers that are still on their way can be
// told apart from its own; everything read stays in view until the line is
// in step again, and a reply is taken only when the matcher is certain of it.
// When bytes come that no rule of the line explains, or too many requests are
// unsettled, the line is lost: the link sends one zero force without waiting
// for its answer, then sends nothing until the line has been silent for the
// quiet time (no answer comes later than that), and starts in step again.
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
#include "ReplyMatcher.h"

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

    // How long the arm may take to answer at most: an answer that has not
    // begun by then never comes. A lost line is in step again after this
    // long without a byte.
    void SetQuietTime(std::chrono::nanoseconds quiet) noexcept { quiet_ = quiet; }

    // Sends `force` (0x2A and three floats) and takes the state reply by the
    // deadline.
    Result Exchange(const std::array<float, 3>& force, const HardwareAPI::IO::Deadline& deadline, Reply& reply);

    // Reads and drops whatever comes until the line has been silent for
    // `quiet`, then counts it in step; false when that did not happen by the
    // deadline (or the port hung up). For a line whose past is unknown (a
    // borrowed arm) and for handing one back clean.
    bool Settle(const HardwareAPI::IO::Deadline& deadline, std::chrono::nanoseconds quiet);

    // The force of the latest request that reached the arm.
    const std::array<float, 3>& LastSent() const noexcept { return last_sent_; }

    bool InStep() const noexcept { return !lost_ && matcher_.Outstanding() == 0 && matcher_.Settled(); }

    std::uint64_t Resyncs() const noexcept { return resyncs_; }
    std::uint64_t LateBytes() const noexcept { return late_bytes_; }
    std::uint64_t LostLines() const noexcept { return lost_lines_; }

    // A reply's values are believable: finite, and within a few metres and
    // tens of metres per second of anything an arm does.
    static bool Plausible(const Reply& reply) noexcept;

private:
    using Clock = std::chrono::steady_clock;

    // Reads what is waiting and shows it to the matcher; false when the
    // stream failed.
    bool Take();
    // Reads and drops what is waiting; false when the stream failed.
    bool Drop();
    void Lose() noexcept;

    HardwareAPI::IO::SerialStream& stream_;
    ReplyMatcher matcher_;
    std::chrono::nanoseconds spin_ = HardwareAPI::IO::kSpinBeforeSleep;
    std::chrono::nanoseconds quiet_ = std::chrono::milliseconds(20);
    bool lost_ = false;
    bool zero_sent_ = false;       // while lost: the one blind zero force has gone out
    Clock::time_point heard_{};    // while lost: the last byte (or the loss)
    std::size_t next_marker_ = 0;
    std::array<float, 3> last_sent_{};
    std::uint64_t epoch_bytes_ = 0;  // read since the line was last in step
    std::array<unsigned char, 1024> buffer_{};
    std::uint64_t resyncs_ = 0;
    std::uint64_t late_bytes_ = 0;
    std::uint64_t lost_lines_ = 0;
};

}  // namespace Korvo::Haptics
