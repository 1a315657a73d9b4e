// Rigid-body model of the arm's three joints: inertia, viscous damping, joint
// limits and the controller behind each command, integrated lazily up to the
// time of each request.
#pragma once

#include <array>

#include "Hand.h"
#include "Kinematics.h"

namespace Korvo::Sim {

class ArmPhysics {
public:
    using Vec3 = Kinematics::Vec3;

    enum class Mode {
        Idle,                // no torque
        JointTorque,         // N·m on each joint
        EndEffectorForce,    // N at the end effector, applied as Jᵀ·F
        JointTarget,         // degrees; joint-space PD
        EndEffectorTarget,   // metres; Cartesian PD
    };

    // Integration step and the controller's own period.
    static constexpr double kStep = 0.5e-3;
    // A command lapses when no request has come for this long.
    static constexpr double kWatchdog = 0.100;
    // Catching up after a pause costs at most the watchdog's 200 steps, a
    // request therefore microseconds: past the watchdog the arm coasts, and
    // coasting is done in closed form. No model time is ever skipped, so a
    // command acts for exactly as long as it is in force.
    static constexpr double kMaxTorque = 0.5;       // N·m per joint
    static constexpr double kTorqueConstant = 0.1;  // N·m/A

    explicit ArmPhysics(double now = 0.0, const HandOptions& hand = {});

    // Runs the model up to `now`, then holds `mode`/`value` from `now` on.
    void Command(Mode mode, const Vec3& value, double now);
    // Runs the model up to `now` and restarts the watchdog (any request does).
    // While a hand holds the arm, the model runs in steps whatever the
    // commands, so that catching up after a pause costs a step per 0.5 ms.
    void Touch(double now);

    // Joint angles and velocities in radians, radians/s.
    [[nodiscard]] const Vec3& Angles() const noexcept { return q_; }
    [[nodiscard]] const Vec3& Velocities() const noexcept { return qd_; }
    // Torque the motors apply now, after the torque limit; zero once lapsed.
    [[nodiscard]] Vec3 MotorTorques() const noexcept;
    [[nodiscard]] double Temperature() const noexcept { return temperature_; }
    [[nodiscard]] Mode CurrentMode() const noexcept { return mode_; }

    // Joint limits, in degrees: the base joint turns within ±75°; the two
    // linkage joints keep (r1 + r2) within [15°, 120°] and (r2 - r1) within
    // [40°, 150°], away from the folded linkage (r1 = r2) and from the line
    // r1 + r2 = 0 where the end effector meets the base axis and the position
    // loses a direction.
    static constexpr double kBaseLimitDeg = 75.0;
    static constexpr double kSumMinDeg = 15.0, kSumMaxDeg = 120.0;
    static constexpr double kSpreadMinDeg = 40.0, kSpreadMaxDeg = 150.0;

    // Nearest pose within the limits (radians in, radians out).
    [[nodiscard]] static Vec3 ClampToLimits(const Vec3& q) noexcept;

private:
    void AdvanceTo(double now);
    void Step(const Vec3& torque);
    // The hand's force on the end effector, as joint torques (zero when none holds it).
    [[nodiscard]] Vec3 HandTorque() const;
    void Coast(double duration);
    void Heat(double duration, double power);
    [[nodiscard]] double ElectricalPower() const noexcept;
    [[nodiscard]] Vec3 ControlTorque() const;
    void EnforceLimits();

    Vec3 q_{};
    Vec3 qd_{};
    Mode mode_ = Mode::Idle;
    Vec3 value_{};          // command argument, in SI units (targets in radians/metres)
    Vec3 torque_{};         // held between controller ticks
    double sim_time_;       // the state is valid at this time
    double last_request_;   // watchdog reference
    long tick_ = 0;
    double temperature_;
    Hand hand_;
};

}  // namespace Korvo::Sim
