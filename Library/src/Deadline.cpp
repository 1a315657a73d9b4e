#include "Korvo/HardwareAPI/IO/Deadline.h"

#include <cmath>

namespace Korvo::HardwareAPI::IO {

namespace {
// A century: anything longer is a wait without limit, and clamping here keeps
// the conversion to clock ticks clear of overflow.
constexpr float kLongestLimitSeconds = 100.0f * 365.0f * 24.0f * 3600.0f;
}  // namespace

bool Deadline::IsLimit(float seconds) noexcept {
    return seconds > 0.0f && seconds < kLongestLimitSeconds;  // false for NaN
}

Deadline::Deadline(float seconds, Clock::time_point start) : unlimited_(!IsLimit(seconds)) {
    if (!unlimited_) {
        end_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
}

}  // namespace Korvo::HardwareAPI::IO
