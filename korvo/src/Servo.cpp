#include "Korvo/Haptics/Servo.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "ArmLink.h"
#include "Checks.h"
#include "Envelope.h"
#include "ExitSignals.h"
#include "Histogram.h"
#include "Korvo/Haptics/Effects.h"
#include "Korvo/Realtime/Mailbox.h"
#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/Devices/Device.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"
#include "Realtime/LoopGuards.h"
#include "Realtime/Taps.h"
#include "TickRing.h"

namespace Korvo::Haptics {

namespace {

using HardwareAPI::Devices::Arvena;
using HardwareAPI::Devices::Device;
using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::SerialStream;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The tick's sleep ends this much early and spins the rest: waking from a
// sleep takes tens of microseconds at normal priority, more on a virtual
// machine. At real-time priority the kernel wakes the thread within a few,
// and a spin would only hold the core.
constexpr auto kFinalSpin = std::chrono::microseconds(20);
constexpr auto kReplySpin = std::chrono::microseconds(10);
// The first exchange, and the last (the zero force), get at least this long.
constexpr double kShortestEdgeExchange = 0.2;
// How long the arm has to give its first answer, over several tries.
constexpr double kFirstAnswerWithin = 1.0;
// How long a line must be silent before a loop starts (or hands a borrowed
// arm back): answers to requests made before then must have come by that
// time, so that none is taken for the first tick's.
constexpr auto kStartQuiet = std::chrono::milliseconds(20);

void Require(bool ok, const char* name, const char* rule, double value) {
    if (!ok) Refuse(name, rule, value);
}

bool Within(double value, double low, double high) { return std::isfinite(value) && value > low && value <= high; }

std::array<float, 3> ToWire(const Vector3d& v) {
    return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}
Vector3d FromWire(const std::array<float, 3>& v) { return {v[0], v[1], v[2]}; }

// Every running loop, for StopAll. While there is one, termination signals
// end the loops first (ExitSignals).
std::mutex g_running_mutex;
std::vector<Servo::Impl*> g_running;
std::once_flag g_exit_hook;
// Start() calls under way, and whether the process is ending: then no loop
// starts any more, and the last StopAll waits for those that are starting
// (on other threads, which exit does not wait for).
int g_starting = 0;
bool g_ending = false;
std::condition_variable g_starts_done;

// The process is ending (exit, a termination signal): every loop stops, none
// starts after.
void StopForGood() noexcept {
    {
        std::unique_lock<std::mutex> lock(g_running_mutex);
        g_ending = true;
        g_starts_done.wait(lock, [] { return g_starting == 0; });
    }
    Servo::StopAll();
}

// Counts a Start() under way, refused once the process is ending.
class Starting {
public:
    Starting() {
        const std::lock_guard<std::mutex> lock(g_running_mutex);
        if (g_ending) throw std::runtime_error("the process is ending: no servo loop starts now");
        ++g_starting;
    }
    ~Starting() {
        const std::lock_guard<std::mutex> lock(g_running_mutex);
        --g_starting;
        g_starts_done.notify_all();
    }
    Starting(const Starting&) = delete;
    Starting& operator=(const Starting&) = delete;
};

// A fork's child runs none of its parent's loops: it forgets them, so that
// StopAll there neither joins nor sends anything.
void BeforeFork() noexcept {
    g_running_mutex.lock();
    ExitSignals::BeforeFork();
}
void AfterForkInParent() noexcept {
    ExitSignals::AfterForkInParent();
    g_running_mutex.unlock();
}
void AfterForkInChild() noexcept {
    g_running.clear();
    g_starting = 0;  // the starts were the parent's threads'
    g_ending = false;
    ExitSignals::AfterForkInChild();
    g_running_mutex.unlock();
}

}  // namespace

std::string FaultNames(std::uint32_t faults) {
    static constexpr std::pair<std::uint32_t, const char*> kNames[] = {
        {kSpeed, "speed"}, {kHeartbeat, "heartbeat"}, {kExchanges, "exchanges"},
        {kDisconnected, "disconnected"}, {kBadForce, "bad-force"}};
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if ((faults & bit) == 0) continue;
        if (!names.empty()) names += ",";
        names += name;
    }
    return names;
}

void Servo::Check(const SafetyLimits& l) {
    Require(Within(l.max_force, 0.0, 1000.0), "max_force", "above 0 and at most 1000 N", l.max_force);
    Require(Within(l.max_force_step, 0.0, 1000.0), "max_force_step", "above 0 and at most 1000 N", l.max_force_step);
    Require(Within(l.ramp_time, 0.0, 3600.0), "ramp_time", "above 0 and at most 3600 s", l.ramp_time);
    Require(Within(l.max_speed, 0.0, 100.0), "max_speed", "above 0 and at most 100 m/s", l.max_speed);
    Require(l.heartbeat == 0.0 || Within(l.heartbeat, 0.0, 3600.0), "heartbeat", "above 0 and at most 3600 s (0: off)",
            l.heartbeat);
    Require(Within(l.fade_time, 0.0, 3600.0), "fade_time", "above 0 and at most 3600 s", l.fade_time);
    Require(l.max_failed_exchanges >= 1, "max_failed_exchanges", "at least 1", l.max_failed_exchanges);
}

void Servo::Check(const ServoOptions& o) {
    Require(Within(o.rate, 0.0, ServoOptions::kMaxRate), "rate", "above 0 and at most 20000 Hz", o.rate);
    Require(o.exchange_timeout == 0.0 || Within(o.exchange_timeout, 0.0, 10.0), "exchange_timeout",
            "above 0 and at most 10 s (0: three periods)", o.exchange_timeout);
    Require(o.realtime_priority >= 1 && o.realtime_priority <= 99, "realtime_priority", "from 1 to 99",
            o.realtime_priority);
    Require(o.recording <= (1u << 24), "recording", "at most 16777216 ticks", o.recording);
    Require(o.flight_record <= (1u << 20), "flight_record", "at most 1048576 ticks", o.flight_record);
    RequireFadeTime(o.effect_fade_time);
    Check(o.limits);
}

// -- the loop --------------------------------------------------------------------------------------

class Servo::Impl {
public:
    Impl(const ServoOptions& options, std::unique_ptr<SerialStream> own_stream, std::unique_ptr<Device> own_device,
         Device* device)
        : options_(options),
          own_stream_(std::move(own_stream)),
          own_device_(std::move(own_device)),
          device_(device),
          stream_(device->stream),
          period_(std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / options.rate))),
          exchange_timeout_(options.exchange_timeout > 0.0 ? options.exchange_timeout : 3.0 / options.rate),
          limits_(options.limits),
          ring_(options.recording),
          flight_(options.flight_record),
          events_(kEventCapacity),
          effects_(options.effect_fade_time) {}

    ~Impl() { Stop(); }

    void Start();
    // Takes the loop off the registry of running loops, then ends it.
    void Stop() noexcept;
    // Ends the loop and lends the arm back (StopAll holds the registry).
    void EndLoop() noexcept;
    bool Running() const noexcept { return running_.load() && !origin_.Forked(); }

    void SetForce(const Vector3d& force) {
        RequireFinite(force, "force");
        command_.Write(force);
        Heartbeat();
    }
    Vector3d Force() const { return command_.Latest(); }
    void Heartbeat() noexcept { last_call_in_.store(Now(), std::memory_order_relaxed); }
    void SetLimits(const SafetyLimits& limits) {
        Servo::Check(limits);
        limits_.Write(limits);
    }
    SafetyLimits Limits() const { return limits_.Latest(); }
    double StartedAt() const noexcept { return Seconds(epoch_.load().time_since_epoch()).count(); }
    ServoState State() const noexcept { return state_.Load(); }
    ServoStats Stats() const noexcept;
    void ResetStats() noexcept;
    Recording Drain() { return ring_.Drain(); }
    std::string EndReason() const;
    void SetEnabled(bool enabled) noexcept { enabled_.store(enabled, std::memory_order_relaxed); }
    bool Enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
    Recording FlightRecord() const;
    std::vector<ServoEvent> TakeEvents() {
        std::vector<ServoEvent> out;
        events_.DrainInto(out);
        return out;
    }
    std::uint64_t EventsDropped() const noexcept { return events_dropped_.load(std::memory_order_relaxed); }
    std::shared_ptr<TickTap> OpenTap(std::size_t capacity) { return taps_->Open(capacity); }

private:
    friend class Servo;  // the facade reads these as they are
    std::atomic<bool> realtime_{false};
    std::atomic<bool> memory_locked_{false};
    // Held while the loop runs; read from any thread by LowCpuLatency().
    std::atomic<int> cpu_latency_fd_{-1};
    const ServoOptions options_;
    std::function<Vector3d(const TickInput&)> hook_;

    // What the servo thread got of real-time scheduling, and why not.
    struct Setup {
        bool realtime = false;
        bool memory_locked = false;
        std::string refused;  // empty when nothing was refused
    };

    // Seconds since the loop started (or since construction before that).
    double Now() const noexcept { return Seconds(Clock::now() - epoch_.load()).count(); }
    void Run(std::promise<Setup>& ready, std::future<bool> go) noexcept;
    Setup AskForRealTime() noexcept;
    void SleepUntil(Clock::time_point when) noexcept;
    void FirstExchange();
    void LastExchange() noexcept;
    Vector3d Desired(const TickInput& input) noexcept;
    void Event(ServoEvent::Kind kind, const ServoState& state, std::uint32_t changed) noexcept {
        if (!events_.Push(ServoEvent{kind, state.tick, state.time, state.faults, changed})) {
            events_dropped_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Ends the thread before the loop began (Start() gave up).
    void Abandon(std::promise<bool>& go) noexcept;

    std::unique_ptr<SerialStream> own_stream_;
    std::unique_ptr<Device> own_device_;
    Device* device_;
    SerialStream* stream_;
    const Clock::duration period_;
    const double exchange_timeout_;

    std::thread thread_;
    std::mutex stop_mutex_;
    Realtime::Origin origin_;
    Realtime::PortClaim claim_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::unique_ptr<ArmLink> link_;
    bool lent_ = false;
    Vector3d first_position_{};

    std::atomic<Clock::time_point> epoch_{Clock::now()};
    std::atomic<double> last_call_in_{0.0};
    std::atomic<bool> enabled_{true};
    Realtime::Mailbox<Vector3d> command_;
    Realtime::Mailbox<SafetyLimits> limits_;
    Realtime::SeqLock<ServoState> state_;
    // Why the loop ended by itself; set on the servo thread, which takes no
    // lock.
    enum class Ending : std::uint8_t { None, Disconnected, Failures };
    std::atomic<Ending> ending_{Ending::None};
    std::atomic<std::uint64_t> end_tick_{0};
    std::atomic<double> end_time_{0.0};

    Histogram periods_, exchanges_;
    // Totals of this run (Start zeroes them: each run has a link of its
    // own); statistics count from the base ResetStats took.
    std::atomic<std::uint64_t> ticks_{0}, overruns_{0}, failures_{0}, resyncs_{0}, late_bytes_{0}, lost_lines_{0};
    std::atomic<std::uint64_t> run_overruns_{0};
    std::atomic<std::uint64_t> stats_failures_base_{0}, stats_resync_base_{0}, stats_late_base_{0}, stats_lost_base_{0};
    // The last 100 exchanges: how many of them (fewer after a start) and how
    // many went right; the servo thread keeps the bits.
    std::atomic<std::uint32_t> window_{0}, window_ok_{0};
    std::atomic<Clock::time_point> stats_since_{Clock::now()};
    TickRing ring_;
    Realtime::NewestRing<TickRecord> flight_;
    // The flight record's end: the newest tick of a loop a fault ended (its
    // number in the ring, plus one); 0 while the record follows the loop.
    std::atomic<std::uint64_t> flight_end_{0};
    Realtime::DropRing<ServoEvent> events_;
    std::atomic<std::uint64_t> events_dropped_{0};
    std::shared_ptr<Realtime::TapSlots<TickRecord>> taps_ = std::make_shared<Realtime::TapSlots<TickRecord>>();
    EffectStack effects_;
};

Servo::Impl::Setup Servo::Impl::AskForRealTime() noexcept {
    Setup setup;
    if (options_.realtime == RealTimePolicy::Off) return setup;
    char words[256] = "";
    sched_param param{};
    param.sched_priority = options_.realtime_priority;
    if (const int err = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param); err == 0) {
        setup.realtime = true;
    } else {
        std::snprintf(words, sizeof words, "real-time priority refused (SCHED_FIFO at %d: %s)",
                      options_.realtime_priority, std::strerror(err));
        setup.refused = words;
    }
    // Only what the loop touches: locking the whole process would pin every
    // allocation of the program that runs it.
    const std::pair<const void*, std::size_t> buffers[] = {{ring_.Data(), ring_.Bytes()},
                                                          {flight_.Data(), flight_.Bytes()},
                                                          {periods_.Data(), periods_.Bytes()},
                                                          {exchanges_.Data(), exchanges_.Bytes()}};
    setup.memory_locked = true;
    for (const auto& [data, bytes] : buffers) {
        if (bytes == 0 || ::mlock(data, bytes) == 0) continue;
        if (setup.memory_locked) {
            std::snprintf(words, sizeof words, "memory lock refused (%zu bytes: %s)", bytes, std::strerror(errno));
            setup.refused += (setup.refused.empty() ? "" : "; ") + std::string(words);
        }
        setup.memory_locked = false;
    }
    return setup;
}

void Servo::Impl::Start() {
    origin_.RequireHere("this servo loop");
    if (running_.load()) return;
    const Starting starting;
    Stop();  // a loop that ended by itself is joined, and its arm lent back
    if (stream_ == nullptr) throw std::runtime_error("the arm's port is not open");
    if (!device_->Lend(this, "a servo loop")) {
        throw std::runtime_error("the arm is lent to another servo loop, or in use on another thread");
    }
    lent_ = true;
    // What a start that fails has taken, given back.
    const auto give_back = [this]() noexcept {
        claim_.Release();
        device_->Return(this);
        lent_ = false;
    };
    std::promise<Setup> ready;
    std::promise<bool> go;
    auto set_up = ready.get_future();
    stop_ = false;
    try {
        // The port first: whether it is open, and this process's, comes
        // before whether real time is granted. Then the thread: it asks for
        // real time and waits at the gate, so that a loop that requires
        // real time fails before anything is sent.
        claim_.Take(*stream_, "a servo loop", "the arm's port");
        thread_ = std::thread([this, &ready, gate = go.get_future()]() mutable { Run(ready, std::move(gate)); });
    } catch (...) {
        give_back();
        throw;
    }
    const Setup setup = set_up.get();
    realtime_ = setup.realtime;
    memory_locked_ = setup.memory_locked;
    try {
        if (options_.realtime == RealTimePolicy::Require && !(setup.realtime && setup.memory_locked)) {
            throw std::runtime_error("the loop requires real-time scheduling: " + setup.refused);
        }
        link_ = std::make_unique<ArmLink>(*stream_);
        // A short look only: a real-time thread that spins keeps its core
        // from the threads that carry the reply to it (the kernel's tty
        // workers, a simulator), and pays for every microsecond of it.
        link_->SetSpin(kReplySpin);
        link_->SetQuietTime(std::max<Clock::duration>(
            std::chrono::duration_cast<Clock::duration>(Seconds(10.0 * exchange_timeout_)), std::chrono::milliseconds(20)));
        FirstExchange();
    } catch (...) {
        Abandon(go);
        give_back();
        throw;
    }
    ending_ = Ending::None;
    epoch_.store(Clock::now());
    Heartbeat();
    for (auto* total : {&ticks_, &failures_, &resyncs_, &late_bytes_, &lost_lines_, &run_overruns_}) {
        total->store(0, std::memory_order_relaxed);
    }
    window_.store(0, std::memory_order_relaxed);
    window_ok_.store(0, std::memory_order_relaxed);
    flight_end_.store(0, std::memory_order_relaxed);
    ResetStats();
    running_ = true;
    std::call_once(g_exit_hook, [] {
        std::atexit([] { StopForGood(); });
        ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
    });
    effects_.SetLive(true);
    if (options_.realtime != RealTimePolicy::Off) {
        // Asks the CPUs to stay out of deep idle states while the loop runs:
        // waking from them takes tens to hundreds of microseconds (more on a
        // virtual machine), for this thread and for whatever answers it. The
        // request lasts as long as the descriptor is open.
        int fd = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
        const std::int32_t zero = 0;
        if (fd >= 0 && ::write(fd, &zero, sizeof zero) != sizeof zero) {
            ::close(fd);
            fd = -1;
        }
        cpu_latency_fd_ = fd;
    }
    go.set_value(true);
    // Only a loop whose thread runs is registered: a StopAll that came
    // sooner could not have stopped it (the last one, at exit, waits for
    // every Start under way).
    const std::lock_guard<std::mutex> lock(g_running_mutex);
    g_running.push_back(this);
    if (g_running.size() == 1) ExitSignals::Arm(&StopForGood);
}

void Servo::Impl::Abandon(std::promise<bool>& go) noexcept {
    go.set_value(false);
    if (thread_.joinable()) thread_.join();
}

void Servo::Impl::FirstExchange() {
    // The line's past is unknown (a borrowed arm may have answers on their
    // way): it must fall quiet first. Then the arm must answer before the
    // loop can promise anything: a zero force, which also says where the arm
    // is.
    const double limit = std::max(exchange_timeout_, kShortestEdgeExchange);
    if (!link_->Settle(Deadline(static_cast<float>(limit + Seconds(kStartQuiet).count())), kStartQuiet)) {
        if (!stream_->good()) throw std::runtime_error("the arm's port hung up");
        throw std::runtime_error("the arm's line does not fall quiet on " + stream_->PortName());
    }
    // Several tries, for a second at least: on a busy machine the arm's
    // first answer (or a late one to whatever the line carried before) can
    // take longer than an exchange may once the loop runs.
    const Deadline overall(static_cast<float>(std::max(kFirstAnswerWithin, 2.0 * limit)));
    ArmLink::Reply reply;
    while (!overall.Passed()) {
        switch (link_->Exchange({0.0f, 0.0f, 0.0f}, Deadline::Earlier(Deadline(static_cast<float>(limit)), overall), reply)) {
            case ArmLink::Result::Ok: {
                first_position_ = FromWire(reply.position);
                // Where the arm is, readable as soon as Start() returns.
                ServoState before;
                before.position = first_position_;
                before.velocity = FromWire(reply.velocity);
                before.exchange_ok = true;
                before.enabled = enabled_.load();
                state_.Store(before);
                return;
            }
            case ArmLink::Result::HungUp:
                throw std::runtime_error("the arm's port hung up");
            case ArmLink::Result::Failed:
                break;
        }
        // Whatever came instead of the answer must be over before the next try.
        if (!link_->Settle(overall, kStartQuiet)) {
            if (!stream_->good()) throw std::runtime_error("the arm's port hung up");
            break;
        }
    }
    throw std::runtime_error("no reply from the arm on " + stream_->PortName());
}

void Servo::Impl::Stop() noexcept {
    // Ended before it leaves the registry: a termination signal meanwhile
    // still waits for its zero force.
    EndLoop();
    if (origin_.Forked()) return;  // the child's registry does not hold the parent's loops
    const std::lock_guard<std::mutex> lock(g_running_mutex);
    g_running.erase(std::remove(g_running.begin(), g_running.end(), this), g_running.end());
    if (g_running.empty()) ExitSignals::Disarm();
}

void Servo::Impl::EndLoop() noexcept {
    if (origin_.Forked()) {
        // The loop runs in the parent, which sends its zero force.
        Realtime::Origin::Forget(thread_);
        return;
    }
    const std::lock_guard<std::mutex> lock(stop_mutex_);
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
        effects_.SetLive(false);
    }
    if (const int fd = cpu_latency_fd_.exchange(-1); fd >= 0) ::close(fd);
    claim_.Release();
    if (lent_) {
        device_->Return(this);
        lent_ = false;
    }
    running_ = false;
}

void Servo::Impl::SleepUntil(Clock::time_point when) noexcept {
    // An absolute sleep on the monotonic clock (ticks do not drift), ended
    // kFinalSpin early and spun out. Long sleeps (slow rates) go in slices,
    // so that Stop() is never kept waiting long.
    const auto wake = when - (realtime_.load(std::memory_order_relaxed) ? Clock::duration::zero() : kFinalSpin);
    for (auto now = Clock::now(); now < wake && !stop_.load(std::memory_order_relaxed); now = Clock::now()) {
        const auto until = std::min(wake, now + std::chrono::milliseconds(20));
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
        const timespec at{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    }
    while (Clock::now() < when && !stop_.load(std::memory_order_relaxed)) {
    }
}

Vector3d Servo::Impl::Desired(const TickInput& input) noexcept {
    Vector3d force = command_.Read();
    if (hook_) {
        try {
            force += hook_(input);
        } catch (...) {
            return {NAN, NAN, NAN};
        }
    }
    force += effects_.Force(input);
    return force;
}

void Servo::Impl::Run(std::promise<Setup>& ready, std::future<bool> go) noexcept {
    // Timed waits end when they are due, not up to 50 us later.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    ready.set_value(AskForRealTime());
    if (!go.get()) return;

    Envelope envelope;
    envelope.Start(0.0);
    const Clock::time_point epoch = epoch_.load();
    const double dt = Seconds(period_).count();
    std::array<float, 3> sending{0.0f, 0.0f, 0.0f};
    ServoState state;
    state.position = first_position_;
    Clock::time_point next = epoch;
    Clock::time_point previous_start = epoch;
    bool hung_up = false;
    // The last 100 exchanges, a bit each (bit 0 the newest).
    std::uint64_t recent_low = 0, recent_high = 0;
    std::uint32_t window = 0;

    for (std::uint64_t tick = 0; !stop_.load(std::memory_order_relaxed); ++tick) {
        SleepUntil(next);
        if (stop_.load(std::memory_order_relaxed)) break;
        const Clock::time_point start = Clock::now();
        ArmLink::Reply reply;
        const ArmLink::Result result =
            link_->Exchange(sending, Deadline::At(start + std::chrono::duration_cast<Clock::duration>(
                                                                Seconds(exchange_timeout_))),
                            reply);
        const Clock::time_point done = Clock::now();
        const bool ok = result == ArmLink::Result::Ok;

        state.tick = tick;
        state.time = Seconds(start - epoch).count();
        // What the arm heard last: this tick's force, or a zero force the
        // link sent on its own while it waits for a lost line to fall quiet.
        state.force = FromWire(link_->LastSent());
        state.exchange_ok = ok;
        if (ok) {
            state.position = FromWire(reply.position);
            state.velocity = FromWire(reply.velocity);
        }
        TickInput input{tick, state.time, dt, state.position, state.velocity, ok};
        const Vector3d desired = Desired(input);
        Envelope::Tick facts;
        facts.now = state.time;
        facts.dt = dt;
        facts.exchange_ok = ok;
        facts.speed = Norm(state.velocity);
        facts.since_call_in = state.time - last_call_in_.load(std::memory_order_relaxed);
        facts.enabled = enabled_.load(std::memory_order_relaxed);
        const Vector3d next_force = envelope.Next(desired, facts, limits_.Read());
        const std::uint32_t faults_before = state.faults;
        state.commanded = desired;
        state.enabled = facts.enabled;
        state.faults = envelope.Faults();
        state.fault_time = envelope.FaultTime();
        if (result == ArmLink::Result::HungUp) {
            hung_up = true;
            state.faults |= kDisconnected;
            state.fault_time = state.time;
        }
        state_.Store(state);
        if (const std::uint32_t raised = state.faults & ~faults_before) Event(ServoEvent::Kind::FaultRaised, state, raised);
        if (const std::uint32_t cleared = faults_before & ~state.faults) Event(ServoEvent::Kind::FaultCleared, state, cleared);

        const auto period = start - previous_start;
        previous_start = start;
        if (tick > 0) {
            periods_.Add(period);
            if (period > period_ + period_ / 2) {
                overruns_.fetch_add(1, std::memory_order_relaxed);
                run_overruns_.fetch_add(1, std::memory_order_relaxed);
            }
        }
        exchanges_.Add(done - start);
        ticks_.fetch_add(1, std::memory_order_relaxed);
        if (!ok) failures_.fetch_add(1, std::memory_order_relaxed);
        resyncs_.store(link_->Resyncs(), std::memory_order_relaxed);
        late_bytes_.store(link_->LateBytes(), std::memory_order_relaxed);
        lost_lines_.store(link_->LostLines(), std::memory_order_relaxed);
        recent_high = (recent_high << 1 | recent_low >> 63) & ((1ull << 36) - 1);
        recent_low = recent_low << 1 | (ok ? 1u : 0u);
        window = std::min<std::uint32_t>(window + 1, 100);
        window_.store(window, std::memory_order_relaxed);
        window_ok_.store(static_cast<std::uint32_t>(std::popcount(recent_low) + std::popcount(recent_high)),
                         std::memory_order_relaxed);

        TickRecord record{};
        record.tick = tick;
        record.time = state.time;
        record.period = tick > 0 ? Seconds(period).count() : 0.0;
        record.exchange = Seconds(done - start).count();
        record.position = ToWire(state.position);
        record.velocity = ToWire(state.velocity);
        record.force = link_->LastSent();
        record.commanded = ToWire(IsFinite(desired) ? desired : kZero);
        record.faults = state.faults;
        record.exchange_ok = ok ? 1u : 0u;
        ring_.Push(record);
        flight_.Push(record);
        taps_->Publish(record);

        if (hung_up || envelope.StopRequested()) break;
        sending = ToWire(next_force);
        next += period_;
        const auto now = Clock::now();
        if (next < now) next = now;  // fell behind: start again from now, no catching up
    }

    std::uint32_t ended_by = 0;
    if (hung_up) {
        ending_ = Ending::Disconnected;
        ended_by = kDisconnected;
    } else {
        if (!stop_.load()) {
            ending_ = Ending::Failures;
            ended_by = kExchanges;
        }
        LastExchange();
    }
    if (ended_by != 0) {
        flight_end_.store(flight_.Head(), std::memory_order_release);
        end_tick_.store(state.tick, std::memory_order_relaxed);
        end_time_.store(state.time, std::memory_order_relaxed);
    }
    Event(ServoEvent::Kind::Ended, state, ended_by);
    claim_.Release();  // a new stream may take the port over now
    running_ = false;  // Stop() still joins the thread and lends the arm back
}

void Servo::Impl::LastExchange() noexcept {
    // Whatever ends the loop, the arm's last command is a zero force. A
    // borrowed arm is handed back with its line quiet and in step.
    ArmLink::Reply reply;
    const double limit = std::max(exchange_timeout_, kShortestEdgeExchange);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto result = link_->Exchange({0.0f, 0.0f, 0.0f}, Deadline(static_cast<float>(limit)), reply);
        if (result != ArmLink::Result::Failed) break;
    }
    if (!link_->InStep()) link_->Settle(Deadline(static_cast<float>(limit + Seconds(kStartQuiet).count())), kStartQuiet);
}

std::string Servo::Impl::EndReason() const {
    const Ending ending = ending_.load();
    if (ending == Ending::None) return "";
    const std::uint64_t ticks = ticks_.load(std::memory_order_relaxed);
    const std::uint32_t window = window_.load(std::memory_order_relaxed);
    const std::uint32_t ok = window_ok_.load(std::memory_order_relaxed);
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  " at tick %llu (%.3f s): %llu of %llu ticks failed, %llu overruns, %u of the last %u exchanges "
                  "succeeded",
                  static_cast<unsigned long long>(end_tick_.load()), end_time_.load(),
                  static_cast<unsigned long long>(failures_.load(std::memory_order_relaxed)),
                  static_cast<unsigned long long>(ticks),
                  static_cast<unsigned long long>(run_overruns_.load(std::memory_order_relaxed)), ok, window);
    return (ending == Ending::Disconnected ? "disconnected: the arm's port hung up"
                                           : "stopped after repeated failed exchanges") +
           std::string(summary);
}

Recording Servo::Impl::FlightRecord() const {
    Recording out;
    const std::uint64_t end = flight_end_.load(std::memory_order_acquire);
    const std::uint64_t head = end != 0 ? end : flight_.Head();
    const std::uint64_t keep = options_.flight_record;
    out.dropped = flight_.ReadFrom(head > keep ? head - keep : 0, head, out.ticks);
    return out;
}

ServoStats Servo::Impl::Stats() const noexcept {
    ServoStats s;
    s.ticks = exchanges_.Count();  // one exchange time per tick
    s.seconds = Seconds(Clock::now() - stats_since_.load()).count();
    s.rate = s.seconds > 0.0 ? static_cast<double>(s.ticks) / s.seconds : 0.0;
    s.period_p50 = periods_.Percentile(0.5);
    s.period_p99 = periods_.Percentile(0.99);
    s.period_p999 = periods_.Percentile(0.999);
    s.period_max = periods_.Max();
    s.overruns = overruns_.load(std::memory_order_relaxed);
    s.exchange_p50 = exchanges_.Percentile(0.5);
    s.exchange_p99 = exchanges_.Percentile(0.99);
    s.exchange_max = exchanges_.Max();
    s.failed_exchanges = failures_.load(std::memory_order_relaxed) - stats_failures_base_.load(std::memory_order_relaxed);
    s.resyncs = resyncs_.load(std::memory_order_relaxed) - stats_resync_base_.load(std::memory_order_relaxed);
    s.late_bytes = late_bytes_.load(std::memory_order_relaxed) - stats_late_base_.load(std::memory_order_relaxed);
    s.lost_lines = lost_lines_.load(std::memory_order_relaxed) - stats_lost_base_.load(std::memory_order_relaxed);
    const std::uint32_t window = window_.load(std::memory_order_relaxed);
    s.success_rate = window > 0 ? static_cast<double>(window_ok_.load(std::memory_order_relaxed)) / window : 0.0;
    return s;
}

void Servo::Impl::ResetStats() noexcept {
    periods_.Reset();
    exchanges_.Reset();
    overruns_.store(0, std::memory_order_relaxed);
    stats_failures_base_.store(failures_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_resync_base_.store(resyncs_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_late_base_.store(late_bytes_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_lost_base_.store(lost_lines_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_since_.store(Clock::now());
}

// -- the facade ----------------------------------------------------------------------------------------

namespace {

std::unique_ptr<SerialStream> OpenPort(const std::string& port) {
    auto stream = std::make_unique<SerialStream>(port, false);
    if (stream->OpenPort() != 1) {
        throw std::system_error(errno, std::generic_category(), port);
    }
    return stream;
}

}  // namespace

Servo::Servo(const std::string& port, const ServoOptions& options) {
    Check(options);
    auto stream = OpenPort(port);
    // A device, not an Arvena: building an Arvena would reset the
    // process-wide kinematic model under every other arm.
    auto device = std::make_unique<Device>(stream.get());
    Device* raw = device.get();
    impl_ = std::make_unique<Impl>(options, std::move(stream), std::move(device), raw);
}

Servo::Servo(Arvena& arm, const ServoOptions& options) {
    Check(options);
    impl_ = std::make_unique<Impl>(options, nullptr, nullptr, &arm);
}

Servo::~Servo() = default;

void Servo::Start() { impl_->Start(); }
void Servo::Stop() { impl_->Stop(); }
bool Servo::Running() const noexcept { return impl_->Running(); }
void Servo::SetForce(const Vector3d& force) { impl_->SetForce(force); }
Vector3d Servo::Force() const noexcept { return impl_->Force(); }
void Servo::Heartbeat() noexcept { impl_->Heartbeat(); }
void Servo::SetLimits(const SafetyLimits& limits) { impl_->SetLimits(limits); }
SafetyLimits Servo::Limits() const noexcept { return impl_->Limits(); }
ServoState Servo::State() const noexcept { return impl_->State(); }
ServoStats Servo::Stats() const noexcept { return impl_->Stats(); }
void Servo::ResetStats() noexcept { impl_->ResetStats(); }
Recording Servo::Drain() { return impl_->Drain(); }
std::shared_ptr<TickTap> Servo::OpenTap(std::size_t capacity) { return impl_->OpenTap(capacity); }
bool Servo::RealTime() const noexcept { return impl_->realtime_; }
double Servo::StartedAt() const noexcept { return impl_->StartedAt(); }
bool Servo::MemoryLocked() const noexcept { return impl_->memory_locked_; }
bool Servo::LowCpuLatency() const noexcept { return impl_->cpu_latency_fd_ >= 0; }
const ServoOptions& Servo::Options() const noexcept { return impl_->options_; }
std::string Servo::EndReason() const { return impl_->EndReason(); }
void Servo::SetEnabled(bool enabled) noexcept { impl_->SetEnabled(enabled); }
bool Servo::Enabled() const noexcept { return impl_->Enabled(); }
Recording Servo::FlightRecord() const { return impl_->FlightRecord(); }
std::vector<ServoEvent> Servo::TakeEvents() { return impl_->TakeEvents(); }
std::uint64_t Servo::EventsDropped() const noexcept { return impl_->EventsDropped(); }

EffectStack& Servo::Effects() noexcept { return impl_->effects_; }

void Servo::SetForceHook(std::function<Vector3d(const TickInput&)> hook) {
    if (impl_->Running()) throw std::logic_error("the force hook is set before the loop starts");
    impl_->hook_ = std::move(hook);
}

void Servo::StopAll() noexcept {
    const std::lock_guard<std::mutex> lock(g_running_mutex);
    for (Impl* impl : g_running) impl->EndLoop();
    g_running.clear();
    ExitSignals::Disarm();
}

}  // namespace Korvo::Haptics
