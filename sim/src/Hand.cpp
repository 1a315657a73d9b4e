#include "Hand.h"

#include <algorithm>
#include <cmath>

namespace Korvo::Sim {

bool Hand::Holds(double now) const noexcept
{
    return options_.enabled && (options_.release_s <= 0.0 || now - started_ < options_.release_s);
}

Hand::Vec3 Hand::Point(double now) const noexcept
{
    const double t = std::max(0.0, now - started_ - options_.start_s);
    const double phase = 2.0 * 3.14159265358979323846 * options_.hz * t;
    const double s = std::sin(phase), c = 1.0 - std::cos(phase);
    return {origin_[0] + options_.a[0] * s + options_.b[0] * c, origin_[1] + options_.a[1] * s + options_.b[1] * c,
            origin_[2] + options_.a[2] * s + options_.b[2] * c};
}

Hand::Vec3 Hand::Force(double now, const Vec3& position, const Vec3& velocity) const noexcept
{
    if (!Holds(now)) {
        return {};
    }
    const Vec3 p = Point(now);
    return {options_.stiffness * (p[0] - position[0]) - options_.damping * velocity[0],
            options_.stiffness * (p[1] - position[1]) - options_.damping * velocity[1],
            options_.stiffness * (p[2] - position[2]) - options_.damping * velocity[2]};
}

}  // namespace Korvo::Sim
