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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
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
#include "Korvo/Haptics/SeqLock.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"
#include "LoopGuards.h"
#include "Rings.h"

namespace Korvo::Haptics {

namespace {

using HardwareAPI::Devices::Arvena;
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
    RequireFadeTime(o.effect_fade_time);
    Check(o.limits);
}

// -- the loop --------------------------------------------------------------------------------------

class Servo::Impl {
public:
    Impl(const ServoOptions& options, std::unique_ptr<SerialStream> own_stream, std::unique_ptr<Arvena> own_arm,
         Arvena* arm)
        : options_(options),
          own_stream_(std::move(own_stream)),
          own_arm_(std::move(own_arm)),
          arm_(arm),
          stream_(arm->stream),
          period_(std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / options.rate))),
          exchange_timeout_(options.exchange_timeout > 0.0 ? options.exchange_timeout : 3.0 / options.rate),
          limits_(options.limits),
          ring_(options.recording),
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
        {
            const std::lock_guard<std::mutex> lock(writers_);
            command_.Store(force);
        }
        Heartbeat();
    }
    Vector3d Force() const noexcept { return command_.Load(); }
    void Heartbeat() noexcept { last_call_in_.store(Now(), std::memory_order_relaxed); }
    void SetLimits(const SafetyLimits& limits) {
        Servo::Check(limits);
        const std::lock_guard<std::mutex> lock(writers_);
        limits_.Store(limits);
    }
    SafetyLimits Limits() const noexcept { return limits_.Load(); }
    double StartedAt() const noexcept { return Seconds(epoch_.load().time_since_epoch()).count(); }
    ServoState State() const noexcept { return state_.Load(); }
    ServoStats Stats() const noexcept;
    void ResetStats() noexcept;
    Recording Drain() { return ring_.Drain(); }

private:
    friend class Servo;  // the facade reads these as they are
    std::atomic<bool> realtime_{false};
    std::atomic<bool> memory_locked_{false};
    // Held while the loop runs; read from any thread by LowCpuLatency().
    std::atomic<int> cpu_latency_fd_{-1};
    const ServoOptions options_;
    std::function<Vector3d(const TickInput&)> hook_;

public:
    std::string EndReason() const {
        switch (ending_.load()) {
            case Ending::Disconnected:
                return "disconnected: the arm's port hung up";
            case Ending::Failures:
                return "stopped after repeated failed exchanges";
            case Ending::None:
                break;
        }
        return "";
    }

private:
    // Seconds since the loop started (or since construction before that).
    double Now() const noexcept { return Seconds(Clock::now() - epoch_.load()).count(); }
    void Run(std::promise<void>& ready) noexcept;
    void SleepUntil(Clock::time_point when) noexcept;
    void FirstExchange();
    void LastExchange() noexcept;
    Vector3d Desired(const TickInput& input) noexcept;

    std::unique_ptr<SerialStream> own_stream_;
    std::unique_ptr<Arvena> own_arm_;
    Arvena* arm_;
    SerialStream* stream_;
    const Clock::duration period_;
    const double exchange_timeout_;

    std::thread thread_;
    std::mutex stop_mutex_;
    Origin origin_;
    PortClaim claim_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::unique_ptr<ArmLink> link_;
    bool lent_ = false;
    Vector3d first_position_{};

    std::atomic<Clock::time_point> epoch_{Clock::now()};
    std::atomic<double> last_call_in_{0.0};
    mutable std::mutex writers_;  // among the threads that write; never taken by the servo thread
    SeqLock<Vector3d> command_;
    SeqLock<SafetyLimits> limits_;
    SeqLock<ServoState> state_;
    // Why the loop ended by itself; set on the servo thread, which takes no
    // lock.
    enum class Ending : std::uint8_t { None, Disconnected, Failures };
    std::atomic<Ending> ending_{Ending::None};

    Histogram periods_, exchanges_;
    // Totals of this run (Start zeroes them: each run has a link of its
    // own); statistics count from the base ResetStats took.
    std::atomic<std::uint64_t> overruns_{0}, failures_{0}, resyncs_{0}, late_bytes_{0};
    std::atomic<std::uint64_t> stats_failures_base_{0}, stats_resync_base_{0}, stats_late_base_{0};
    std::atomic<Clock::time_point> stats_since_{Clock::now()};
    TickRing ring_;
    EffectStack effects_;
};

void Servo::Impl::Start() {
    origin_.RequireHere("this servo loop");
    if (running_.load()) return;
    const Starting starting;
    Stop();  // a loop that ended by itself is joined, and its arm lent back
    if (stream_ == nullptr) throw std::runtime_error("the arm's port is not open");
    if (!arm_->Lend(this, "a servo loop")) {
        throw std::runtime_error("the arm is lent to another servo loop, or in use on another thread");
    }
    lent_ = true;
    try {
        claim_.Take(*stream_, "a servo loop", "the arm's port");
        link_ = std::make_unique<ArmLink>(*stream_);
        // A short look only: a real-time thread that spins keeps its core
        // from the threads that carry the reply to it (the kernel's tty
        // workers, a simulator), and pays for every microsecond of it.
        link_->SetSpin(kReplySpin);
        link_->SetMarkerGiveUp(std::max<Clock::duration>(
            std::chrono::duration_cast<Clock::duration>(Seconds(10.0 * exchange_timeout_)), std::chrono::milliseconds(20)));
        FirstExchange();
    } catch (...) {
        claim_.Release();
        arm_->Return(this);
        lent_ = false;
        throw;
    }
    ending_ = Ending::None;
    stop_ = false;
    epoch_.store(Clock::now());
    Heartbeat();
    for (auto* total : {&failures_, &resyncs_, &late_bytes_}) total->store(0, std::memory_order_relaxed);
    ResetStats();
    running_ = true;
    std::call_once(g_exit_hook, [] {
        std::atexit([] { StopForGood(); });
        ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
    });
    effects_.SetLive(true);
    if (options_.realtime) {
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
    std::promise<void> ready;
    auto set_up = ready.get_future();
    thread_ = std::thread([this, &ready] { Run(ready); });
    // Once the thread has its priority, RealTime() and MemoryLocked() say
    // what it got.
    set_up.wait();
    // Only a loop whose thread runs is registered: a StopAll that came
    // sooner could not have stopped it (the last one, at exit, waits for
    // every Start under way).
    const std::lock_guard<std::mutex> lock(g_running_mutex);
    g_running.push_back(this);
    if (g_running.size() == 1) ExitSignals::Arm(&StopForGood);
}

void Servo::Impl::FirstExchange() {
    // The arm must answer before the loop can promise anything: a zero force,
    // which also says where the arm is.
    ArmLink::Reply reply;
    const double limit = std::max(exchange_timeout_, kShortestEdgeExchange);
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (link_->Exchange({0.0f, 0.0f, 0.0f}, Deadline(static_cast<float>(limit)), reply)) {
            case ArmLink::Result::Ok: {
                first_position_ = FromWire(reply.position);
                // Where the arm is, readable as soon as Start() returns.
                ServoState before;
                before.position = first_position_;
                before.velocity = FromWire(reply.velocity);
                before.exchange_ok = true;
                state_.Store(before);
                return;
            }
            case ArmLink::Result::HungUp:
                throw std::runtime_error("the arm's port hung up");
            case ArmLink::Result::Failed:
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
        Origin::Forget(thread_);
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
        arm_->Return(this);
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
    Vector3d force = command_.Load();
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

void Servo::Impl::Run(std::promise<void>& ready) noexcept {
    // Timed waits end when they are due, not up to 50 us later.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (options_.realtime) {
        sched_param param{};
        param.sched_priority = options_.realtime_priority;
        realtime_ = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
        // Only what the loop touches: locking the whole process would pin
        // every allocation of the program that runs it.
        memory_locked_ = ::mlock(ring_.Data(), ring_.Bytes()) == 0 &&
                         ::mlock(periods_.Data(), periods_.Bytes()) == 0 &&
                         ::mlock(exchanges_.Data(), exchanges_.Bytes()) == 0;
    }
    ready.set_value();

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
        state.force = FromWire(sending);
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
        const Vector3d next_force = envelope.Next(desired, facts, limits_.Load());
        state.commanded = desired;
        state.faults = envelope.Faults();
        state.fault_time = envelope.FaultTime();
        if (result == ArmLink::Result::HungUp) {
            hung_up = true;
            state.faults |= kDisconnected;
            state.fault_time = state.time;
        }
        state_.Store(state);

        const auto period = start - previous_start;
        previous_start = start;
        if (tick > 0) {
            periods_.Add(period);
            if (period > period_ + period_ / 2) overruns_.fetch_add(1, std::memory_order_relaxed);
        }
        exchanges_.Add(done - start);
        if (!ok) failures_.fetch_add(1, std::memory_order_relaxed);
        resyncs_.store(link_->Resyncs(), std::memory_order_relaxed);
        late_bytes_.store(link_->LateBytes(), std::memory_order_relaxed);

        TickRecord record{};
        record.tick = tick;
        record.time = state.time;
        record.period = tick > 0 ? Seconds(period).count() : 0.0;
        record.exchange = Seconds(done - start).count();
        record.position = ToWire(state.position);
        record.velocity = ToWire(state.velocity);
        record.force = sending;
        record.commanded = ToWire(IsFinite(desired) ? desired : kZero);
        record.faults = state.faults;
        record.exchange_ok = ok ? 1u : 0u;
        ring_.Push(record);

        if (hung_up || envelope.StopRequested()) break;
        sending = ToWire(next_force);
        next += period_;
        const auto now = Clock::now();
        if (next < now) next = now;  // fell behind: start again from now, no catching up
    }

    if (hung_up) {
        ending_ = Ending::Disconnected;
    } else {
        if (!stop_.load()) ending_ = Ending::Failures;
        LastExchange();
    }
    claim_.Release();  // a new stream may take the port over now
    running_ = false;  // Stop() still joins the thread and lends the arm back
}

void Servo::Impl::LastExchange() noexcept {
    // Whatever ends the loop, the arm's last command is a zero force. The
    // exchange resynchronises, so a borrowed arm is handed back with its
    // line in step.
    link_->Desynchronise();
    ArmLink::Reply reply;
    const double limit = std::max(exchange_timeout_, kShortestEdgeExchange);
    link_->Exchange({0.0f, 0.0f, 0.0f}, Deadline(static_cast<float>(limit)), reply);
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
    return s;
}

void Servo::Impl::ResetStats() noexcept {
    periods_.Reset();
    exchanges_.Reset();
    overruns_.store(0, std::memory_order_relaxed);
    stats_failures_base_.store(failures_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_resync_base_.store(resyncs_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    stats_late_base_.store(late_bytes_.load(std::memory_order_relaxed), std::memory_order_relaxed);
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
    auto arm = std::make_unique<Arvena>(stream.get());
    Arvena* raw = arm.get();
    impl_ = std::make_unique<Impl>(options, std::move(stream), std::move(arm), raw);
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
bool Servo::RealTime() const noexcept { return impl_->realtime_; }
double Servo::StartedAt() const noexcept { return impl_->StartedAt(); }
bool Servo::MemoryLocked() const noexcept { return impl_->memory_locked_; }
bool Servo::LowCpuLatency() const noexcept { return impl_->cpu_latency_fd_ >= 0; }
const ServoOptions& Servo::Options() const noexcept { return impl_->options_; }
std::string Servo::EndReason() const { return impl_->EndReason(); }

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
