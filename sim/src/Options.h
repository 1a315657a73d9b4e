// Command line of korvo-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Hand.h"

namespace Korvo::Sim {

enum class DeviceKind { Loopback, Arm, Handle };

[[nodiscard]] const char* KindName(DeviceKind kind) noexcept;

// Every counter is "every Nth"; 0 leaves the fault off.
struct FaultOptions {
    std::uint64_t delay_us = 0;
    std::uint64_t drop_every = 0;
    std::uint64_t corrupt_every = 0;
    std::uint64_t truncate_every = 0;
    std::uint64_t notify_every = 0;
    std::uint64_t notify_flood = 0;
    std::uint64_t disconnect_after = 0;
    std::int64_t reconnect_ms = 500;  // -1: stay unplugged
};

struct ArmOptions {
    std::uint8_t model = 4;
    std::uint16_t device_id = 0x0104;
    HandOptions hand;
};

enum class WakeupReply { Info, Status };

struct HandleOptions {
    double rate_hz = 100.0;
    WakeupReply wakeup_reply = WakeupReply::Info;
    std::uint64_t bad_frames_every = 0;
    std::uint16_t device_id = 0x0042;
    std::uint8_t battery = 230;
    double drain_per_second = 0.5;
    double buttons_hz = 1.0;      // button changes per second
    bool buttons_toggle = false;  // button 1 alone, pressed and released in turn
};

struct DeviceOptions {
    DeviceKind kind = DeviceKind::Loopback;
    std::string link;  // empty: no link
    FaultOptions faults;
    ArmOptions arm;
    HandleOptions handle;
};

struct Options {
    bool help = false;
    bool die_with_parent = false;
    // After each request, look for the next one this long without sleeping.
    std::uint64_t busy_poll_us = 0;
    // SCHED_FIFO priority of the device threads; 0: normal priority.
    int realtime_priority = 0;
    std::optional<std::uint64_t> seed;
    std::vector<DeviceOptions> devices;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a one-line reason when the arguments are not valid.
[[nodiscard]] Options ParseOptions(int argc, const char* const* argv);

[[nodiscard]] std::string UsageText();

}  // namespace Korvo::Sim
