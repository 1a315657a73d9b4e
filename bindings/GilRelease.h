#pragma once
// Releasing the interpreter lock around library calls, in both Python
// modules (KorvoHardwareAPI and korvo._native).
//
// pybind11's own guard retakes the lock in a noexcept destructor. At
// interpreter exit, Python 3.13 ends a thread that retakes the lock (a daemon
// thread coming back from the library) with pthread_exit, whose unwinding
// cannot cross a noexcept frame: the whole process aborts ("terminate called
// without an active exception"), skipping the rest of the exit. This guard
// leaves such a thread waiting for good instead, whether the exit began
// before it came back or while it waited for the lock (the process is
// exiting; it is what Python 3.14 does itself), and lets the main thread,
// which runs the exit, retake the lock as usual.

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <atomic>

namespace Korvo::PythonSupport {

// The interpreter's main thread, the one that runs its exit; each module
// notes it when it is imported.
inline std::atomic<unsigned long> g_main_thread{0};

inline void RememberMainThread() {
    g_main_thread = pybind11::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

class GilRelease {
public:
    GilRelease() {
        // As pybind11's guard does: its internals must exist before any
        // thread acquires the lock through them.
        pybind11::detail::get_internals();
        state_ = PyEval_SaveThread();
    }
    // Once the exit has begun, Python ends a thread that comes to retake the
    // lock, or that waits for it, with pthread_exit, which unwinds its stack:
    // the cleanup below meets that unwinding first and makes the thread wait
    // for good instead. Not noexcept, so that no frame here turns the
    // unwinding into a terminate.
    ~GilRelease() noexcept(false) {
        if (Py_IsFinalizing() && PyThread_get_thread_ident() != g_main_thread.load()) WaitForGood();
        struct EndedInThere {
            bool retaken = false;
            ~EndedInThere() {
                if (!retaken) WaitForGood();
            }
        } ending;
        PyEval_RestoreThread(state_);
        ending.retaken = true;
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    static void WaitForGood() noexcept {
        for (;;) ::pause();
    }

    PyThreadState* state_ = nullptr;
};

}  // namespace Korvo::PythonSupport
