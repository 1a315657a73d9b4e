// Taps from Python: servo._open_tap(capacity) and monitor._open_tap(capacity)
// give a recorder its own stream of every tick and every good status frame,
// drained as numpy arrays, so that nothing is done in Python per item.

#include "Korvo/Realtime/Tap.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "Korvo/DeviceTools/HandleMonitor.h"
#include "Korvo/Haptics/Servo.h"
#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

namespace {

using DeviceTools::HandleMonitor;
using Status = HandleMonitor::Status;

py::dict StatusArrays(Realtime::Tap<Status>::Batch&& batch) {
    const auto n = static_cast<py::ssize_t>(batch.items.size());
    py::array_t<std::uint64_t> frame(n);
    py::array_t<double> time(n);
    py::array_t<std::uint8_t> device_id(n), error_flag(n), trigger(n), buttons(n);
    py::array_t<double> quaternion({n, py::ssize_t{4}});
    py::array_t<double> battery(n);
    auto fr = frame.mutable_unchecked<1>();
    auto tm = time.mutable_unchecked<1>();
    auto id = device_id.mutable_unchecked<1>();
    auto ef = error_flag.mutable_unchecked<1>();
    auto tr = trigger.mutable_unchecked<1>();
    auto bu = buttons.mutable_unchecked<1>();
    auto qu = quaternion.mutable_unchecked<2>();
    auto ba = battery.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        const Status& s = batch.items[static_cast<std::size_t>(i)];
        fr(i) = s.frame;
        tm(i) = s.time;
        id(i) = s.device_id;
        ef(i) = s.error_flag;
        tr(i) = s.trigger;
        bu(i) = s.buttons;
        for (py::ssize_t j = 0; j < 4; ++j) qu(i, j) = s.quaternion[static_cast<std::size_t>(j)];
        ba(i) = s.battery;
    }
    return py::dict("frame"_a = frame, "time"_a = time, "device_id"_a = device_id, "quaternion"_a = quaternion,
                    "error_flag"_a = error_flag, "trigger"_a = trigger, "buttons"_a = buttons, "battery"_a = battery,
                    "dropped"_a = batch.refused);
}

template <class T, class Convert>
void BindTap(py::module_& m, const char* name, const char* doc, Convert convert) {
    py::class_<Realtime::Tap<T>, std::shared_ptr<Realtime::Tap<T>>>(m, name, doc)
        .def(
            "drain", [convert](Realtime::Tap<T>& tap) { return convert(tap.Drain()); },
            "Everything since the last drain, as numpy arrays; 'dropped' counts what a full tap refused.")
        .def("close", &Realtime::Tap<T>::Close, py::call_guard<GilRelease>(),
             "Stops receiving (what the tap holds stays drainable).")
        .def_property_readonly("open", &Realtime::Tap<T>::IsOpen)
        .def_property_readonly("capacity", &Realtime::Tap<T>::Capacity);
}

}  // namespace

void BindTaps(py::module_& m) {
    BindTap<TickRecord>(m, "_TickTap", "Every tick of a servo loop, for a reader of its own.",
                        [](TickTap::Batch&& batch) {
                            return RecordingArrays(Recording{std::move(batch.items), batch.refused});
                        });
    BindTap<Status>(m, "_StatusTap", "Every good status frame of a handle monitor, for a reader of its own.",
                    [](Realtime::Tap<Status>::Batch&& batch) { return StatusArrays(std::move(batch)); });

    const py::object servo = m.attr("Servo");
    servo.attr("_open_tap") = py::cpp_function(
        [](Servo& s, std::size_t capacity) { return s.OpenTap(capacity); }, py::name("_open_tap"),
        py::is_method(servo), py::sibling(py::getattr(servo, "_open_tap", py::none())), "capacity"_a,
        "A stream of every tick from now on, `capacity` ticks deep, independent of recording().");
    servo.attr("record") = py::cpp_function(
        [](const py::object& self, const py::object& path, const py::object& monitor, const py::kwargs& options) {
            return py::module_::import("korvo.recorder").attr("Recorder")(self, path, monitor, **options);
        },
        py::name("record"), py::is_method(servo), py::sibling(py::getattr(servo, "record", py::none())), "path"_a,
        "monitor"_a = py::none(),
        "Records every tick (and with a HandleMonitor, every frame) to the rosbag2 directory `path`, with MCAP "
        "storage, on a thread of its own; a korvo.recorder.Recorder, to use as a context manager.");
    const py::object monitor = m.attr("HandleMonitor");
    monitor.attr("_open_tap") = py::cpp_function(
        [](HandleMonitor& h, std::size_t capacity) { return h.OpenTap(capacity); }, py::name("_open_tap"),
        py::is_method(monitor), py::sibling(py::getattr(monitor, "_open_tap", py::none())), "capacity"_a,
        "A stream of every good status frame from now on, `capacity` frames deep, independent of events().");
}

}  // namespace Korvo::Haptics::Python
