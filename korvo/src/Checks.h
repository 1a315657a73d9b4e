#pragma once
// How the korvo layer refuses a bad argument: std::invalid_argument whose
// text begins with the argument's name (Python receives it as ValueError),
// thrown before anything is changed.

#include <cmath>
#include <cstddef>
#include <sstream>
#include <stdexcept>

#include "Korvo/Haptics/Vector.h"

namespace Korvo::Haptics {

// "<name> must be <rule>, got <value>".
[[noreturn]] inline void Refuse(const char* name, const char* rule, double value) {
    std::ostringstream text;
    text << name << " must be " << rule << ", got " << value;
    throw std::invalid_argument(text.str());
}

// "<name>[i] must be finite, got <value>" for the first component that is not.
inline void RequireFinite(const Vector3d& v, const char* name) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!std::isfinite(v[i])) {
            std::ostringstream text;
            text << name << "[" << i << "] must be finite, got " << v[i];
            throw std::invalid_argument(text.str());
        }
    }
}

// How long effects fade in and out: a servo's option and its effect stack's
// setting alike.
inline void RequireFadeTime(double seconds) {
    if (!(std::isfinite(seconds) && seconds > 0.0 && seconds <= 10.0)) {
        Refuse("effect_fade_time", "above 0 and at most 10 s", seconds);
    }
}

}  // namespace Korvo::Haptics
