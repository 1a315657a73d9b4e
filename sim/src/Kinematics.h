// Forward kinematics of the arm: the closed five-bar linkage whose plane turns
// about the base, as the host library computes it from the raw joint angles.
// The simulator reports exactly this function of the angles it reports, so a
// host that computes the position itself agrees with the arm.
#pragma once

#include <array>

namespace Korvo::Sim::Kinematics {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // row-major

// The truncated constant the host uses for degree conversions, on purpose not M_PI.
inline constexpr double kHostPi = static_cast<double>(3.141592f);
inline constexpr double kRadPerDeg = 3.14159265358979323846 / 180.0;

// Raw joint angles in degrees -> end-effector position (length unit of the
// linkage lengths, i.e. metres).
[[nodiscard]] Vec3 Position(const Vec3& raw_degrees) noexcept;

// Partial derivatives of Position() with respect to the joint angles in
// radians: column j is d(position)/d(joint j).
[[nodiscard]] Mat3 Jacobian(const Vec3& raw_degrees) noexcept;

// Cheaper one-sided form, for the controller: `at_pose` must be
// Position(raw_degrees). Accurate to ~1e-4 relative.
[[nodiscard]] Mat3 JacobianForward(const Vec3& raw_degrees, const Vec3& at_pose) noexcept;

}  // namespace Korvo::Sim::Kinematics
