#pragma once
// ProbePort: what answers on a serial port, found with one wakeup byte.
//
// The arm answers the wakeup (0x0A) with its record (0x0B and 21 bytes), a
// handle with its information (0xD0 and 6 bytes) or a status message (0xDA,
// 21 bytes and its user data): one request tells the two apart, so a port is
// probed once whatever it holds, in at most `timeout` seconds. Notifications
// ahead of the answer are passed over, as every exchange does. A port anyone
// holds (see IO/PortHolder.h) is reported busy and not opened. Nothing is
// written to standard error: the result says what happened. The detect
// functions of Discovery.h probe with the same steps, in their own way.
//
// Thread safety: probes of different ports may run on threads of their own
// at the same time (that is what they are for).

#include <string>

#include "Korvo/HardwareAPI/DeviceInfo.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"

namespace Korvo::HardwareAPI {

struct ProbeResult {
    enum class Kind { Nothing, Arm, Handle, Busy, Unopenable };
    Kind kind = Kind::Nothing;
    int error = 0;                        // errno when Unopenable
    std::string detail;                   // what was seen, in words, when nothing was recognised
    DeviceInfo arm;                       // Arm: the wakeup record
    // Handle: its information message (when it answered with one).
    bool handle_info = false;
    Devices::HandleInfo handle;
};

ProbeResult ProbePort(const std::string& path, double timeout);

}  // namespace Korvo::HardwareAPI
