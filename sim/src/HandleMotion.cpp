#include "HandleMotion.h"

#include <algorithm>
#include <cmath>

#include "Rng.h"

namespace Korvo::Sim {

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

HandleMotion::HandleMotion(const HandleOptions& options, std::uint64_t seed, double start)
    : start_(start),
      battery_(options.battery),
      drain_per_second_(options.drain_per_second),
      button_period_(1.0 / options.buttons_hz),
      toggle_(options.buttons_toggle),
      seed_(seed)
{
}

HandleSnapshot HandleMotion::At(double now)
{
    const double t = std::max(0.0, now - start_);
    HandleSnapshot s;

    // Fixed axis (1, 2, 3) / |(1, 2, 3)|.
    const double norm = std::sqrt(14.0);
    const double half = 0.5 * kTurnRate * t;
    const double sh = std::sin(half);
    s.quaternion = {static_cast<float>(std::cos(half)), static_cast<float>(sh * 1.0 / norm),
                    static_cast<float>(sh * 2.0 / norm), static_cast<float>(sh * 3.0 / norm)};

    const double squeeze = 0.5 * (1.0 - std::cos(kTwoPi * t / kTriggerPeriod));
    s.hall_level = static_cast<std::uint8_t>(std::lround(31.0 * squeeze));

    // Each period the buttons move to a different random combination.
    const auto period = static_cast<std::int64_t>(t / button_period_);
    while (button_period_index_ < period) {
        ++button_period_index_;
        if (toggle_) {
            buttons_ ^= 0x1;
            continue;
        }
        const auto step = 1 + Rng::Mix(seed_, static_cast<std::uint64_t>(button_period_index_)) % 7;
        buttons_ = static_cast<std::uint8_t>((buttons_ + step) & 0x7);
    }
    s.buttons = buttons_;

    const double battery = battery_ - drain_per_second_ * t;
    s.battery = static_cast<std::uint8_t>(std::clamp(std::lround(battery), 0L, 255L));
    return s;
}

}  // namespace Korvo::Sim
