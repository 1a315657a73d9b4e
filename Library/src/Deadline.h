#pragma once
// Deadline: the end of a wait, on the monotonic clock.
//
// Time limits arrive as float seconds; zero, negative, NaN and limits too
// large to represent mean "no limit". The limit is kept as a clock duration,
// not as a float count of nanoseconds since boot: a float of the monotonic
// clock has only 24 bits of mantissa, so on a machine that has been up for
// days it would round short limits by tenths of a second or more.

#include <chrono>

namespace Korvo::HardwareAPI::Devices {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(float seconds, Clock::time_point start = Clock::now());

    bool Unlimited() const noexcept { return unlimited_; }

    // True once `now` is past the end of the wait.
    bool Passed(Clock::time_point now) const noexcept { return !unlimited_ && now > end_; }
    bool Passed() const { return !unlimited_ && Clock::now() > end_; }

    // Whether `seconds` is a limit at all (positive, finite, representable).
    static bool IsLimit(float seconds) noexcept;

private:
    bool unlimited_;
    Clock::time_point end_{};
};

}  // namespace Korvo::HardwareAPI::Devices
