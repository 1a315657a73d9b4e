// Command line of korvo-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvo::sim {

enum class DeviceKind { Loopback, Arm, Handle };

[[nodiscard]] const char* kindName(DeviceKind kind) noexcept;

// Every counter is "every Nth"; 0 leaves the fault off.
struct FaultOptions {
    std::uint64_t delayUs = 0;
    std::uint64_t dropEvery = 0;
    std::uint64_t corruptEvery = 0;
    std::uint64_t truncateEvery = 0;
    std::uint64_t notifyEvery = 0;
    std::uint64_t notifyFlood = 0;
    std::uint64_t disconnectAfter = 0;
    std::int64_t reconnectMs = 500;  // -1: stay unplugged
};

struct ArmOptions {
    std::uint8_t model = 4;
    std::uint16_t deviceId = 0x0104;
};

enum class WakeupReply { Info, Status };

struct HandleOptions {
    double rateHz = 100.0;
    WakeupReply wakeupReply = WakeupReply::Info;
    std::uint64_t badFramesEvery = 0;
    std::uint16_t deviceId = 0x0042;
    std::uint8_t battery = 230;
    double drainPerSecond = 0.5;
    double buttonsHz = 1.0;      // button changes per second
    bool buttonsToggle = false;  // button 1 alone, pressed and released in turn
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
    bool dieWithParent = false;
    // After each request, look for the next one this long without sleeping.
    std::uint64_t busyPollUs = 0;
    // SCHED_FIFO priority of the device threads; 0: normal priority.
    int realtimePriority = 0;
    std::optional<std::uint64_t> seed;
    std::vector<DeviceOptions> devices;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a one-line reason when the arguments are not valid.
[[nodiscard]] Options parseOptions(int argc, const char* const* argv);

[[nodiscard]] std::string usageText();

}  // namespace korvo::sim
