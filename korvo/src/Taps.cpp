// The taps there are: every tick of a servo loop, every good frame of a
// handle monitor.

#include "Taps.h"

#include "Korvo/DeviceTools/HandleMonitor.h"
#include "Korvo/Haptics/Servo.h"

namespace Korvo::Haptics {

template class Tap<TickRecord>;
template class Tap<DeviceTools::HandleMonitor::Status>;

}  // namespace Korvo::Haptics
