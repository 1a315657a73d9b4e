// Monotonic time as seconds since the simulator started; the device models only
// ever need differences, and doubles keep their arithmetic short.
#pragma once

#include <chrono>

namespace korvo::sim {

using SteadyClock = std::chrono::steady_clock;

class SimClock {
public:
    SimClock() noexcept : origin_(SteadyClock::now()) {}

    [[nodiscard]] double seconds(SteadyClock::time_point t) const noexcept
    {
        return std::chrono::duration<double>(t - origin_).count();
    }
    [[nodiscard]] double now() const noexcept { return seconds(SteadyClock::now()); }
    [[nodiscard]] SteadyClock::time_point at(double s) const noexcept
    {
        return origin_ + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(s));
    }

private:
    SteadyClock::time_point origin_;
};

}  // namespace korvo::sim
