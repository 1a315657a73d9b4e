// korvo.TeleopCoupling: one end of a teleoperation pair, from Python. The
// receiving side (korvo.ros.teleop, or a program's own transport) hands the
// peer's samples and energy over; the reports come back as a record (the
// latest tick) or, from a tap, as numpy arrays of every tick.

#include "Korvo/Haptics/Teleop.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

namespace {

using Role = TeleopCoupling::Role;
using Params = TeleopCoupling::Params;
using Report = TeleopCoupling::Report;

Role RoleFrom(const std::string& role) {
    if (role == "leader") return Role::Leader;
    if (role == "follower") return Role::Follower;
    throw py::value_error("role must be 'leader' or 'follower', got " + py::repr(py::str(role)).cast<std::string>());
}

// Each keyword to its field; false for a name that is none.
bool Apply(Params& p, const std::string& name, const py::handle& value) {
    double* numbers[] = {&p.stiffness, &p.damping, &p.local_damping, &p.position_scale, &p.force_scale,
                         &p.max_speed, &p.timeout, &p.fade_time, &p.ramp_time};
    static constexpr const char* kNames[] = {"stiffness", "damping", "local_damping", "position_scale", "force_scale",
                                             "max_speed", "timeout", "fade_time", "ramp_time"};
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (name != kNames[i]) continue;
        try {
            *numbers[i] = value.cast<double>();
        } catch (const py::cast_error&) {
            throw py::type_error(name + " must be a number");
        }
        return true;
    }
    if (name == "passivity") {
        p.passivity = value.cast<bool>();
        return true;
    }
    return false;
}

py::dict ReportArrays(const std::vector<Report>& reports, std::uint64_t dropped) {
    const auto n = static_cast<py::ssize_t>(reports.size());
    py::dict out;
    py::array_t<std::uint64_t> tick(n), sequence(n);
    py::array_t<bool> fresh(n);
    auto t = tick.mutable_unchecked<1>();
    auto q = sequence.mutable_unchecked<1>();
    auto f = fresh.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        t(i) = reports[static_cast<std::size_t>(i)].tick;
        q(i) = reports[static_cast<std::size_t>(i)].sample_sequence;
        f(i) = reports[static_cast<std::size_t>(i)].fresh != 0;
    }
    out["tick"] = tick;
    out["sample_sequence"] = sequence;
    out["fresh"] = fresh;
    auto scalar = [&](const char* name, double Report::*field) {
        py::array_t<double> column(n);
        auto c = column.mutable_unchecked<1>();
        for (py::ssize_t i = 0; i < n; ++i) c(i) = reports[static_cast<std::size_t>(i)].*field;
        out[name] = column;
    };
    auto vector = [&](const char* name, Vector3d Report::*field) {
        py::array_t<double> column({n, py::ssize_t{3}});
        auto c = column.mutable_unchecked<2>();
        for (py::ssize_t i = 0; i < n; ++i) {
            const Vector3d& v = reports[static_cast<std::size_t>(i)].*field;
            for (py::ssize_t j = 0; j < 3; ++j) c(i, j) = v[static_cast<std::size_t>(j)];
        }
        out[name] = column;
    };
    scalar("time", &Report::time);
    vector("position", &Report::position);
    vector("velocity", &Report::velocity);
    vector("port_position", &Report::port_position);
    vector("port_velocity", &Report::port_velocity);
    vector("anchor", &Report::anchor);
    vector("peer_position", &Report::peer_position);
    vector("peer_force", &Report::peer_force);
    vector("channel", &Report::channel);
    vector("force", &Report::force);
    scalar("energy_in", &Report::energy_in);
    scalar("energy_out", &Report::energy_out);
    scalar("dissipated", &Report::dissipated);
    scalar("observed", &Report::observed);
    scalar("peer_energy", &Report::peer_energy);
    scalar("alpha", &Report::alpha);
    scalar("link", &Report::link);
    scalar("sample_age", &Report::sample_age);
    scalar("sample_latency", &Report::sample_latency);
    out["dropped"] = dropped;
    return out;
}

}  // namespace

void BindTeleop(py::module_& m) {
    using Tap = Realtime::Tap<Report>;
    py::class_<Tap, std::shared_ptr<Tap>>(m, "_TeleopTap", "Every tick's report of a teleoperation coupling.")
        .def(
            "drain", [](Tap& tap) {
                auto batch = tap.Drain();
                return ReportArrays(batch.items, batch.refused);
            },
            "Everything since the last drain, as numpy arrays; 'dropped' counts what a full tap refused.")
        .def("close", &Tap::Close, py::call_guard<GilRelease>());

    py::class_<Report>(m, "TeleopReport", "One tick of a teleoperation coupling, as it saw it (see TeleopCoupling).")
        .def_readonly("tick", &Report::tick)
        .def_readonly("time", &Report::time, "Seconds since the loop started.")
        .def_property_readonly("position", [](const Report& r) { return Tuple(r.position); })
        .def_property_readonly("velocity", [](const Report& r) { return Tuple(r.velocity); })
        .def_property_readonly("port_position", [](const Report& r) { return Tuple(r.port_position); },
                               "This end's motion in channel units (a leader's scaled by position_scale).")
        .def_property_readonly("port_velocity", [](const Report& r) { return Tuple(r.port_velocity); })
        .def_property_readonly("anchor", [](const Report& r) { return Tuple(r.anchor); },
                               "A follower's: where its spring pulls.")
        .def_property_readonly("peer_position", [](const Report& r) { return Tuple(r.peer_position); },
                               "The peer's newest motion (what a follower follows).")
        .def_property_readonly("peer_force", [](const Report& r) { return Tuple(r.peer_force); },
                               "The peer's newest force (what a leader renders).")
        .def_property_readonly("channel", [](const Report& r) { return Tuple(r.channel); },
                               "The channel's force on this end, weighted by the link, before the passivity controller.")
        .def_property_readonly("force", [](const Report& r) { return Tuple(r.force); },
                               "Newtons the coupling asks of this arm.")
        .def_readonly("energy_in", &Report::energy_in, "J that entered the channel at this end.")
        .def_readonly("energy_out", &Report::energy_out, "J that left it here.")
        .def_readonly("dissipated", &Report::dissipated, "J this end's passivity controller took.")
        .def_readonly("observed", &Report::observed,
                      "J this end may still give out: the peer's energy in less this end's energy out, since the "
                      "count began (negative only with passivity off).")
        .def_readonly("peer_energy", &Report::peer_energy, "J the peer reported to have taken in, since the count began.")
        .def_readonly("alpha", &Report::alpha, "N s/m, this tick's damping of the passivity controller.")
        .def_readonly("link", &Report::link, "0 to 1: the link's weight (0: faded out).")
        .def_readonly("sample_age", &Report::sample_age, "Seconds: the peer's newest sample's age (-1: none yet).")
        .def_readonly("sample_latency", &Report::sample_latency,
                      "Seconds: that sample's age at the first tick that used it.")
        .def_readonly("sample_sequence", &Report::sample_sequence)
        .def_property_readonly("fresh", [](const Report& r) { return r.fresh != 0; },
                               "Whether the newest sample is younger than the timeout.")
        .def("__repr__", [](const Report& r) {
            return py::str("TeleopReport(tick={}, link={:.2f}, force={}, observed={:.6f}, dissipated={:.6f})")
                .format(r.tick, r.link, Tuple(r.force), r.observed, r.dissipated);
        });

    py::class_<TeleopCoupling, Effect, std::shared_ptr<TeleopCoupling>>(
        m, "TeleopCoupling",
        "One end of a position-force teleoperation pair, on the servo thread: a follower's spring-damper toward the "
        "leader's motion, or a leader's rendering of the follower's force, each with damping of its own arm and a "
        "time-domain passivity observer and controller that keep a delayed link passive. The peer's samples come in "
        "through take_sample and take_energy (korvo.ros.Teleop does that over ROS 2); a sample older than `timeout` "
        "fades the coupling out over `fade_time`, a fresh one ramps it back over `ramp_time`.")
        .def(py::init([](const std::string& role, const py::kwargs& kwargs) {
                 Params p;
                 for (const auto& item : kwargs) {
                     const std::string name = py::str(item.first);
                     if (!Apply(p, name, item.second)) throw py::type_error("unknown parameter '" + name + "'");
                 }
                 return std::make_shared<TeleopCoupling>(RoleFrom(role), p);
             }),
             "role"_a,
             "role: 'leader' or 'follower'; keywords: stiffness (N/m), damping, local_damping (N s/m), "
             "position_scale, force_scale (a leader's), max_speed (m/s, a follower's anchor), timeout, fade_time, "
             "ramp_time (s), passivity (bool).")
        .def_property_readonly("role", [](const TeleopCoupling& c) {
            return c.GetRole() == Role::Leader ? "leader" : "follower";
        })
        .def_property_readonly(
            "params",
            [](const TeleopCoupling& c) {
                const Params p = c.GetParams();
                return py::dict("stiffness"_a = p.stiffness, "damping"_a = p.damping, "local_damping"_a = p.local_damping,
                                "position_scale"_a = p.position_scale, "force_scale"_a = p.force_scale,
                                "max_speed"_a = p.max_speed, "timeout"_a = p.timeout, "fade_time"_a = p.fade_time,
                                "ramp_time"_a = p.ramp_time, "passivity"_a = p.passivity);
            },
            "The parameters, as a dict.")
        .def(
            "set",
            [](TeleopCoupling& c, const py::kwargs& kwargs) {
                Params p = c.GetParams();
                for (const auto& item : kwargs) {
                    const std::string name = py::str(item.first);
                    if (!Apply(p, name, item.second)) throw py::type_error("unknown parameter '" + name + "'");
                }
                c.SetParams(p);
            },
            "Changes parameters by keyword: checked together, applied at the same tick.")
        .def(
            "take_sample",
            [](TeleopCoupling& c, const py::object& position, const py::object& velocity, const py::object& force,
               double stamp, std::uint64_t sequence) {
                if (sequence == 0) throw py::value_error("sequence must be above 0");
                c.SetSample(TeleopCoupling::Sample{VectorFrom(position, "position"), VectorFrom(velocity, "velocity"),
                                                   VectorFrom(force, "force"), stamp, sequence});
            },
            "position"_a = py::make_tuple(0.0, 0.0, 0.0), "velocity"_a = py::make_tuple(0.0, 0.0, 0.0),
            "force"_a = py::make_tuple(0.0, 0.0, 0.0), py::kw_only(), "stamp"_a, "sequence"_a,
            "The peer's newest tick: a leader's motion in channel units (position, velocity) for a follower, a "
            "follower's force for a leader; `stamp` when that tick began, in seconds on this loop's clock (since "
            "its start); `sequence` increasing from 1.")
        .def(
            "take_energy",
            [](TeleopCoupling& c, double energy_in, std::uint64_t source) {
                if (source == 0) throw py::value_error("source must be above 0");
                c.SetPeerEnergy(TeleopCoupling::PeerEnergy{energy_in, source});
            },
            "energy_in"_a, "source"_a,
            "The peer's energy account: the joules that entered the channel at its end (never decreasing), and who "
            "counts them (another source starts the count over).")
        .def_property_readonly("report", &TeleopCoupling::Latest, "The latest tick, as the coupling saw it.")
        .def_property_readonly("writes", &TeleopCoupling::Writes, "Ticks reported so far.")
        .def(
            "_wait",
            [](const TeleopCoupling& c, std::uint64_t after, double not_before, double timeout) {
                const GilRelease release;
                // Timed waits on this thread end when they are due (the
                // default slack is 50 us, a twentieth of a tick).
                ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
                using Clock = std::chrono::steady_clock;
                const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
                // Waking costs tens of microseconds on a virtual machine: one
                // sleep to when the next report is due, then a look every
                // tenth of a tick (the servo thread wakes nobody).
                const auto due = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(not_before)));
                std::uint64_t writes = c.Writes();
                if (writes <= after) std::this_thread::sleep_until(std::min(due, until));
                writes = c.Writes();
                while (writes <= after && Clock::now() < until) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    writes = c.Writes();
                }
                return writes;
            },
            "after"_a, "not_before"_a, "timeout"_a,
            "Waits until more than `after` ticks are reported, or `timeout` s, looking first at `not_before` "
            "(time.monotonic()); the count.")
        .def(
            "_open_tap", [](TeleopCoupling& c, std::size_t capacity) { return c.OpenTap(capacity); }, "capacity"_a,
            "Every tick's report from now on, `capacity` ticks deep.")
        .def("__repr__", [](const TeleopCoupling& c) {
            const Params p = c.GetParams();
            return py::str("TeleopCoupling({!r}, stiffness={}, damping={}, passivity={})")
                .format(c.GetRole() == Role::Leader ? "leader" : "follower", p.stiffness, p.damping, p.passivity);
        });
}

}  // namespace Korvo::Haptics::Python
