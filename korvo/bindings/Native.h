#pragma once
// korvo._native: registration functions and shared texts.

#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "../../bindings/GilRelease.h"
#include "Korvo/Haptics/Servo.h"
#include "Korvo/Haptics/Vector.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"

namespace Korvo::Haptics::Python {

using PythonSupport::GilRelease;

inline pybind11::tuple Tuple(const Vector3d& v) { return pybind11::make_tuple(v[0], v[1], v[2]); }

// Three numbers from any sequence of them (not a string or bytes, whose
// items would pass for numbers). Whether they are finite is the C++ side's
// to check, with the rest of the value they go into.
inline Vector3d VectorFrom(const pybind11::handle& value, const char* name) {
    namespace py = pybind11;
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value)) {
        throw py::type_error(std::string(name) + " must be a sequence of 3 numbers, not " +
                             py::repr(value.get_type()).cast<std::string>());
    }
    const auto seq = py::reinterpret_borrow<py::sequence>(value);
    if (py::len(seq) != 3) throw py::value_error(std::string(name) + " must hold 3 numbers, got " + std::to_string(py::len(seq)));
    Vector3d v{};
    for (std::size_t i = 0; i < 3; ++i) {
        try {
            v[i] = seq[i].cast<double>();
        } catch (const py::cast_error&) {
            throw py::type_error(std::string(name) + "[" + std::to_string(i) + "] is not a number: " +
                                 py::repr(seq[i]).cast<std::string>());
        }
    }
    return v;
}

// A T made on the port that `target` names (a str, bytes or path-like
// object), without the interpreter lock while the port opens; OSError naming
// the path when it cannot be opened, and what of this process drives it when
// that is why. Null when `target` names no port.
template <class T, class... Args>
std::unique_ptr<T> OpenOnPort(const pybind11::object& target, const Args&... args) {
    namespace py = pybind11;
    if (!py::isinstance<py::str>(target) && !py::isinstance<py::bytes>(target) && !py::hasattr(target, "__fspath__")) {
        return nullptr;
    }
    const std::string path = py::module_::import("os").attr("fsdecode")(target).cast<std::string>();
    try {
        const GilRelease release;
        return std::make_unique<T>(path, args...);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        const char* driver = errno == EBUSY ? HardwareAPI::IO::PortDriver(path) : nullptr;
        if (driver == nullptr) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(path).ptr());
        } else {
            // Busy because of this very program: say what holds the port.
            const std::string reason = std::string(std::strerror(errno)) + " (driven by " + driver + " of this process)";
            PyErr_SetObject(PyExc_OSError, py::make_tuple(errno, reason, path).ptr());
        }
        throw py::error_already_set();
    }
}

inline constexpr const char* kServoDoc = R"(The arm's force loop, run natively at a fixed rate on a thread of its own.

    with korvo.Servo("/dev/ttyACM0", rate=1000, max_force=4.0) as servo:
        servo.force = (0.0, 0.0, 1.0)   # applied every tick, through the safety envelope
        print(servo.state, servo.stats)
    recording = servo.recording()       # every tick, as numpy arrays

`arm` is a port path (opened here; OSError when it cannot be) or a
KorvoHardwareAPI.Arvena, borrowed from start() to stop(). While the loop runs
it alone drives the port: the methods of every device on it raise
RuntimeError, and another SerialStream, Servo or HandleMonitor of the program
on it is refused. Every limit is a keyword argument and can be changed while
running with set_limits(); values that are zero, negative, NaN or out of
range raise ValueError naming the argument. Whatever ends the loop (stop(),
leaving the with block, an exception, Ctrl+C, SIGTERM or SIGHUP, garbage
collection, interpreter exit), the last thing sent to the arm is a zero
force. In a child made by os.fork() the loop does not run: `running` is
False there and start() raises RuntimeError.)";

inline constexpr const char* kMonitorDoc = R"(A handle's status frames, read on a native thread that sleeps until bytes come.

    with korvo.HandleMonitor("/dev/ttyUSB0") as monitor:
        status = monitor.status         # the newest good frame (None before the first)
        for event in monitor.events():  # every press and release since the last call
            print(event.button, event.pressed, event.time)

`handle` is a port path or a KorvoHardwareAPI.Handle, borrowed from start()
to stop(): meanwhile the monitor alone drives the port (the methods of every
device on it raise RuntimeError; another SerialStream, Servo or
HandleMonitor of the program on it is refused). Corrupt frames are counted
and skipped; a port that hangs up ends the monitor (`disconnected`).)";

// Ticks as numpy arrays, one pass over the records: the dict korvo.Recording
// is made from (servo.recording(), a tap's drain()).
pybind11::dict RecordingArrays(const Recording& rec);

// A constructor from `factory`, whose keywords are `parameters`, with a last
// overload behind it that says in words why arguments were refused (the
// keyword it does not know and the one meant). pybind11 tries every overload
// without conversions before any with them, so that catch-all is reached
// before the typed constructor may turn `stiffness=150` into a float: it
// hands the call to a converting copy of the factory and refuses only what
// that refuses. KeepFirst keeps the first argument alive with the object.
template <bool KeepFirst = false, class Class, class Factory, class... Parameters>
void Constructor(Class& cls, Factory factory, const Parameters&... parameters) {
    namespace py = pybind11;
    using Holder = typename Class::holder_type;
    if constexpr (KeepFirst) {
        cls.def(py::init(factory), parameters..., py::keep_alive<1, 2>());
    } else {
        cls.def(py::init(factory), parameters...);
    }
    const py::object type = cls;
    const py::object converting = py::cpp_function(factory, parameters...);
    auto last = [type, converting](const py::args& args, const py::kwargs& kwargs) -> Holder {
        try {
            return converting(*args, **kwargs).template cast<Holder>();
        } catch (py::error_already_set& e) {
            // The factory's own TypeError (a target that is not three
            // numbers) says more than a list of parameters would.
            if (!e.matches(PyExc_TypeError) || std::string(e.what()).find("incompatible function arguments") == std::string::npos) {
                throw;
            }
        }
        py::module_::import("korvo._options").attr("refuse")(type, args, kwargs);
        throw py::type_error("the arguments do not match");  // refuse() has raised already
    };
    if constexpr (KeepFirst) {
        // The first argument is in the tuple or the dict, whichever it came by.
        cls.def(py::init(last), py::keep_alive<1, 2>(), py::keep_alive<1, 3>());
    } else {
        cls.def(py::init(last));
    }
}

void BindEffects(pybind11::module_& m);
void BindTeleop(pybind11::module_& m);
void BindServo(pybind11::module_& m);
void BindMonitor(pybind11::module_& m);
void BindProbe(pybind11::module_& m);
void BindErrors(pybind11::module_& m);
void BindTaps(pybind11::module_& m);

}  // namespace Korvo::Haptics::Python
