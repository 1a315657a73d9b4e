// The servo loop's tap: every tick. (The handle monitor's, every good frame,
// is made beside the monitor, a device tool the haptics do not include.)

#include "Taps.h"

#include "Korvo/Haptics/Servo.h"

namespace Korvo::Haptics {

template class Tap<TickRecord>;

}  // namespace Korvo::Haptics
