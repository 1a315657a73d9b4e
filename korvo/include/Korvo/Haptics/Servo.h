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
//   The servo thread, started by Start(), owns the arm's port until the loop
//   ends. Each tick it sleeps to the tick's deadline on the monotonic clock
//   (an absolute sleep, ended by a 20 us spin at normal priority: ticks do
//   not drift), sends the force decided at the end of the previous tick and
//   receives the arm's state in the same exchange, publishes that tick, and
//   decides the next force:
//
//     commanded force (SetForce) + force hook + effects (EffectStack)
//       -> safety envelope -> sent at the next tick
//
//   On that thread nothing allocates, takes a lock, calls Python or makes a
//   system call other than the exchange and the sleep, and nothing waits
//   for another thread. Everything below may be called from any thread at
//   any rate (unless it says otherwise):
//
//     to the servo thread    the commanded force, the limits and every
//                            effect's parameters go through Mailboxes (see
//                            Mailbox.h): whole values, the latest at each
//                            tick; a writer stopped half-way through a value
//                            delays no tick. Any number of threads may write
//                            at once. SetEnabled and Heartbeat are atomics.
//     from the servo thread  the state goes through a SeqLock (readers
//                            retry while a tick is being published; the
//                            servo thread never waits for them), the
//                            recording and the flight record through rings
//                            that keep the newest ticks, events through a
//                            ring that keeps the first ones, statistics
//                            through atomics.
//
// The exchange
//
//   One request, one reply, one deadline per tick (exchange_timeout, three
//   periods by default). A reply that does not come, or comes malformed
//   (wrong code, short, non-finite or unbelievable values), fails that tick
//   only. Which bytes answer a tick is decided with certainty or not at all
//   (see ReplyMatcher.h in the sources): after a failed tick the next one
//   sends a query without effect on the arm (a marker: power status,
//   temperature, currents or base orientation, in turn) ahead of its force,
//   every byte read stays in view, and a reply is taken only when every way
//   the bytes can be read as answers to the requests sent agrees on it. A
//   late reply is never taken for a later tick's; where the bytes leave
//   doubt, the tick fails instead. Bytes no rule of the line explains make
//   the loop send one zero force and then nothing until the line has been
//   silent for ten exchange deadlines (at least 20 ms): no answer comes
//   later than that, so the line is in step again. Notifications before a
//   reply are skipped.
//
// The safety envelope (SafetyLimits; every limit settable, also while running)
//
//   - magnitude: a force longer than max_force is shortened to it, its
//     direction kept (however long it is, if finite); a lowered limit acts
//     at the next tick, on the force being sent too;
//   - rate of change: the force grows by at most max_force_step per tick;
//     a move toward zero is never slowed;
//   - ramp: after Start(), whenever a fault clears, and when the loop is
//     enabled again, forces are scaled from zero up to full over ramp_time;
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
//   fault was raised) and events (TakeEvents), never exceptions or crashes.
//
//   SetEnabled(false) keeps the loop exchanging and its state current but
//   sends zero force from the next tick on; SetEnabled(true) brings forces
//   back with the ramp.
//
// Ending
//
//   Stop(), the destructor, and process exit (std::exit, returning from
//   main, the Python interpreter's exit) all end the loop the same way: the
//   last request sent is a zero force (unless the port is gone). A Servo on
//   an Arvena it borrowed lends it back then.
//
//   When the loop ends by a fault (the failure limit with stop_on_failure, a
//   disconnect), EndReason() says why, with a summary of the run (ticks
//   lost, overruns, the success rate of the last 100 exchanges), and
//   FlightRecord() keeps the last `flight_record` ticks before the end until
//   the next Start(). Events (a fault raised or cleared, the loop's end)
//   queue up for TakeEvents().
//
//   SIGTERM, SIGHUP and SIGINT end every loop the same way too, while any runs, where the program
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
//   and exchange-latency percentiles, overruns (periods over 1.5 nominal),
//   failures and the success rate of the last 100 exchanges; ResetStats()
//   starts them over. Every tick also goes into a ring of `recording`
//   entries, preallocated, that keeps the newest ticks; Drain() takes what
//   came since the last drain. The tick number shows any gap, and
//   Recording::dropped counts the ticks the ring lost before they were
//   drained, never silently.
//
// Real-time priority
//
//   With realtime Prefer (the default), the servo thread asks for
//   SCHED_FIFO at realtime_priority and locks its buffers in memory, and the
//   loop asks the CPUs to stay out of deep idle states while it runs (a PM
//   QoS request on /dev/cpu_dma_latency: waking from them costs tens to
//   hundreds of microseconds, on this thread and on whatever answers it);
//   where the process may not have these it runs without them. RealTime(),
//   MemoryLocked() and LowCpuLatency() tell which. With Require, Start()
//   throws std::runtime_error with the reason (priority refused, memory
//   lock refused) before anything is sent; with Off, the loop asks for none
//   of it.
//
// Errors
//
//   Options out of range (a rate, limit or time that is zero, negative, NaN
//   or beyond what the loop can do) throw std::invalid_argument naming the
//   option, before the port is touched. A port that cannot be opened throws
//   std::system_error (with the path and errno). A borrowed Arvena that is
//   lent already, or in use on another thread at that moment, throws
//   std::runtime_error. Start() throws std::runtime_error when the arm does
//   not answer a first exchange (tries of max(exchange_timeout, 0.2 s) each,
//   for at least a second; the line must fall quiet before each), when
//   another loop of the process drives the port ("the arm's port is driven
//   by a servo loop of this process"), and in the child of a fork.
//
// Other arms: a Servo never touches the process-wide kinematic model of
// KorvoHardwareAPI's Arvena (calibrations of other arms stay as they are).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Korvo/Realtime/Tap.h"
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

enum class RealTimePolicy : std::uint8_t {
    Off,      // normal priority; nothing is asked for
    Prefer,   // real-time priority and locked memory where the process may have them
    Require,  // Start() fails, before anything is sent, unless the thread gets both
};

struct ServoOptions {
    double rate = 1000.0;            // ticks per second, up to kMaxRate
    double exchange_timeout = 0.0;   // s per tick; 0: three periods
    RealTimePolicy realtime = RealTimePolicy::Prefer;
    int realtime_priority = 80;      // SCHED_FIFO, 1 to 99
    std::uint32_t recording = 65536; // ticks the ring holds; 0: no recording
    std::uint32_t flight_record = 2000;  // ticks kept before a fault ends the loop; 0: none
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
    bool enabled = true;         // forces let through (SetEnabled)
};

// Something the program may want to hear about, in the order it happened.
struct ServoEvent {
    enum class Kind : std::uint8_t { FaultRaised, FaultCleared, Ended };
    Kind kind = Kind::FaultRaised;
    std::uint64_t tick = 0;
    double time = 0.0;           // s since Start()
    std::uint32_t faults = 0;    // Fault bits in force after it
    std::uint32_t changed = 0;   // the faults raised or cleared (Ended: those it ended by)
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
    std::uint64_t resyncs = 0;       // ticks that sent a marker to get back in step
    std::uint64_t late_bytes = 0;    // bytes read that answered no tick (late, broken, markers' answers)
    std::uint64_t lost_lines = 0;    // times the line was waited quiet, its bytes beyond explaining
    double success_rate = 0.0;       // of the last 100 exchanges (fewer after a start), 0 to 1
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
    std::uint64_t dropped = 0;       // ticks the ring lost before they were taken (the newest are kept)
};

// Every tick record, for a reader of its own (a recorder): see Tap.h.
using TickTap = Realtime::Tap<TickRecord>;

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
    // A stream of every tick from now on, `capacity` ticks deep, independent
    // of Drain() (see Tap.h; throws std::invalid_argument for a capacity
    // out of range, std::runtime_error when kMaxTaps are open).
    std::shared_ptr<TickTap> OpenTap(std::size_t capacity);

    // When Start() began, in seconds of the monotonic clock (what Python's
    // time.monotonic() reads): tick times count from there.
    double StartedAt() const noexcept;
    bool RealTime() const noexcept;
    bool MemoryLocked() const noexcept;
    bool LowCpuLatency() const noexcept;
    const ServoOptions& Options() const noexcept;
    // Why the loop ended by a fault (disconnect, failures), with a summary of
    // the run; empty otherwise.
    std::string EndReason() const;

    // Forces on (the default) or off: see "The safety envelope" above.
    void SetEnabled(bool enabled) noexcept;
    bool Enabled() const noexcept;

    // The newest `flight_record` ticks: after a fault ended the loop, those
    // before the end (until the next Start()); while it runs, the latest.
    Recording FlightRecord() const;

    // Events since the last call, oldest first (one reader at a time). The
    // queue holds kEventCapacity; what it cannot hold is counted in
    // EventsDropped() and the newest are the ones missed.
    static constexpr std::size_t kEventCapacity = 1024;
    std::vector<ServoEvent> TakeEvents();
    std::uint64_t EventsDropped() const noexcept;

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
