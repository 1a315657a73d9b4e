#pragma once
// The safety envelope, tick by tick: turns the force asked for into the
// force sent, and keeps the fault state. Pure arithmetic on what it is given,
// so that each limit can be tested alone (see Servo.h for the rules).

#include <cstdint>

#include "Korvo/Haptics/Servo.h"
#include "Korvo/Haptics/Vector.h"

namespace Korvo::Haptics {

class Envelope {
public:
    // What the servo thread knows at the end of a tick.
    struct Tick {
        double now = 0.0;             // s since start
        double dt = 0.0;              // s, nominal period
        bool exchange_ok = false;
        double speed = 0.0;           // m/s, from this tick's reply (when it came)
        double since_call_in = 0.0;   // s since the program last called in
        bool enabled = true;          // the program lets forces through (Servo::SetEnabled)
    };

    // Forces start from zero and ramp in from `now`.
    void Start(double now) noexcept;

    // The force to send next, from the force asked for; updates the faults.
    Vector3d Next(const Vector3d& desired, const Tick& tick, const SafetyLimits& limits) noexcept;

    std::uint32_t Faults() const noexcept { return faults_; }
    double FaultTime() const noexcept { return fault_time_; }
    // Whether the loop should end: failures with stop_on_failure.
    bool StopRequested() const noexcept { return stop_; }

private:
    void Raise(std::uint32_t fault, double now) noexcept;
    // `force` no longer than `limit`, its direction kept.
    static Vector3d Shorten(const Vector3d& force, double limit) noexcept;

    Vector3d previous_{};
    double ramp_start_ = 0.0;
    double fade_ = 1.0;               // 1 to 0 while the heartbeat lapses
    Vector3d fade_from_{};
    std::uint32_t failures_ = 0;      // consecutive
    std::uint32_t faults_ = kNoFault;
    double fault_time_ = -1.0;
    bool stop_ = false;
    bool enabled_ = true;
};

}  // namespace Korvo::Haptics
