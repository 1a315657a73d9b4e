// What the simulated hand does with the handle: a slow turn, a trigger being
// squeezed and released, buttons pressed now and then, a battery running down.
#pragma once

#include <array>
#include <cstdint>

#include "Options.h"

namespace korvo::sim {

struct HandleSnapshot {
    std::array<float, 4> quaternion{};  // unit quaternion, components 0..3 = w, x, y, z
    std::uint8_t errorFlag = 0;
    std::uint8_t hallLevel = 0;  // 0..31
    std::uint8_t buttons = 0;    // 0..7
    std::uint8_t battery = 0;    // volts = 3.0 + 0.005 * battery
};

class HandleMotion {
public:
    static constexpr double kTurnRate = 0.5;        // rad/s about a fixed axis
    static constexpr double kTriggerPeriod = 2.5;   // s per squeeze and release

    HandleMotion(const HandleOptions& options, std::uint64_t seed, double start);

    // Times must not go backwards between calls.
    [[nodiscard]] HandleSnapshot at(double now);

private:
    double start_;
    double battery_;
    double drainPerSecond_;
    double buttonPeriod_;  // s between button changes
    bool toggle_;
    std::uint64_t seed_;
    std::int64_t buttonPeriodIndex_ = 0;
    std::uint8_t buttons_ = 0;
};

}  // namespace korvo::sim
