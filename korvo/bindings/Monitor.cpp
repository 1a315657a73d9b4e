// korvo.HandleMonitor: the handle's status frames, read natively.

#include "Korvo/DeviceTools/HandleMonitor.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

namespace {

using DeviceTools::HandleMonitor;
using HardwareAPI::Devices::Handle;

std::unique_ptr<HandleMonitor> MakeMonitor(const py::object& target) {
    if (auto monitor = OpenOnPort<HandleMonitor>(target)) return monitor;
    try {
        return std::make_unique<HandleMonitor>(target.cast<Handle&>());
    } catch (const py::cast_error&) {
        throw py::type_error("HandleMonitor reads a handle given as a port path or a KorvoHardwareAPI.Handle, not " +
                             py::repr(target.get_type()).cast<std::string>());
    }
}

}  // namespace

void BindMonitor(py::module_& m) {
    using Status = HandleMonitor::Status;
    using Event = HandleMonitor::ButtonEvent;

    py::class_<Status>(m, "HandleStatus", "The newest good status frame of a handle.")
        .def_readonly("time", &Status::time, "Seconds since start() when the frame came.")
        .def_readonly("frame", &Status::frame, "Good frames so far, this one included.")
        .def_readonly("device_id", &Status::device_id)
        .def_property_readonly("quaternion", [](const Status& s) { return py::make_tuple(s.quaternion[0], s.quaternion[1], s.quaternion[2], s.quaternion[3]); })
        .def_readonly("error_flag", &Status::error_flag)
        .def_readonly("trigger", &Status::trigger, "The hall-effect level, 0 to 31.")
        .def_readonly("buttons", &Status::buttons, "Bit 0: button 1, bit 1: button 2, bit 2: button 3.")
        .def_readonly("battery", &Status::battery, "Volts.")
        .def("__repr__", [](const Status& s) {
            return py::str("HandleStatus(frame={}, time={:.3f}, buttons={:03b}, trigger={}, battery={:.3f})")
                .format(s.frame, s.time, s.buttons, s.trigger, s.battery);
        });

    py::class_<Event>(m, "ButtonEvent", "A button pressed or released, with the time it was seen.")
        .def_readonly("time", &Event::time, "Seconds since start().")
        .def_readonly("button", &Event::button, "1 to 3.")
        .def_readonly("pressed", &Event::pressed)
        .def_readonly("buttons", &Event::buttons, "Every button's state after the change.")
        .def("__repr__", [](const Event& e) {
            return py::str("ButtonEvent(time={:.4f}, button={}, pressed={})").format(e.time, e.button, e.pressed);
        });

    auto monitor_class = py::class_<HandleMonitor>(m, "HandleMonitor", kMonitorDoc)
        .def(py::init([](const py::object& handle, double frame_timeout) {
                 auto monitor = MakeMonitor(handle);
                 monitor->SetFrameTimeout(frame_timeout);
                 return monitor;
             }),
             "handle"_a, py::kw_only(), "frame_timeout"_a = 1.0, py::keep_alive<1, 2>())
        .def("start", &HandleMonitor::Start, py::call_guard<GilRelease>())
        .def("stop", &HandleMonitor::Stop, py::call_guard<GilRelease>())
        .def_property_readonly("running", &HandleMonitor::Running)
        .def_property_readonly("started_at", &HandleMonitor::StartedAt,
                               "time.monotonic() when start() began: event and status times count from there.")
        .def_property_readonly("fault", &HandleMonitor::Fault,
                               "What is wrong, in words, or '': the port hung up, or no good status frame for longer "
                               "than frame_timeout (a port where no handle streams, a handle that stopped).")
        .def_property("frame_timeout", &HandleMonitor::FrameTimeout, &HandleMonitor::SetFrameTimeout,
                      "Seconds without a good frame before `fault` says so.")
        .def_property_readonly("disconnected", &HandleMonitor::Disconnected,
                               "Whether the port hung up (the monitor then ends; what it read stays readable).")
        .def_property_readonly(
            "status",
            [](const HandleMonitor& h) -> py::object {
                const Status s = h.Latest();
                return s.frame == 0 ? py::none() : py::cast(s);
            },
            "The newest good frame, or None before the first.")
        .def("events", &HandleMonitor::TakeEvents, "Every button press and release since the last call, oldest first.")
        .def_property_readonly("counts",
                               [](const HandleMonitor& h) {
                                   const auto c = h.GetCounts();
                                   return py::dict("frames"_a = c.frames, "bad_frames"_a = c.bad_frames,
                                                   "events"_a = c.events, "events_dropped"_a = c.events_dropped);
                               })
        .def("__enter__",
             [](const py::object& self) {
                 auto& monitor = self.cast<HandleMonitor&>();
                 {
                     const GilRelease release;
                     monitor.Start();
                 }
                 return self;
             })
        .def("__exit__", [](HandleMonitor& h, const py::args&) {
            const GilRelease release;
            h.Stop();
        });
    RefuseMismatches(monitor_class);
}

}  // namespace Korvo::Haptics::Python
