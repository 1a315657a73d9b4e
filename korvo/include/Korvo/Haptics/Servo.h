#pragma once
// Servo: the arm's force loop, run natively at a fixed rate on a thread of
// its own, with a safety envelope around every force it sends.
//
//   Korvo::Haptics::ServoOptions options;            // 1000 Hz, 4 N at most, ...
//   Korvo::Haptics::Servo servo("/dev/ttyACM0", options);
//   servo.Start();                                   // the loop runs
//   servo.SetForce({0.0, 0.0, 1.0});                 // from any thread
//   Korvo::Haptics::ServoState s = servo.State();    // the latest tick
//   servo.Stop();                                    // a zero force is the last thing sent
//
// What runs where
//
//   The servo thread, started by Start(), owns the arm's port until Stop().
//   Each tick it sleeps to the tick's deadline on the monotonic clock (an
//   absolute sleep, ended by a 20 us spin at normal priority: ticks do not
//   drift), sends the force
//   decided at the end of the previous tick and receives the arm's state in
//   the same exchange, publishes that tick, and decides the next force:
//
//     commanded force (SetForce) + force hook + effects (EffectStack)
//       -> safety envelope -> sent at the next tick
//
//   On that thread nothing allocates, takes a lock, calls Python or makes a
//   system call other than the exchange and the sleep. Everything else (the
//   calls below) may run on any thread at any rate without ever making the
//   servo thread wait: values go to it and come from it through SeqLocks and
//   a single-producer ring.
//
// The exchange
//
//   One request, one reply, one deadline per tick (exchange_timeout, three
//   periods by default). A reply that does not come, or comes malformed
//   (wrong code, short, non-finite values), fails that tick only: the next
//   tick resynchronises: it drops whatever is waiting, sends a query without
//   effect on the arm (the marker: power status, temperature, currents or
//   base orientation) ahead of its force request, and takes as its reply
//   only what follows the answer to that marker, because the arm answers in
//   order. A marker whose answer is still in flight from an earlier failed
//   tick is not used again until that answer has come or ten exchange
//   deadlines (at least 20 ms) have passed, so one tick's marker is never
//   taken for another's. While every kind is in flight, a tick sends its
//   force without a marker and fails at once; the first tick that finds the
//   bytes read ending with the answers to the latest marker and to every
//   force since is in step again. A reply that arrives after its tick gave
//   up is therefore always recognised as late and discarded, never taken for
//   the answer to a later request. Notifications before a reply are skipped.
//
// The safety envelope (SafetyLimits; every limit settable, also while running)
//
//   - magnitude: a force longer than max_force is shortened to it, its
//     direction kept;
//   - rate of change: the force changes by at most max_force_step per tick;
//   - ramp: after Start() and whenever a fault clears, forces are scaled from
//     zero up to full over ramp_time;
//   - speed: above max_speed the force drops to zero at once and the fault
//     kSpeed is raised; it clears when the speed is below half the limit;
//   - heartbeat: with heartbeat > 0, a program that has not called in
//     (SetForce or Heartbeat) for that long gets the fault kHeartbeat, and
//     the force fades to zero over fade_time; calling in again clears it;
//   - failures: after max_failed_exchanges failed exchanges in a row, the
//     fault kExchanges: zero force; the loop goes on trying (and the fault
//     clears at the next good exchange) or stops, as stop_on_failure says;
//   - a force that cannot be computed (not finite, or the hook threw) is
//     never sent: zero force, and the fault kBadForce while it lasts.
//
//   A port that hangs up (cable pulled) raises kDisconnected and ends the
//   loop. Faults are state (ServoState::faults, with the time the latest
//   fault was raised), never exceptions or crashes.
//
// Ending
//
//   Stop(), the destructor, and process exit (std::exit, returning from
//   main, the Python interpreter's exit) all end the loop the same way: the
//   last request sent is a zero force (unless the port is gone). A Servo on
//   an Arvena it borrowed lends it back then.
//
//   So do SIGTERM, SIGHUP and SIGINT, while any loop runs, where the program
//   has left them at their default (which would end the process at once):
//   a handler of this layer wakes a thread of its own, which ends every loop
//   (StopAll), then gives the signal its default disposition again and
//   raises it, so that the process ends as it would have, with the signal's
//   status. A handler the program installed, before or meanwhile, is never
//   replaced: it decides (Python's SIGINT handler raises KeyboardInterrupt,
//   and the interpreter's exit stops the loops).
//
//   What cannot be handled on the host: SIGKILL, a crash of the process, a
//   kernel panic or power loss leave the arm applying its last force until
//   its own protection acts (what that is, is the firmware's). Keep
//   max_force as low as the task allows.
//
// One loop per port
//
//   From Start() until the loop ends (Stop(), or by itself: disconnect,
//   failures), it drives its port (SerialStream::Drive): no other stream of
//   the process may open or use the port, no device on it may run an
//   operation, and a second Servo or a HandleMonitor on it is refused,
//   each naming "a servo loop".
//
// Processes
//
//   A child made by fork() has a copy of a Servo but not its thread, nor
//   its port: there Running() is false, Start() throws std::runtime_error,
//   and Stop() and the destructor join, send and lend back nothing. The
//   parent's loop runs on. Descriptors the loop opens are close-on-exec.
//
// Live state, statistics, recording
//
//   State() is the latest tick, whole (never position of one tick and force
//   of another); from Start() on, before the first tick, it is the arm's
//   answer to Start()'s first exchange. Stats() are achieved rate, period
//   and exchange-latency
//   percentiles, overruns (periods over 1.5 nominal), failures; ResetStats()
//   starts them over. Every tick also goes into a ring of `recording`
//   entries, preallocated; Drain() takes what is there. The tick number shows
//   any gap, and a full ring counts what it had to drop (Recording::dropped),
//   never silently.
//
// Real-time priority
//
//   With realtime (the default), the servo thread asks for SCHED_FIFO at
//   realtime_priority and locks its buffers in memory, and the loop asks the
//   CPUs to stay out of deep idle states while it runs (a PM QoS request on
//   /dev/cpu_dma_latency: waking from them costs tens to hundreds of
//   microseconds, on this thread and on whatever answers it); where the
//   process may not have these it runs without them. RealTime(),
//   MemoryLocked() and LowCpuLatency() tell which; none is ever an error.
//
// Errors
//
//   Options out of range (a rate, limit or time that is zero, negative, NaN
//   or beyond what the loop can do) throw std::invalid_argument naming the
//   option, before the port is touched. A port that cannot be opened throws
//   std::system_error (with the path and errno). A borrowed Arvena that is
//   lent already, or in use on another thread at that moment, throws
//   std::runtime_error. Start() throws std::runtime_error when the arm does
//   not answer a first exchange within max(exchange_timeout, 0.2 s), when
//   another loop of the process drives the port ("the arm's port is driven
//   by a servo loop of this process"), and in the child of a fork.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Korvo/Haptics/Vector.h"

namespace Korvo::HardwareAPI::Devices {
class Arvena;
}

namespace Korvo::Haptics {

class EffectStack;

struct SafetyLimits {
    double max_force = 4.0;          // N
    double max_force_step = 0.05;    // N per tick (50 N/s at 1 kHz)
    double ramp_time = 0.5;          // s
    double max_speed = 1.0;          // m/s
    double heartbeat = 0.0;          // s; 0: off
    double fade_time = 0.05;         // s
    std::uint32_t max_failed_exchanges = 10;
    bool stop_on_failure = false;
};

struct ServoOptions {
    double rate = 1000.0;            // ticks per second, up to kMaxRate
    double exchange_timeout = 0.0;   // s per tick; 0: three periods
    bool realtime = true;
    int realtime_priority = 80;      // SCHED_FIFO, 1 to 99
    std::uint32_t recording = 65536; // ticks the ring holds; 0: no recording
    double effect_fade_time = 0.03;  // s an effect takes to fade in or out (see Effects.h)
    SafetyLimits limits;

    static constexpr double kMaxRate = 20000.0;
};

// Fault bits.
enum Fault : std::uint32_t {
    kNoFault = 0,
    kSpeed = 1u << 0,
    kHeartbeat = 1u << 1,
    kExchanges = 1u << 2,
    kDisconnected = 1u << 3,
    kBadForce = 1u << 4,
};

// Comma-separated names of the faults in `faults` ("speed,heartbeat"), empty for none.
std::string FaultNames(std::uint32_t faults);

// One tick, as the servo thread saw it.
struct ServoState {
    std::uint64_t tick = 0;      // ticks since Start(), from 0
    double time = 0.0;           // s since Start(), when the tick began
    Vector3d position{};         // m, the arm's reply (the last good one)
    Vector3d velocity{};         // m/s
    Vector3d force{};            // N, sent this tick
    Vector3d commanded{};        // N, asked for (SetForce + hook + effects) before the envelope
    bool exchange_ok = false;    // this tick's reply came, well formed
    std::uint32_t faults = 0;    // Fault bits in force after this tick
    double fault_time = -1.0;    // s since Start() when the latest fault was raised; -1: never
};

// What the force hook and each effect see each tick.
struct TickInput {
    std::uint64_t tick = 0;
    double time = 0.0;           // s since Start()
    double dt = 0.0;             // s, nominal period
    Vector3d position{};
    Vector3d velocity{};
    bool fresh = false;          // this tick's reply came
};

struct ServoStats {
    std::uint64_t ticks = 0;         // since the last reset
    double seconds = 0.0;
    double rate = 0.0;               // achieved, ticks per second
    double period_p50 = 0.0, period_p99 = 0.0, period_p999 = 0.0, period_max = 0.0;  // s
    std::uint64_t overruns = 0;      // periods over 1.5 nominal
    double exchange_p50 = 0.0, exchange_p99 = 0.0, exchange_max = 0.0;                 // s
    std::uint64_t failed_exchanges = 0;
    std::uint64_t resyncs = 0;       // ticks that resynchronised the line
    std::uint64_t late_bytes = 0;    // bytes of late or broken replies discarded
};

// One recorded tick.
struct TickRecord {
    std::uint64_t tick;
    double time;
    double period;                   // s since the previous tick began
    double exchange;                 // s the exchange took
    std::array<float, 3> position, velocity, force, commanded;
    std::uint32_t faults;
    std::uint32_t exchange_ok;
};

struct Recording {
    std::vector<TickRecord> ticks;
    std::uint64_t dropped = 0;       // ticks the full ring could not keep since the last drain
};

class Servo {
public:
    // Opens `port` (a path) and drives the arm on it.
    Servo(const std::string& port, const ServoOptions& options = {});
    // Borrows `arm` (and its stream) from Start() to Stop(); the caller keeps
    // both alive meanwhile.
    Servo(HardwareAPI::Devices::Arvena& arm, const ServoOptions& options = {});
    ~Servo();
    Servo(const Servo&) = delete;
    Servo& operator=(const Servo&) = delete;

    // Starts the loop (see above for what it throws). Running already: nothing.
    void Start();
    // Ends the loop, sending a zero force last; waits for the thread. Safe
    // to call more than once, and from any thread but the servo thread.
    void Stop();
    bool Running() const noexcept;

    // -- from any thread ------------------------------------------------------------------
    // The force asked for (N); counts as calling in for the heartbeat.
    // Throws std::invalid_argument when not finite.
    void SetForce(const Vector3d& force);
    Vector3d Force() const noexcept;
    void Heartbeat() noexcept;
    // Throws std::invalid_argument for limits out of range.
    void SetLimits(const SafetyLimits& limits);
    SafetyLimits Limits() const noexcept;

    ServoState State() const noexcept;
    ServoStats Stats() const noexcept;
    void ResetStats() noexcept;
    Recording Drain();

    // When Start() began, in seconds of the monotonic clock (what Python's
    // time.monotonic() reads): tick times count from there.
    double StartedAt() const noexcept;
    bool RealTime() const noexcept;
    bool MemoryLocked() const noexcept;
    bool LowCpuLatency() const noexcept;
    const ServoOptions& Options() const noexcept;
    // Why the loop ended by itself (disconnect, failures), empty otherwise.
    std::string EndReason() const;

    // -- before Start() only (std::logic_error while running) ----------------------------
    // A C++ function whose force is added each tick, on the servo thread.
    void SetForceHook(std::function<Vector3d(const TickInput&)> hook);

    // The loop's haptic effects (see Effects.h): add, remove, enable them
    // from any thread, running or not.
    EffectStack& Effects() noexcept;

    // Ends every running loop of the process (each sends its zero force); run
    // at process exit, and on a termination signal (see Ending), by itself.
    static void StopAll() noexcept;

    // Throws std::invalid_argument naming the first option out of range.
    static void Check(const ServoOptions& options);
    static void Check(const SafetyLimits& limits);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Korvo::Haptics
