// korvo._native error routing: the library's error reports to Python.
//
// A report can be made on a thread that is no Python thread while another
// thread holds the interpreter lock and waits for it (discovery keeps the
// lock while its probe threads run): a sink that took the lock there would
// deadlock. So every report goes into a queue first; the thread that made
// it delivers the queue to Python itself only when it already holds the
// lock, and otherwise the Python thread of korvo.errors takes it from there.

#include "Korvo/Realtime/ErrorQueue.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>

#include "Native.h"

namespace py = pybind11;
using namespace py::literals;
using Korvo::HardwareAPI::IO::ErrorKind;
using Korvo::HardwareAPI::IO::ErrorReport;
using Korvo::HardwareAPI::IO::SetErrorSink;

namespace Korvo::Haptics::Python {

namespace {

// Made once and never destroyed: a sink installed from it may be called by
// a thread that outlives the interpreter.
Realtime::ErrorQueue& Queue() {
    static auto* queue = new Realtime::ErrorQueue();
    return *queue;
}

// The Python function that takes the queue, only touched with the lock held.
// Never destroyed either: at exit the interpreter may be gone first.
py::object*& Deliver() {
    static py::object* deliver = nullptr;
    return deliver;
}

void DeliverHere() {
    if (Deliver() == nullptr || Deliver()->is_none()) return;
    // A reference of its own: what it calls may route the reports elsewhere.
    const py::object deliver = *Deliver();
    // The failing call may be on its way out with an exception set.
    const py::error_scope keep;
    try {
        deliver();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("korvo: delivering the library's error reports");
    }
}

py::tuple AsTuple(const ErrorReport& r) {
    const bool timeout = r.kind == ErrorKind::kTimeout;
    return py::make_tuple(r.source, r.line, timeout ? "timeout" : "failed call", r.operation, r.port, r.error,
                          r.error_text, r.Line());
}

}  // namespace

void BindErrors(py::module_& m) {
    m.def(
        "_errors_to_python",
        [](py::object deliver) {
            delete Deliver();
            Deliver() = new py::object(std::move(deliver));
            SetErrorSink([](const ErrorReport& report) {
                Queue().Push(report);
                // PyGILState_Check is safe on any thread, and true only on
                // the one holding the lock (which then cannot be waiting for
                // this report's thread: it is this thread).
                if (Py_IsInitialized() != 0 && !Py_IsFinalizing() && PyGILState_Check() != 0) DeliverHere();
            });
        },
        "deliver"_a,
        "Routes the library's error reports into a queue; `deliver` (called with no arguments, on a thread that "
        "holds the interpreter lock) takes them with _take_errors().");
    m.def(
        "_errors_silenced", [] { SetErrorSink([](const ErrorReport&) {}); },
        "Drops the library's error reports.");
    m.def(
        "_errors_to_stderr",
        [] {
            SetErrorSink({});
            delete Deliver();
            Deliver() = nullptr;
        },
        "The library's error lines on standard error again, as written by default.");
    m.def(
        "_take_errors",
        [] {
            Realtime::ErrorQueue::Taken taken = Queue().Take();
            py::list reports;
            for (const ErrorReport& r : taken.reports) reports.append(AsTuple(r));
            return py::make_tuple(reports, taken.dropped);
        },
        "The queued reports, oldest first, as tuples (source, line, kind, operation, port, errno, error text, "
        "line), and how many were dropped since the last call.");
    m.def(
        "_wait_errors",
        [](double timeout) {
            if (!(std::isfinite(timeout) && timeout >= 0.0)) throw py::value_error("timeout must be finite and >= 0");
            const GilRelease release;
            return Queue().Wait(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(timeout)));
        },
        "timeout"_a, "Waits, without the interpreter lock, until reports are queued, _wake_errors() or the timeout.");
    m.def("_wake_errors", [] { Queue().Wake(); }, "Ends the current _wait_errors().");
}

}  // namespace Korvo::Haptics::Python
