// The servo loop's tap: every tick. (The handle monitor's, every good frame,
// is made beside the monitor, a device tool the haptics do not include.)

#include "Realtime/Taps.h"

#include "Korvo/Haptics/Servo.h"

template class Korvo::Realtime::Tap<Korvo::Haptics::TickRecord>;
