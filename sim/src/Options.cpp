#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <set>
#include <string_view>

namespace Korvo::Sim {

const char* KindName(DeviceKind kind) noexcept
{
    switch (kind) {
    case DeviceKind::Loopback: return "loopback";
    case DeviceKind::Arm: return "arm";
    case DeviceKind::Handle: return "handle";
    }
    return "?";
}

std::string UsageText()
{
    return R"(Usage: korvo-sim [GLOBAL OPTIONS] DEVICE [DEVICE OPTIONS] [DEVICE [DEVICE OPTIONS] ...]

Simulates Korvo devices on pseudo-terminals, so that programs using the
KorvoHardwareAPI library (and its tests and benchmarks) run without hardware.
Each DEVICE gets its own pseudo-terminal pair and its own thread. When every
device is ready, korvo-sim prints one line per device on standard output, in
command-line order, and flushes it:

    <kind> <slave path>            for example:  arm /dev/pts/7

Open that path (or the --link path) as the device's serial port. Nothing else
is written to standard output; diagnostics go to standard error. SIGINT,
SIGTERM or SIGHUP stops korvo-sim cleanly (exit status 0) and removes its
links.

DEVICE is one of:
  loopback   echoes every byte it receives, unchanged
  arm        the Arvena three-joint arm: answers its whole command set from a
             physical model (inertia, viscous damping, joint limits, no
             gravity); force, position, torque and angle commands hold until
             the next command, or until 100 ms pass without any request
  handle     the Handle: answers wakeup (0x0A), status (0xDA) and handle-state
             (0xDB) requests, answers any other byte with an error response,
             and streams byte-stuffed status frames (0xDA ... 0xC0)

Global options:
  --die-with-parent     stop (cleanly, as on SIGTERM) when the parent process
                        dies, so that a crashed test fixture never leaks one
  --seed N              seed of the pseudo-random parts (notification bytes,
                        handle buttons); the same seed gives the same bytes.
                        Default: a fresh seed on every run
  --busy-poll-us N      after each request, look for the next one for N
                        microseconds without sleeping (a core stays busy).
                        A control loop that pauses between exchanges then
                        does not pay for waking the simulator up: on virtual
                        machines that can cost milliseconds. Default 0
  --realtime PRIO       serve each device from a thread at real-time priority
                        PRIO (SCHED_FIFO, 1 to 99; 0: normal priority, the
                        default), so that it answers at once whatever else
                        the machine does, as a device does. Where the process
                        may not (not root, no CAP_SYS_NICE), it says so on
                        standard error and serves at normal priority
  -h, --help            print this text and exit

Options for the DEVICE they follow (every kind):
  --link PATH           make PATH a symbolic link to the slave path, removed at
                        exit; an existing symbolic link at PATH is replaced,
                        anything else at PATH is refused (exit status 2)
  --delay-us N          wait N microseconds before each reply
  --drop-every N        consume every Nth request that has a reply, but send
                        no reply
  --corrupt-every N     replace the header code of every Nth reply by 0xEE
                        (its payload is still sent)
  --truncate-every N    send only the first half of every Nth reply
  --notify-every N      send a notification frame (0xBA or 0xBB, one byte, a
                        length L of 0 to 8, L bytes) in front of every Nth
                        reply, in the same write
  --notify-flood N      send N notification frames in front of every reply
  --disconnect-after N  answer the Nth request, then hang up as a pulled cable
                        does: the pseudo-terminal is closed and the link
                        removed. After --reconnect-ms a new pseudo-terminal is
                        made, the link re-pointed and one more line printed.
                        Happens once per run
  --reconnect-ms M      how long the cable stays pulled (default 500; -1: for
                        good)

Arm options:
  --model N             device_model_number in the wakeup reply (default 4)
  --device-id N         device_id in the wakeup reply (default 0x0104)
  --hand-path AX,AY,AZ[,BX,BY,BZ]
                        a hand holds the arm (a stand-in for its operator): a
                        spring and damper from the end effector to a point
                        that moves along the path p(t) = p0 + A sin(w t) +
                        B (1 - cos(w t)), w = 2 pi --hand-hz, where p0 is
                        where the arm starts and A, B are in metres (B = 0
                        when left out: a line back and forth through p0;
                        A = (0, r, 0), B = (0, 0, r): a circle of radius r).
                        t counts from --hand-start-ms; before, the hand holds
                        p0. Its force acts whether or not the host sends
                        anything, beside the motors and outside their limit
  --hand-hz F           the path's frequency (default 0.5)
  --hand-stiffness K    N/m of the hand's spring (default 50)
  --hand-damping B      N*s/m of its damper, on the end effector's velocity
                        (default 1)
  --hand-start-ms MS    when the hand starts along the path, in ms after
                        korvo-sim starts (default 0)
  --hand-release-ms MS  when the hand lets go, in ms after korvo-sim starts
                        (default 0: never)

Handle options:
  --rate HZ             status frames streamed per second (default 100; 0: no
                        streaming). Frames are skipped while more than 512
                        bytes wait unread on the port, as a device stalls when
                        its host stops reading
  --wakeup-reply KIND   answer a wakeup with "info" (a handle-info message,
                        the default) or "status" (a status message)
  --bad-frames-every N  make every Nth status frame bad, in turn: a wrong
                        checksum; a stray escape byte 0xDB followed by an
                        ordinary byte; a frame cut before its 0xC0 end marker
                        and followed directly by the next frame
  --device-id N         device_id of the handle (default 0x0042)
  --battery BYTE        battery byte at start (default 230, i.e. 4.15 V)
  --drain-per-s X       battery bytes lost per second (default 0.5)
  --buttons-hz F        button changes per second (default 1)
  --buttons KIND        "random" (the default): each change moves the three
                        buttons to another combination; "toggle": button 1
                        alone is pressed and released in turn, for tests that
                        count presses

Counting: "the Nth reply" is the reply to the Nth request that has one (for
loopback, the echo of the Nth chunk read). Dropping, corruption, truncation
and notifications all use that one count, so "--drop-every 3
--corrupt-every 2" drops replies 3, 6, 9 ... and corrupts replies 2, 4, 8,
10 ... (reply 6 is dropped). --disconnect-after counts every request, replied
to or not. A count of 0 turns its fault off. Numbers are decimal, or
hexadecimal with a 0x prefix; "--option=VALUE" is accepted as well as
"--option VALUE".

The arm: starts at rest at raw joint angles (0, -15, 45) degrees. Joint 0
turns within +-75 degrees; joints 1 and 2 keep r1 + r2 within 15..120 and
r2 - r1 within 40..150 degrees, clear of the folded linkage and of the base
axis. Units: metres, m/s, newtons, N*m, degrees, degrees/s. Motor torque is
limited to 0.5 N*m per joint; currents are torque / 0.1 N*m/A. The
end-effector position is computed from exactly the float angles a
joint-state reply would carry, with the host's default kinematic model, so
host and arm agree to ~1e-6.

The arm's physics, for tests that check motion and heat in closed form:
  joints    inertia J = 2e-3, 1e-3, 1e-3 kg*m^2 and viscous damping
            b = 0.02, 0.01, 0.01 N*m*s/rad (joints 0, 1, 2), no gravity, so
            every joint has the time constant J/b = 0.1 s. Clear of its
            limits, a joint's rest point q + w * J/b (angle q, velocity w)
            moves at torque / b, and stands still without torque: a joint
            moving at w comes to rest w * 0.1 s further on, its speed
            falling as exp(-t / 0.1 s). Integrated in steps of 0.5 ms, which
            keep that rest point exactly
  watchdog  a command acts until 100 ms after the last request of any kind;
            then the torque is zero (currents 0) and the joints coast
  heat      the motors' power P = 0.5 ohm * (I0^2 + I1^2 + I2^2), with
            currents I = torque / 0.1 N*m/A, drives the temperature toward
            36.5 C + 2.0 K/W * P with a time constant of 120 s:
            T(t) = T_end + (T(0) - T_end) * exp(-t / 120 s). It starts at
            36.5 C, the idle temperature

The handle: a handle state (0xDB) is kept and echoed as the user data of
later status messages. Its quaternion (w, x, y, z) turns at 0.5 rad/s about
a fixed axis, the hall level (0..31) follows a trigger squeezed and released
every 2.5 s, the buttons change --buttons-hz times a second, the battery
drains.

Exit status: 0 after SIGINT, SIGTERM, SIGHUP, the parent's death with
--die-with-parent, or --help; 1 when a pseudo-terminal cannot be made; 2 on
bad arguments or a refused --link.

Examples:
  korvo-sim arm
      one arm; read its port from the line printed on standard output
  korvo-sim --die-with-parent arm --link /tmp/korvo-arm handle --link /tmp/korvo-handle
      an arm and a handle at fixed paths, gone when the parent goes
  korvo-sim arm --delay-us 300 --notify-every 4 --drop-every 100
      a slow arm that sends notifications and loses a reply now and then
  korvo-sim handle --rate 1000 --bad-frames-every 10 --seed 7
      a handle streaming 1000 frames per second, one in ten of them bad
  korvo-sim handle --rate 0 --wakeup-reply status
      a quiet handle that answers a wakeup with a status message
  korvo-sim arm --link /tmp/korvo-arm --disconnect-after 20 --reconnect-ms 200
      an arm whose cable is pulled after 20 requests and plugged back 200 ms later
  korvo-sim arm --hand-path 0,0.02,0 --hand-hz 0.5 --hand-stiffness 30
      an arm a hand moves 2 cm either way along y, once every two seconds
)";
}

namespace {

enum class Scope { Global, AnyDevice, ArmOnly, HandleOnly };

std::uint64_t ParseUnsigned(std::string_view name, const std::string& text, std::uint64_t max)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const bool ok = !digits.empty()
        && digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") == std::string::npos;
    if (ok) {
        errno = 0;
        const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
        if (errno == 0 && v <= max) {
            return v;
        }
    }
    throw UsageError(std::string(name) + ": expected a whole number from 0 to " + std::to_string(max)
                     + ", got '" + text + "'");
}

double ParseReal(std::string_view name, const std::string& text, double max)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v) || v < 0.0
        || v > max) {
        throw UsageError(std::string(name) + ": expected a number from 0 to " + std::to_string(max) + ", got '"
                         + text + "'");
    }
    return v;
}

// Comma-separated numbers (signed, finite, at most `limit` in size): 3 or 6 of them.
std::vector<double> ParseNumbers(std::string_view name, const std::string& text, double limit)
{
    std::vector<double> values;
    std::size_t from = 0;
    while (true) {
        const std::size_t comma = text.find(',', from);
        const std::string part = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(part.c_str(), &end);
        if (part.empty() || end != part.c_str() + part.size() || errno != 0 || !std::isfinite(v)
            || std::fabs(v) > limit) {
            throw UsageError(std::string(name) + ": expected numbers from -" + std::to_string(limit) + " to "
                             + std::to_string(limit) + " separated by commas, got '" + text + "'");
        }
        values.push_back(v);
        if (comma == std::string::npos) {
            break;
        }
        from = comma + 1;
    }
    return values;
}

std::int64_t ParseReconnect(std::string_view name, const std::string& text)
{
    if (text == "-1") {
        return -1;
    }
    return static_cast<std::int64_t>(ParseUnsigned(name, text, 24ull * 3600 * 1000));
}

struct OptionDef {
    std::string_view name;
    Scope scope;
    bool takes_value;
    std::function<void(Options&, DeviceOptions*, const std::string&)> apply;
};

const std::vector<OptionDef>& OptionTable()
{
    constexpr std::uint64_t kMaxEvery = 1'000'000'000ull;
    static const std::vector<OptionDef> kTable = {
        {"--die-with-parent", Scope::Global, false,
         [](Options& o, DeviceOptions*, const std::string&) { o.die_with_parent = true; }},
        {"--busy-poll-us", Scope::Global, true,
         [](Options& o, DeviceOptions*, const std::string& v) {
             o.busy_poll_us = ParseUnsigned("--busy-poll-us", v, 1'000'000ull);
         }},
        {"--realtime", Scope::Global, true,
         [](Options& o, DeviceOptions*, const std::string& v) {
             o.realtime_priority = static_cast<int>(ParseUnsigned("--realtime", v, 99));
         }},
        {"--seed", Scope::Global, true,
         [](Options& o, DeviceOptions*, const std::string& v) { o.seed = ParseUnsigned("--seed", v, UINT64_MAX); }},
        {"--link", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             if (v.empty()) {
                 throw UsageError("--link: the path is empty");
             }
             if (!d->link.empty()) {
                 throw UsageError("--link is given twice to one " + std::string(KindName(d->kind)));
             }
             d->link = v;
         }},
        {"--delay-us", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.delay_us = ParseUnsigned("--delay-us", v, 60'000'000ull);
         }},
        {"--drop-every", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.drop_every = ParseUnsigned("--drop-every", v, kMaxEvery);
         }},
        {"--corrupt-every", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.corrupt_every = ParseUnsigned("--corrupt-every", v, kMaxEvery);
         }},
        {"--truncate-every", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.truncate_every = ParseUnsigned("--truncate-every", v, kMaxEvery);
         }},
        {"--notify-every", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.notify_every = ParseUnsigned("--notify-every", v, kMaxEvery);
         }},
        {"--notify-flood", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.notify_flood = ParseUnsigned("--notify-flood", v, 4096);
         }},
        {"--disconnect-after", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.disconnect_after = ParseUnsigned("--disconnect-after", v, kMaxEvery);
         }},
        {"--reconnect-ms", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->faults.reconnect_ms = ParseReconnect("--reconnect-ms", v);
         }},
        {"--model", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->arm.model = static_cast<std::uint8_t>(ParseUnsigned("--model", v, 0xFF));
         }},
        {"--device-id", Scope::AnyDevice, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             if (d->kind == DeviceKind::Loopback) {
                 throw UsageError("--device-id applies to arm and handle, not to loopback");
             }
             const auto id = static_cast<std::uint16_t>(ParseUnsigned("--device-id", v, 0xFFFF));
             (d->kind == DeviceKind::Arm ? d->arm.device_id : d->handle.device_id) = id;
         }},
        {"--hand-path", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             const auto values = ParseNumbers("--hand-path", v, 1.0);
             if (values.size() != 3 && values.size() != 6) {
                 throw UsageError("--hand-path: expected 3 or 6 numbers (AX,AY,AZ[,BX,BY,BZ]), got '" + v + "'");
             }
             auto& hand = d->arm.hand;
             hand.enabled = true;
             for (std::size_t i = 0; i < 3; ++i) {
                 hand.a[i] = values[i];
                 hand.b[i] = values.size() == 6 ? values[3 + i] : 0.0;
             }
         }},
        {"--hand-hz", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) { d->arm.hand.hz = ParseReal("--hand-hz", v, 100.0); }},
        {"--hand-stiffness", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->arm.hand.stiffness = ParseReal("--hand-stiffness", v, 10000.0);
         }},
        {"--hand-damping", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->arm.hand.damping = ParseReal("--hand-damping", v, 1000.0);
         }},
        {"--hand-start-ms", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->arm.hand.start_s = static_cast<double>(ParseUnsigned("--hand-start-ms", v, 24ull * 3600 * 1000)) / 1000.0;
         }},
        {"--hand-release-ms", Scope::ArmOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->arm.hand.release_s
                 = static_cast<double>(ParseUnsigned("--hand-release-ms", v, 24ull * 3600 * 1000)) / 1000.0;
         }},
        {"--rate", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) { d->handle.rate_hz = ParseReal("--rate", v, 100000.0); }},
        {"--wakeup-reply", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             if (v == "info") {
                 d->handle.wakeup_reply = WakeupReply::Info;
             } else if (v == "status") {
                 d->handle.wakeup_reply = WakeupReply::Status;
             } else {
                 throw UsageError("--wakeup-reply: expected 'info' or 'status', got '" + v + "'");
             }
         }},
        {"--bad-frames-every", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->handle.bad_frames_every = ParseUnsigned("--bad-frames-every", v, kMaxEvery);
         }},
        {"--battery", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->handle.battery = static_cast<std::uint8_t>(ParseUnsigned("--battery", v, 0xFF));
         }},
        {"--drain-per-s", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->handle.drain_per_second = ParseReal("--drain-per-s", v, 1.0e6);
         }},
        {"--buttons-hz", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             d->handle.buttons_hz = ParseReal("--buttons-hz", v, 1000.0);
             if (d->handle.buttons_hz <= 0.0) {
                 throw UsageError("--buttons-hz: expected a number above 0, got '" + v + "'");
             }
         }},
        {"--buttons", Scope::HandleOnly, true,
         [](Options&, DeviceOptions* d, const std::string& v) {
             if (v != "random" && v != "toggle") {
                 throw UsageError("--buttons: expected random or toggle, got '" + v + "'");
             }
             d->handle.buttons_toggle = v == "toggle";
         }},
    };
    return kTable;
}

std::optional<DeviceKind> ParseDeviceKind(std::string_view word)
{
    if (word == "loopback") return DeviceKind::Loopback;
    if (word == "arm") return DeviceKind::Arm;
    if (word == "handle") return DeviceKind::Handle;
    return std::nullopt;
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv)
{
    Options options;
    std::set<std::string> links;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
        if (auto kind = ParseDeviceKind(arg)) {
            DeviceOptions device;
            device.kind = *kind;
            options.devices.push_back(device);
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            throw UsageError("unknown device '" + arg + "' (expected loopback, arm or handle)");
        }

        std::optional<std::string> inline_value;
        if (const auto eq = arg.find('='); eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            arg.resize(eq);
        }

        const OptionDef* option = nullptr;
        for (const auto& candidate : OptionTable()) {
            if (candidate.name == arg) {
                option = &candidate;
                break;
            }
        }
        if (option == nullptr) {
            throw UsageError("unknown option '" + arg + "'");
        }

        std::string value;
        if (option->takes_value) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                throw UsageError(arg + " needs a value");
            }
        } else if (inline_value) {
            throw UsageError(arg + " takes no value");
        }

        DeviceOptions* device = options.devices.empty() ? nullptr : &options.devices.back();
        if (option->scope != Scope::Global) {
            if (device == nullptr) {
                throw UsageError(arg + " must follow the DEVICE it applies to");
            }
            if ((option->scope == Scope::ArmOnly && device->kind != DeviceKind::Arm)
                || (option->scope == Scope::HandleOnly && device->kind != DeviceKind::Handle)) {
                throw UsageError(arg + " does not apply to " + KindName(device->kind));
            }
        }
        option->apply(options, device, value);
        if (arg == "--link" && !links.insert(device->link).second) {
            throw UsageError("--link " + device->link + " is given to two devices");
        }
    }

    if (options.devices.empty()) {
        throw UsageError("no DEVICE given");
    }
    return options;
}

}  // namespace Korvo::Sim
