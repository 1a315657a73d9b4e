// The operator's hand on the arm: a spring and damper from the end effector
// to a point that moves along a path, a stand-in for a person who moves the
// arm (the leader of a teleoperation pair, say). Its force acts on the
// joints through the Jacobian's transpose, beside the motors and outside
// their torque limit, whether or not the host sends anything.
#pragma once

#include <array>

namespace Korvo::Sim {

struct HandOptions {
    bool enabled = false;
    // The path, relative to where the arm starts: a sin(w t) + b (1 - cos(w t)),
    // w = 2 pi hz, t counted from `start_s` (the hand holds the start before).
    std::array<double, 3> a{};
    std::array<double, 3> b{};
    double hz = 0.5;
    double stiffness = 50.0;  // N/m
    double damping = 1.0;     // N s/m
    double start_s = 0.0;     // s after the simulator starts
    double release_s = 0.0;   // s after it starts, the hand lets go; 0: never
};

class Hand {
public:
    using Vec3 = std::array<double, 3>;

    Hand(const HandOptions& options, const Vec3& origin, double started) noexcept
        : options_(options), origin_(origin), started_(started) {}

    // Whether the hand holds the arm at `now` (simulator time).
    [[nodiscard]] bool Holds(double now) const noexcept;
    // Where the hand's point is at `now`.
    [[nodiscard]] Vec3 Point(double now) const noexcept;
    // The hand's force on the end effector at `position` moving at `velocity`.
    [[nodiscard]] Vec3 Force(double now, const Vec3& position, const Vec3& velocity) const noexcept;

private:
    HandOptions options_;
    Vec3 origin_;
    double started_;
};

}  // namespace Korvo::Sim
