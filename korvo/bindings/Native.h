#pragma once
// korvo._native: registration functions and shared texts.

#include <pybind11/pybind11.h>

namespace Korvo::Haptics::Python {

inline constexpr const char* kServoDoc = R"(The arm's force loop, run natively at a fixed rate on a thread of its own.

    with korvo.Servo("/dev/ttyACM0", rate=1000, max_force=4.0) as servo:
        servo.force = (0.0, 0.0, 1.0)   # applied every tick, through the safety envelope
        print(servo.state, servo.stats)
    recording = servo.recording()       # every tick, as numpy arrays

`arm` is a port path (opened here; OSError when it cannot be) or a
KorvoHardwareAPI.Arvena, borrowed from start() to stop(): meanwhile its own
methods raise RuntimeError. Every limit is a keyword argument and can be
changed while running with set_limits(); values that are zero, negative, NaN
or out of range raise ValueError naming the argument. Whatever ends the loop
(stop(), leaving the with block, an exception, Ctrl+C, garbage collection,
interpreter exit), the last thing sent to the arm is a zero force.)";

inline constexpr const char* kMonitorDoc = R"(A handle's status frames, read on a native thread that sleeps until bytes come.

    with korvo.HandleMonitor("/dev/ttyUSB0") as monitor:
        status = monitor.status         # the newest good frame (None before the first)
        for event in monitor.events():  # every press and release since the last call
            print(event.button, event.pressed, event.time)

`handle` is a port path or a KorvoHardwareAPI.Handle, borrowed from start()
to stop() (its own methods raise RuntimeError meanwhile). Corrupt frames are
counted and skipped; a port that hangs up ends the monitor (`disconnected`).)";

void BindEffects(pybind11::module_& m);
void BindServo(pybind11::module_& m);
void BindMonitor(pybind11::module_& m);
void BindProbe(pybind11::module_& m);

}  // namespace Korvo::Haptics::Python
