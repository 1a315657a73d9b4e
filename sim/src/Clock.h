// Monotonic time as seconds since the simulator started; the device models only
// ever need differences, and doubles keep their arithmetic short.
#pragma once

#include <chrono>

namespace Korvo::Sim {

using SteadyClock = std::chrono::steady_clock;

class SimClock {
public:
    SimClock() noexcept : origin_(SteadyClock::now()) {}

    [[nodiscard]] double Seconds(SteadyClock::time_point t) const noexcept
    {
        return std::chrono::duration<double>(t - origin_).count();
    }
    [[nodiscard]] double Now() const noexcept { return Seconds(SteadyClock::now()); }
    [[nodiscard]] SteadyClock::time_point At(double s) const noexcept
    {
        return origin_ + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(s));
    }

private:
    SteadyClock::time_point origin_;
};

}  // namespace Korvo::Sim
