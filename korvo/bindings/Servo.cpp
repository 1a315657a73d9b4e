// korvo.Servo: the native servo loop, from Python.
//
// Calls that wait (start, stop) release the interpreter lock; the servo
// thread never takes it. Values cross in C++: force and state as tuples of
// floats, the recording as numpy arrays filled in one pass, so that nothing
// is done in Python per tick.

#include "Korvo/Haptics/Servo.h"

#include "Korvo/Haptics/Effects.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

namespace {

using HardwareAPI::Devices::Arvena;

py::tuple FaultTuple(std::uint32_t faults) {
    py::list names;
    for (std::uint32_t bit = 1; bit != 0 && bit <= faults; bit <<= 1) {
        if ((faults & bit) != 0) names.append(FaultNames(bit));
    }
    return py::tuple(names);
}

// Options from keyword arguments; None leaves the default (or means "off"
// where the C++ side says 0).
// realtime= as Python says it: True ("prefer"), False ("off"), or one of the
// three words.
RealTimePolicy PolicyFrom(const py::object& value) {
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>() ? RealTimePolicy::Prefer : RealTimePolicy::Off;
    if (py::isinstance<py::str>(value)) {
        const std::string word = value.cast<std::string>();
        if (word == "off") return RealTimePolicy::Off;
        if (word == "prefer") return RealTimePolicy::Prefer;
        if (word == "require") return RealTimePolicy::Require;
    }
    throw py::value_error("realtime must be True, False, 'prefer', 'require' or 'off', got " +
                          py::repr(value).cast<std::string>());
}

ServoOptions OptionsFrom(double rate, const py::object& exchange_timeout, const py::object& realtime,
                         int realtime_priority, std::uint32_t recording, const SafetyLimits& limits) {
    ServoOptions options;
    options.rate = rate;
    if (!exchange_timeout.is_none()) {
        options.exchange_timeout = exchange_timeout.cast<double>();
        // 0 means "three periods" in C++; from Python, None says that.
        if (!(options.exchange_timeout > 0.0)) {
            throw py::value_error("exchange_timeout must be above 0 and at most 10 s, got " +
                                  py::repr(exchange_timeout).cast<std::string>());
        }
    }
    options.realtime = PolicyFrom(realtime);
    options.realtime_priority = realtime_priority;
    options.recording = recording;
    options.limits = limits;
    return options;
}

SafetyLimits LimitsFrom(const SafetyLimits& base, const py::dict& kwargs) {
    SafetyLimits limits = base;
    for (const auto& [key, value] : kwargs) {
        const std::string name = key.cast<std::string>();
        if (name == "max_force") {
            limits.max_force = value.cast<double>();
        } else if (name == "max_force_step") {
            limits.max_force_step = value.cast<double>();
        } else if (name == "ramp_time") {
            limits.ramp_time = value.cast<double>();
        } else if (name == "max_speed") {
            limits.max_speed = value.cast<double>();
        } else if (name == "heartbeat") {
            if (value.is_none()) {
                limits.heartbeat = 0.0;
            } else {
                limits.heartbeat = value.cast<double>();
                if (!(limits.heartbeat > 0.0)) {
                    throw py::value_error("heartbeat must be above 0 and at most 3600 s (None: off), got " +
                                          py::repr(value).cast<std::string>());
                }
            }
        } else if (name == "fade_time") {
            limits.fade_time = value.cast<double>();
        } else if (name == "max_failed_exchanges") {
            const long n = value.cast<long>();
            if (n < 1 || n > 1000000) throw py::value_error("max_failed_exchanges must be from 1 to 1000000");
            limits.max_failed_exchanges = static_cast<std::uint32_t>(n);
        } else if (name == "stop_on_failure") {
            limits.stop_on_failure = value.cast<bool>();
        } else {
            throw py::type_error("unknown safety limit '" + name + "'");
        }
    }
    return limits;  // checked whole where it is used: the Servo's constructor, SetLimits
}

py::dict LimitsDict(const SafetyLimits& l) {
    return py::dict("max_force"_a = l.max_force, "max_force_step"_a = l.max_force_step, "ramp_time"_a = l.ramp_time,
                    "max_speed"_a = l.max_speed, "heartbeat"_a = l.heartbeat > 0.0 ? py::object(py::float_(l.heartbeat)) : py::none(),
                    "fade_time"_a = l.fade_time, "max_failed_exchanges"_a = l.max_failed_exchanges,
                    "stop_on_failure"_a = l.stop_on_failure);
}

}  // namespace

// The recording as numpy arrays, one pass over the records.
py::dict RecordingArrays(const Recording& rec) {
    const auto n = static_cast<py::ssize_t>(rec.ticks.size());
    py::array_t<std::uint64_t> tick(n);
    py::array_t<double> time(n), period(n), exchange(n);
    py::array_t<double> position({n, py::ssize_t{3}}), velocity({n, py::ssize_t{3}}), force({n, py::ssize_t{3}}),
        commanded({n, py::ssize_t{3}});
    py::array_t<std::uint32_t> faults(n);
    py::array_t<bool> ok(n);
    auto t = tick.mutable_unchecked<1>();
    auto tm = time.mutable_unchecked<1>();
    auto pe = period.mutable_unchecked<1>();
    auto ex = exchange.mutable_unchecked<1>();
    auto po = position.mutable_unchecked<2>();
    auto ve = velocity.mutable_unchecked<2>();
    auto fo = force.mutable_unchecked<2>();
    auto co = commanded.mutable_unchecked<2>();
    auto fa = faults.mutable_unchecked<1>();
    auto k = ok.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        const TickRecord& r = rec.ticks[static_cast<std::size_t>(i)];
        t(i) = r.tick;
        tm(i) = r.time;
        pe(i) = r.period;
        ex(i) = r.exchange;
        for (py::ssize_t j = 0; j < 3; ++j) {
            po(i, j) = r.position[static_cast<std::size_t>(j)];
            ve(i, j) = r.velocity[static_cast<std::size_t>(j)];
            fo(i, j) = r.force[static_cast<std::size_t>(j)];
            co(i, j) = r.commanded[static_cast<std::size_t>(j)];
        }
        fa(i) = r.faults;
        k(i) = r.exchange_ok != 0;
    }
    return py::dict("tick"_a = tick, "time"_a = time, "period"_a = period, "exchange"_a = exchange,
                    "position"_a = position, "velocity"_a = velocity, "force"_a = force, "commanded"_a = commanded,
                    "faults"_a = faults, "exchange_ok"_a = ok, "dropped"_a = rec.dropped);
}

namespace {

std::unique_ptr<Servo> MakeServo(const py::object& target, const ServoOptions& options) {
    if (auto servo = OpenOnPort<Servo>(target, options)) return servo;
    try {
        Arvena& arm = target.cast<Arvena&>();
        return std::make_unique<Servo>(arm, options);
    } catch (const py::cast_error&) {
        throw py::type_error("Servo drives an arm given as a port path or a KorvoHardwareAPI.Arvena, not " +
                             py::repr(target.get_type()).cast<std::string>());
    }
}

}  // namespace

void BindServo(py::module_& m) {
    py::class_<ServoState>(m, "State", "One tick of the servo loop, as its thread saw it.")
        .def_readonly("tick", &ServoState::tick, "Ticks since start(), from 0.")
        .def_readonly("time", &ServoState::time, "Seconds since start() when the tick began.")
        .def_property_readonly("position", [](const ServoState& s) { return Tuple(s.position); }, "Metres.")
        .def_property_readonly("velocity", [](const ServoState& s) { return Tuple(s.velocity); }, "Metres per second.")
        .def_property_readonly("force", [](const ServoState& s) { return Tuple(s.force); }, "Newtons sent this tick.")
        .def_property_readonly("commanded", [](const ServoState& s) { return Tuple(s.commanded); },
                               "Newtons asked for (force, hook and effects) before the safety envelope.")
        .def_readonly("exchange_ok", &ServoState::exchange_ok, "Whether this tick's reply came, well formed.")
        .def_property_readonly("faults", [](const ServoState& s) { return FaultTuple(s.faults); },
                               "Names of the faults in force: speed, heartbeat, exchanges, disconnected, bad-force.")
        .def_readonly("enabled", &ServoState::enabled, "Whether forces were let through (servo.enabled).")
        .def_readonly("fault_time", &ServoState::fault_time,
                      "Seconds since start() when the latest fault was raised; -1 if none ever was.")
        .def("__repr__", [](const ServoState& s) {
            return py::str("State(tick={}, time={:.4f}, position={}, velocity={}, force={}, faults={})")
                .format(s.tick, s.time, Tuple(s.position), Tuple(s.velocity), Tuple(s.force), FaultTuple(s.faults));
        });

    py::class_<ServoStats>(m, "Stats", "Statistics of the servo loop since start() or reset_stats().")
        .def_readonly("ticks", &ServoStats::ticks)
        .def_readonly("seconds", &ServoStats::seconds)
        .def_readonly("rate", &ServoStats::rate, "Achieved ticks per second.")
        .def_readonly("period_p50", &ServoStats::period_p50, "Seconds.")
        .def_readonly("period_p99", &ServoStats::period_p99)
        .def_readonly("period_p999", &ServoStats::period_p999)
        .def_readonly("period_max", &ServoStats::period_max)
        .def_readonly("overruns", &ServoStats::overruns, "Periods longer than 1.5 nominal.")
        .def_readonly("exchange_p50", &ServoStats::exchange_p50, "Seconds.")
        .def_readonly("exchange_p99", &ServoStats::exchange_p99)
        .def_readonly("exchange_max", &ServoStats::exchange_max)
        .def_readonly("failed_exchanges", &ServoStats::failed_exchanges)
        .def_readonly("resyncs", &ServoStats::resyncs)
        .def_readonly("late_bytes", &ServoStats::late_bytes,
                      "Bytes read that answered no tick: late or broken replies, the markers' answers.")
        .def_readonly("lost_lines", &ServoStats::lost_lines,
                      "Times the loop waited for a line it could not read to fall quiet.")
        .def_readonly("success_rate", &ServoStats::success_rate,
                      "Share of the last 100 exchanges (fewer just after start) that got their reply, 0 to 1.")
        .def("__repr__", [](const ServoStats& s) {
            return py::str("Stats({} ticks, {:.1f} Hz, period p50 {:.1f} us p99 {:.1f} us max {:.1f} us, {} overruns, "
                           "exchange p50 {:.1f} us p99 {:.1f} us, {} failed)")
                .format(s.ticks, s.rate, s.period_p50 * 1e6, s.period_p99 * 1e6, s.period_max * 1e6, s.overruns,
                        s.exchange_p50 * 1e6, s.exchange_p99 * 1e6, s.failed_exchanges);
        });

    py::class_<Servo>(m, "Servo", kServoDoc)
        .def(py::init([](const py::object& target, double rate, double max_force, double max_force_step,
                         double ramp_time, double max_speed, const py::object& heartbeat, double fade_time,
                         long max_failed_exchanges, bool stop_on_failure, const py::object& exchange_timeout,
                         const py::object& realtime, int realtime_priority, std::uint32_t recording,
                         double effect_fade_time, std::uint32_t flight_record) {
                 py::dict limits("max_force"_a = max_force, "max_force_step"_a = max_force_step,
                                 "ramp_time"_a = ramp_time, "max_speed"_a = max_speed, "heartbeat"_a = heartbeat,
                                 "fade_time"_a = fade_time, "max_failed_exchanges"_a = max_failed_exchanges,
                                 "stop_on_failure"_a = stop_on_failure);
                 ServoOptions options = OptionsFrom(rate, exchange_timeout, realtime, realtime_priority, recording,
                                                    LimitsFrom(SafetyLimits{}, limits));
                 options.effect_fade_time = effect_fade_time;
                 options.flight_record = flight_record;
                 return MakeServo(target, options);  // checks the options before it opens anything
             }),
             "arm"_a, "rate"_a = ServoOptions{}.rate, py::kw_only(), "max_force"_a = SafetyLimits{}.max_force,
             "max_force_step"_a = SafetyLimits{}.max_force_step, "ramp_time"_a = SafetyLimits{}.ramp_time,
             "max_speed"_a = SafetyLimits{}.max_speed, "heartbeat"_a = py::none(),
             "fade_time"_a = SafetyLimits{}.fade_time,
             "max_failed_exchanges"_a = static_cast<long>(SafetyLimits{}.max_failed_exchanges),
             "stop_on_failure"_a = false, "exchange_timeout"_a = py::none(), "realtime"_a = "prefer",
             "realtime_priority"_a = ServoOptions{}.realtime_priority, "recording"_a = ServoOptions{}.recording,
             "effect_fade_time"_a = ServoOptions{}.effect_fade_time, "flight_record"_a = ServoOptions{}.flight_record,
             // A borrowed Arvena (and its stream) must outlive the loop.
             py::keep_alive<1, 2>())
        .def("start", &Servo::Start, py::call_guard<GilRelease>(),
             "Starts the loop: one zero-force exchange first (RuntimeError when the arm does not answer), then the "
             "thread.")
        .def("stop", &Servo::Stop, py::call_guard<GilRelease>(),
             "Ends the loop; the last thing sent to the arm is a zero force.")
        .def_property_readonly("running", &Servo::Running)
        .def_property(
            "force", [](const Servo& s) { return Tuple(s.Force()); },
            [](Servo& s, const py::object& value) { s.SetForce(VectorFrom(value, "force")); },
            "The force asked for, in newtons (x, y, z); setting it also counts as calling in (heartbeat).")
        .def("heartbeat", &Servo::Heartbeat, "Calls in without changing the force (see the heartbeat limit).")
        .def_property_readonly("limits", [](const Servo& s) { return LimitsDict(s.Limits()); })
        .def(
            "set_limits", [](Servo& s, const py::kwargs& kwargs) { s.SetLimits(LimitsFrom(s.Limits(), kwargs)); },
            "Changes safety limits while the loop runs, by keyword (max_force=..., heartbeat=None, ...).")
        .def_property_readonly("state", &Servo::State, "The latest tick (never torn).")
        .def_property_readonly("stats", &Servo::Stats)
        .def("reset_stats", &Servo::ResetStats)
        .def(
            "recording",
            [](Servo& s) {
                py::dict arrays = RecordingArrays(s.Drain());
                // What stamps the ticks on a clock and names their rate when saved.
                arrays["started_at"] = s.StartedAt();
                arrays["rate"] = s.Options().rate;
                return py::module_::import("korvo.recording").attr("Recording")(arrays);
            },
            "Every tick recorded since the last call, as numpy arrays (a korvo.Recording).")
        .def_property_readonly("realtime", &Servo::RealTime,
                               "Whether the servo thread got real-time priority (SCHED_FIFO).")
        .def_property_readonly("memory_locked", &Servo::MemoryLocked,
                               "Whether the loop's buffers are locked in memory.")
        .def_property_readonly("low_cpu_latency", &Servo::LowCpuLatency,
                               "Whether the CPUs are asked to stay out of deep idle states while the loop runs.")
        .def_property_readonly("rate", [](const Servo& s) { return s.Options().rate; })
        .def_property_readonly("started_at", &Servo::StartedAt,
                               "time.monotonic() when start() began: tick times count from there.")
        .def_property(
            "enabled", &Servo::Enabled, &Servo::SetEnabled,
            "Forces on (True, the default) or off: disabled, the loop keeps exchanging and its state current but "
            "sends zero force; enabled again, forces ramp in as at start.")
        .def(
            "flight_record",
            [](const Servo& s) {
                return py::module_::import("korvo.recording").attr("Recording")(RecordingArrays(s.FlightRecord()));
            },
            "The last flight_record ticks: after a fault ended the loop, those before the end; while it runs, the "
            "latest (a korvo.Recording; the ticks stay for the next call).")
        .def(
            "_wait_events",
            [](Servo& s, double timeout) {
                std::vector<ServoEvent> events;
                {
                    const GilRelease release;
                    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
                    // The servo thread makes no system calls to wake anyone:
                    // this thread looks every few milliseconds.
                    while ((events = s.TakeEvents()).empty() && std::chrono::steady_clock::now() < until) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                }
                py::list out;
                for (const ServoEvent& e : events) {
                    static constexpr const char* kKinds[] = {"fault", "cleared", "end"};
                    out.append(py::make_tuple(kKinds[static_cast<int>(e.kind)], e.tick, e.time, FaultTuple(e.faults),
                                              FaultTuple(e.changed)));
                }
                return out;
            },
            "timeout"_a,
            "Events since the last call as (kind, tick, time, faults, changed) tuples, waiting up to `timeout` s for "
            "one; for the package's own dispatcher thread.")
        .def_property_readonly("events_dropped", &Servo::EventsDropped,
                               "Events the queue could not hold (nobody took them in time).")
        .def_property_readonly("end_reason", &Servo::EndReason,
                               "Why the loop ended by a fault (disconnect, failures), with a summary of the run; empty otherwise.")
        .def(
            "add",
            [](Servo& s, const std::shared_ptr<Effect>& effect, bool enabled) { s.Effects().Add(effect, enabled); },
            "effect"_a, "enabled"_a = true,
            "Adds an effect to the loop; it fades in over effect_fade_time (at once: next tick).")
        .def(
            "remove", [](Servo& s, const std::shared_ptr<Effect>& effect) { return s.Effects().Remove(effect.get()); },
            "effect"_a, "Fades the effect out, then drops it; False when it was not in the loop.")
        .def(
            "enable",
            [](Servo& s, const std::shared_ptr<Effect>& effect, bool enabled) {
                if (!s.Effects().Enable(effect.get(), enabled)) throw py::value_error("the effect is not in this loop");
            },
            "effect"_a, "enabled"_a = true, "Fades the effect in (or out, enabled=False), keeping it in the loop.")
        .def_property_readonly(
            "effects", [](const Servo& s) { return const_cast<Servo&>(s).Effects().List(); },
            "The effects in the loop (not those fading out after remove()), in no set order.")
        .def(
            "weight", [](Servo& s, const std::shared_ptr<Effect>& effect) { return s.Effects().Weight(effect.get()); },
            "effect"_a, "The weight the servo thread last gave the effect (0 to 1; -1: not in the loop).")
        .def_property(
            "effect_fade_time", [](Servo& s) { return s.Effects().FadeTime(); },
            [](Servo& s, double seconds) { s.Effects().SetFadeTime(seconds); },
            "Seconds an effect takes to fade in or out when added, removed, enabled or disabled.")
        .def("__enter__",
             [](const py::object& self) {
                 Servo& servo = self.cast<Servo&>();
                 {
                     const GilRelease release;
                     servo.Start();
                 }
                 return self;
             })
        .def("__exit__", [](Servo& s, const py::args&) {
            const GilRelease release;
            s.Stop();
        });

    m.def("stop_all", &Servo::StopAll, py::call_guard<GilRelease>(),
          "Ends every running servo loop of the process, each with a zero force.");
}

}  // namespace Korvo::Haptics::Python
