// What the simulated hand does with the handle: a slow turn, a trigger being
// squeezed and released, buttons pressed now and then, a battery running down.
#pragma once

#include <array>
#include <cstdint>

#include "Options.h"

namespace Korvo::Sim {

struct HandleSnapshot {
    std::array<float, 4> quaternion{};  // unit quaternion, components 0..3 = w, x, y, z
    std::uint8_t error_flag = 0;
    std::uint8_t hall_level = 0;  // 0..31
    std::uint8_t buttons = 0;     // 0..7
    std::uint8_t battery = 0;     // volts = 3.0 + 0.005 * battery
};

class HandleMotion {
public:
    static constexpr double kTurnRate = 0.5;        // rad/s about a fixed axis
    static constexpr double kTriggerPeriod = 2.5;   // s per squeeze and release

    HandleMotion(const HandleOptions& options, std::uint64_t seed, double start);

    // Times must not go backwards between calls.
    [[nodiscard]] HandleSnapshot At(double now);

private:
    double start_;
    double battery_;
    double drain_per_second_;
    double button_period_;  // s between button changes
    bool toggle_;
    std::uint64_t seed_;
    std::int64_t button_period_index_ = 0;
    std::uint8_t buttons_ = 0;
};

}  // namespace Korvo::Sim
