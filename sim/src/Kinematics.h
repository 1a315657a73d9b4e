// Forward kinematics of the arm: the closed five-bar linkage whose plane turns
// about the base, as the host library computes it from the raw joint angles.
// The simulator reports exactly this function of the angles it reports, so a
// host that computes the position itself agrees with the arm.
#pragma once

#include <array>

namespace korvo::sim::kinematics {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // row-major

// The truncated constant the host uses for degree conversions, on purpose not M_PI.
inline constexpr double kHostPi = static_cast<double>(3.141592f);
inline constexpr double kRadPerDeg = 3.14159265358979323846 / 180.0;

// Raw joint angles in degrees -> end-effector position (length unit of the
// linkage lengths, i.e. metres).
[[nodiscard]] Vec3 position(const Vec3& rawDegrees) noexcept;

// Partial derivatives of position() with respect to the joint angles in
// radians: column j is d(position)/d(joint j).
[[nodiscard]] Mat3 jacobian(const Vec3& rawDegrees) noexcept;

// Cheaper one-sided form, for the controller: `atPose` must be
// position(rawDegrees). Accurate to ~1e-4 relative.
[[nodiscard]] Mat3 jacobianForward(const Vec3& rawDegrees, const Vec3& atPose) noexcept;

}  // namespace korvo::sim::kinematics
