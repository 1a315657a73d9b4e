#include "ArmPhysics.h"

#include <algorithm>
#include <cmath>

namespace Korvo::Sim {

namespace {

using Vec3 = ArmPhysics::Vec3;
using Kinematics::kRadPerDeg;

constexpr Vec3 kInertia = {2.0e-3, 1.0e-3, 1.0e-3};   // kg·m²
constexpr Vec3 kDamping = {0.02, 0.01, 0.01};         // N·m·s/rad
// Joint-space PD, critically damped together with the joints' own damping.
constexpr Vec3 kStiffness = {3.0, 1.5, 1.5};          // N·m/rad
const Vec3 kGain = {2.0 * std::sqrt(3.0 * 2.0e-3) - 0.02, 2.0 * std::sqrt(1.5 * 1.0e-3) - 0.01,
                    2.0 * std::sqrt(1.5 * 1.0e-3) - 0.01};
// Cartesian errors are mapped to joint errors by damped least squares, so the
// Cartesian loop converges like the joint loop in every direction instead of
// crawling along the arm's weak directions; the step per tick is bounded.
constexpr double kDlsLambda = 1.0e-3;  // m
constexpr double kMaxJointError = 0.35;  // rad

// Start pose: raw (0, -15, 45) degrees, inside the limits.
constexpr Vec3 kStartDeg = {0.0, -15.0, 45.0};

// Motor heating: first-order thermal model around the idle temperature.
constexpr double kIdleTemperature = 36.5;   // °C
constexpr double kWindingResistance = 0.5;  // Ω
constexpr double kThermalResistance = 2.0;  // K/W
constexpr double kThermalTime = 120.0;      // s

Vec3 Degrees(const Vec3& rad) noexcept { return {rad[0] / kRadPerDeg, rad[1] / kRadPerDeg, rad[2] / kRadPerDeg}; }

double ClampSigned(double v, double limit) noexcept { return std::clamp(v, -limit, limit); }

}  // namespace

ArmPhysics::ArmPhysics(double now, const HandOptions& hand)
    : q_{kStartDeg[0] * kRadPerDeg, kStartDeg[1] * kRadPerDeg, kStartDeg[2] * kRadPerDeg},
      sim_time_(now),
      last_request_(now),
      temperature_(kIdleTemperature),
      hand_(hand, Kinematics::Position(kStartDeg), now)
{
}

Vec3 ArmPhysics::ClampToLimits(const Vec3& q) noexcept
{
    const double base = std::clamp(q[0], -kBaseLimitDeg * kRadPerDeg, kBaseLimitDeg * kRadPerDeg);
    // Sum and spread are orthogonal directions in (q1, q2), so clamping each is
    // the orthogonal projection onto the allowed rectangle.
    const double sum = std::clamp(q[1] + q[2], kSumMinDeg * kRadPerDeg, kSumMaxDeg * kRadPerDeg);
    const double spread = std::clamp(q[2] - q[1], kSpreadMinDeg * kRadPerDeg, kSpreadMaxDeg * kRadPerDeg);
    return {base, 0.5 * (sum - spread), 0.5 * (sum + spread)};
}

void ArmPhysics::EnforceLimits()
{
    // An inelastic stop: a coordinate outside its range is put back on the
    // boundary and loses the velocity component that pushes further out. Sum and
    // spread are compared as computed, never rebuilt from q1 and q2, whose
    // rounding would make an inside pose look clamped.
    const auto stop = [](double value, double lo, double hi, double& rate) {
        const double clamped = std::clamp(value, lo, hi);
        if ((clamped > value && rate < 0.0) || (clamped < value && rate > 0.0)) {
            rate = 0.0;
        }
        return clamped;
    };
    q_[0] = stop(q_[0], -kBaseLimitDeg * kRadPerDeg, kBaseLimitDeg * kRadPerDeg, qd_[0]);

    const double sum = q_[1] + q_[2], spread = q_[2] - q_[1];
    double sum_rate = qd_[1] + qd_[2], spread_rate = qd_[2] - qd_[1];
    const double clamped_sum = stop(sum, kSumMinDeg * kRadPerDeg, kSumMaxDeg * kRadPerDeg, sum_rate);
    const double clamped_spread = stop(spread, kSpreadMinDeg * kRadPerDeg, kSpreadMaxDeg * kRadPerDeg, spread_rate);
    if (clamped_sum != sum || clamped_spread != spread) {
        q_[1] = 0.5 * (clamped_sum - clamped_spread);
        q_[2] = 0.5 * (clamped_sum + clamped_spread);
        qd_[1] = 0.5 * (sum_rate - spread_rate);
        qd_[2] = 0.5 * (sum_rate + spread_rate);
    }
}

Vec3 ArmPhysics::ControlTorque() const
{
    Vec3 tau{};
    switch (mode_) {
    case Mode::Idle:
        break;
    case Mode::JointTorque:
        tau = value_;
        break;
    case Mode::EndEffectorForce: {
        const Vec3 deg = Degrees(q_);
        const auto j = Kinematics::JacobianForward(deg, Kinematics::Position(deg));
        for (int c = 0; c < 3; ++c) {
            tau[c] = j[0][c] * value_[0] + j[1][c] * value_[1] + j[2][c] * value_[2];
        }
        break;
    }
    case Mode::JointTarget:
        for (int i = 0; i < 3; ++i) {
            tau[i] = kStiffness[i] * (value_[i] - q_[i]) - kGain[i] * qd_[i];
        }
        break;
    case Mode::EndEffectorTarget: {
        const Vec3 deg = Degrees(q_);
        const Vec3 x = Kinematics::Position(deg);
        const Vec3 e = {value_[0] - x[0], value_[1] - x[1], value_[2] - x[2]};
        const auto j = Kinematics::JacobianForward(deg, x);
        // dq = Jᵀ (J Jᵀ + λ² I)⁻¹ e
        double a[3][3];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                a[r][c] = j[r][0] * j[c][0] + j[r][1] * j[c][1] + j[r][2] * j[c][2];
            }
            a[r][r] += kDlsLambda * kDlsLambda;
        }
        const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
        const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
        const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
        const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
        const double inv[3][3] = {
            {c00 / det, (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det, (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det},
            {c01 / det, (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det, (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det},
            {c02 / det, (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det, (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det},
        };
        Vec3 w{};
        for (int r = 0; r < 3; ++r) {
            w[r] = inv[r][0] * e[0] + inv[r][1] * e[1] + inv[r][2] * e[2];
        }
        Vec3 target{};
        for (int c = 0; c < 3; ++c) {
            const double dq = j[0][c] * w[0] + j[1][c] * w[1] + j[2][c] * w[2];
            target[c] = q_[c] + ClampSigned(dq, kMaxJointError);
        }
        target = ClampToLimits(target);
        for (int i = 0; i < 3; ++i) {
            tau[i] = kStiffness[i] * (target[i] - q_[i]) - kGain[i] * qd_[i];
        }
        break;
    }
    }
    for (double& t : tau) {
        t = ClampSigned(t, kMaxTorque);
    }
    return tau;
}

void ArmPhysics::Step(const Vec3& torque)
{
    for (int i = 0; i < 3; ++i) {
        // Semi-implicit Euler with the damping taken implicitly: stable for any
        // damping at this step.
        qd_[i] = (qd_[i] + kStep * torque[i] / kInertia[i]) / (1.0 + kStep * kDamping[i] / kInertia[i]);
        q_[i] += kStep * qd_[i];
        if (std::abs(qd_[i]) < 1e-12) {
            qd_[i] = 0.0;  // a settled joint would otherwise decay into denormals, which are slow
        }
    }
    EnforceLimits();
}

Vec3 ArmPhysics::HandTorque() const
{
    if (!hand_.Holds(sim_time_)) {
        return {};
    }
    const Vec3 deg = Degrees(q_);
    const Vec3 x = Kinematics::Position(deg);
    const auto j = Kinematics::JacobianForward(deg, x);
    Vec3 v{};
    for (int r = 0; r < 3; ++r) {
        v[r] = j[r][0] * qd_[0] + j[r][1] * qd_[1] + j[r][2] * qd_[2];
    }
    const Vec3 f = hand_.Force(sim_time_, x, v);
    Vec3 tau{};
    for (int c = 0; c < 3; ++c) {
        tau[c] = j[0][c] * f[0] + j[1][c] * f[1] + j[2][c] * f[2];
    }
    return tau;
}

void ArmPhysics::Coast(double duration)
{
    if (duration <= 0.0 || (qd_[0] == 0.0 && qd_[1] == 0.0 && qd_[2] == 0.0)) {
        return;
    }
    // No torque: each joint's velocity decays exponentially; closed form.
    for (int i = 0; i < 3; ++i) {
        const double rate = kDamping[i] / kInertia[i];
        const double decay = std::exp(-rate * duration);
        q_[i] += qd_[i] * (1.0 - decay) / rate;
        qd_[i] *= decay;
        if (std::abs(qd_[i]) < 1e-9) {
            qd_[i] = 0.0;
        }
    }
    EnforceLimits();
}

void ArmPhysics::Heat(double duration, double power)
{
    if (duration <= 0.0) {
        return;
    }
    const double steady = kIdleTemperature + kThermalResistance * power;
    temperature_ = steady + (temperature_ - steady) * std::exp(-duration / kThermalTime);
}

double ArmPhysics::ElectricalPower() const noexcept
{
    double power = 0.0;
    for (double t : torque_) {
        const double current = t / kTorqueConstant;
        power += current * current * kWindingResistance;
    }
    return power;
}

void ArmPhysics::AdvanceTo(double now)
{
    if (now <= sim_time_) {
        return;
    }
    const double expiry = last_request_ + kWatchdog;
    const double active_end = mode_ == Mode::Idle ? sim_time_ : std::clamp(expiry, sim_time_, now);
    Heat(active_end - sim_time_, ElectricalPower());
    Heat(now - active_end, 0.0);

    while ((mode_ != Mode::Idle || hand_.Holds(sim_time_)) && sim_time_ + kStep <= now) {
        if (mode_ != Mode::Idle && sim_time_ >= expiry) {
            mode_ = Mode::Idle;
            torque_ = {};
            continue;
        }
        if (mode_ != Mode::Idle && tick_++ % 2 == 0) {  // the controller runs at half the step rate
            torque_ = ControlTorque();
        }
        const Vec3 hand = HandTorque();
        Step({torque_[0] + hand[0], torque_[1] + hand[1], torque_[2] + hand[2]});
        sim_time_ += kStep;
    }
    if (mode_ == Mode::Idle && !hand_.Holds(sim_time_)) {
        Coast(now - sim_time_);
        sim_time_ = now;
    }
}

void ArmPhysics::Touch(double now)
{
    AdvanceTo(now);
    last_request_ = now;
}

void ArmPhysics::Command(Mode mode, const Vec3& value, double now)
{
    AdvanceTo(now);
    last_request_ = now;
    bool finite = true;
    for (double v : value) {
        finite = finite && std::isfinite(v);
    }
    // A command with NaN or infinity in it would poison the model for good; the
    // arm treats it as "no command" instead.
    mode_ = finite ? mode : Mode::Idle;
    value_ = value;
    if (mode_ == Mode::JointTarget) {
        value_ = ClampToLimits({value[0] * kRadPerDeg, value[1] * kRadPerDeg, value[2] * kRadPerDeg});
    }
    if (mode_ == Mode::Idle) {
        value_ = {};
    }
    torque_ = ControlTorque();
    tick_ = 1;  // the torque just computed holds for this controller period
}

Vec3 ArmPhysics::MotorTorques() const noexcept { return torque_; }

}  // namespace Korvo::Sim
