#pragma once
// Deadline: the end of a wait, on the monotonic clock.
//
// Time limits arrive as float seconds. Zero, negative, NaN and infinite
// limits, and limits longer than a century, mean "no limit": the wait lasts
// until what it waits for happens (or it is interrupted, see Wait.h). The
// limit is kept as a clock duration, not as a float count of nanoseconds since
// boot: a float of the monotonic clock has only 24 bits of mantissa, so on a
// machine that has been up for days it would round short limits by tenths of
// a second or more.

#include <algorithm>
#include <chrono>

namespace Korvo::HardwareAPI::IO {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(float seconds, Clock::time_point start = Clock::now());

    // A deadline at a given instant of the monotonic clock.
    static Deadline At(Clock::time_point end) noexcept { return Deadline(end); }
    static Deadline Never() noexcept { return Deadline(); }

    bool Unlimited() const noexcept { return unlimited_; }
    Clock::time_point End() const noexcept { return unlimited_ ? Clock::time_point::max() : end_; }

    // True once `now` is past the end of the wait.
    bool Passed(Clock::time_point now) const noexcept { return !unlimited_ && now > end_; }
    bool Passed() const { return !unlimited_ && Clock::now() > end_; }

    // The earlier of two deadlines.
    static Deadline Earlier(const Deadline& a, const Deadline& b) noexcept {
        if (a.unlimited_) return b;
        if (b.unlimited_) return a;
        return Deadline(std::min(a.end_, b.end_));
    }

    // Whether `seconds` is a limit at all (positive, finite, representable).
    static bool IsLimit(float seconds) noexcept;

private:
    Deadline() noexcept : unlimited_(true) {}
    explicit Deadline(Clock::time_point end) noexcept : unlimited_(false), end_(end) {}

    bool unlimited_;
    Clock::time_point end_{};
};

}  // namespace Korvo::HardwareAPI::IO
