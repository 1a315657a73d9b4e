// Ctrl+C during a device wait. The library's waits sleep in poll(); a signal
// interrupts that sleep, and at least every slice the wait asks the interrupt
// check installed here whether to go on. On the main thread (the only one
// where Python runs signal handlers) the check takes the interpreter lock
// and runs the handlers: if one raises (KeyboardInterrupt, by default), the
// wait is abandoned by throwing that error, which pybind11 hands back to the
// Python caller. Other threads are never stopped here.

#include <pybind11/pybind11.h>

#include <atomic>

#include "Bindings.h"
#include "Korvo/HardwareAPI/IO/Wait.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

namespace {

std::atomic<unsigned long> g_main_thread{0};

void RunPythonSignalHandlers() {
    if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return;
    if (Py_IsFinalizing()) return;
    // Taken even when the waiting call keeps the lock: the guard nests.
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

void InstallInterruptCheck() {
    g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    IO::SetInterruptCheck(&RunPythonSignalHandlers);
}

}  // namespace Korvo::HardwareAPI::Bindings
