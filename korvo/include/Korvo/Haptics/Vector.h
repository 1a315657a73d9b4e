#pragma once
// Three-component vectors of the haptics layer: forces in newtons, positions
// in metres, velocities in metres per second, in the arm's frame. Doubles on
// the host; the arm's wire carries 32-bit floats.

#include <array>
#include <cmath>

namespace Korvo::Haptics {

using Vector3d = std::array<double, 3>;

inline constexpr Vector3d kZero{0.0, 0.0, 0.0};

inline Vector3d operator+(const Vector3d& a, const Vector3d& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vector3d operator-(const Vector3d& a, const Vector3d& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vector3d operator*(double k, const Vector3d& v) { return {k * v[0], k * v[1], k * v[2]}; }
inline Vector3d& operator+=(Vector3d& a, const Vector3d& b) {
    a = a + b;
    return a;
}
inline double Dot(const Vector3d& a, const Vector3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
// The length, also of vectors whose squared length overflows (a finite force
// of 1e200 N is long, not infinitely long).
inline double Norm(const Vector3d& v) {
    const double squared = Dot(v, v);
    return std::isfinite(squared) ? std::sqrt(squared) : std::hypot(v[0], v[1], v[2]);
}
inline bool IsFinite(const Vector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

}  // namespace Korvo::Haptics
