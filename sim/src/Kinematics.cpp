#include "Kinematics.h"

#include <cmath>

namespace Korvo::Sim::Kinematics {

namespace {

constexpr double kInner1 = 0.14;  // L1
constexpr double kOuter1 = 0.14;  // M1
constexpr double kInner2 = 0.165;  // L2
constexpr double kOuter2 = 0.165;  // M2
constexpr double kExtension = 0.0765;
constexpr double kRadialOffset = -0.052;
constexpr double kVerticalOffset = 0.18645;
constexpr double kFoldedLimit = 1e-6;
// The base orientation is the host's fixed quaternion, used unnormalised.
constexpr double kQx = 0.0;
constexpr double kQy = static_cast<double>(0.7071f);
constexpr double kQz = 0.0;
constexpr double kQw = static_cast<double>(0.7071f);

}  // namespace

Vec3 Position(const Vec3& raw) noexcept
{
    const double t0 = (raw[0] + 90.0) * kHostPi / 180.0;
    const double t1 = (-raw[1] - 180.0) * kHostPi / 180.0;
    const double t2 = (-raw[2] - 180.0) * kHostPi / 180.0;
    const double c1 = std::cos(t1), s1 = std::sin(t1);
    const double c2 = std::cos(t2), s2 = std::sin(t2);

    // Separation of the two elbows.
    const double x = kInner1 * c1 - kOuter1 * c2;
    const double y = kInner1 * s1 - kOuter1 * s2;
    const double psi = std::atan2(y, x);
    const double c = std::sqrt(x * x + y * y);

    double sigma = t1;  // folded onto itself: the distal links lie along the first
    if (c >= kFoldedLimit) {
        sigma = psi + kHostPi
            - std::acos((kInner2 * kInner2 + c * c - kOuter2 * kOuter2) / (2.0 * c * kInner2));
    }
    const double u = kInner1 * c1 + kInner2 * std::cos(sigma);
    const double v = kInner1 * s1 + kInner2 * std::sin(sigma);

    const double radial = kRadialOffset + kExtension;
    const double ct0 = std::cos(t0), st0 = std::sin(t0);
    const double bx = radial * ct0 + v * st0;
    const double by = radial * st0 - v * ct0;
    const double bz = -(u + kVerticalOffset);

    // Rotate (Z, Y, X), in that order, by the base orientation.
    const double m00 = 1 - 2 * (kQy * kQy + kQz * kQz), m01 = 2 * (kQx * kQy - kQw * kQz),
                 m02 = 2 * (kQx * kQz + kQw * kQy);
    const double m10 = 2 * (kQx * kQy + kQw * kQz), m11 = 1 - 2 * (kQx * kQx + kQz * kQz),
                 m12 = 2 * (kQy * kQz - kQw * kQx);
    const double m20 = 2 * (kQx * kQz - kQw * kQy), m21 = 2 * (kQy * kQz + kQw * kQx),
                 m22 = 1 - 2 * (kQx * kQx + kQy * kQy);
    return {m00 * bz + m01 * by + m02 * bx, m10 * bz + m11 * by + m12 * bx, m20 * bz + m21 * by + m22 * bx};
}

Mat3 Jacobian(const Vec3& raw) noexcept
{
    // Central differences: accurate to ~1e-10 m/rad at this step, and the linkage
    // stays far from the folded branch inside the joint limits.
    constexpr double kHDeg = 1e-3;
    Mat3 j{};
    for (int col = 0; col < 3; ++col) {
        Vec3 lo = raw, hi = raw;
        lo[col] -= kHDeg;
        hi[col] += kHDeg;
        const Vec3 pl = Position(lo), ph = Position(hi);
        for (int row = 0; row < 3; ++row) {
            j[row][col] = (ph[row] - pl[row]) / (2.0 * kHDeg * kRadPerDeg);
        }
    }
    return j;
}

Mat3 JacobianForward(const Vec3& raw, const Vec3& at_pose) noexcept
{
    constexpr double kHDeg = 1e-3;
    Mat3 j{};
    for (int col = 0; col < 3; ++col) {
        Vec3 hi = raw;
        hi[col] += kHDeg;
        const Vec3 ph = Position(hi);
        for (int row = 0; row < 3; ++row) {
            j[row][col] = (ph[row] - at_pose[row]) / (kHDeg * kRadPerDeg);
        }
    }
    return j;
}

}  // namespace Korvo::Sim::Kinematics
