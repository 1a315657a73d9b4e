#pragma once
// How the library waits for a port, and how a wait is ended early.
//
// Every wait of the library for bytes (a reply's header code and payload, a
// status frame, read_raw, the rest of a write) runs the same way: it looks at
// the port for kSpinBeforeSleep, so that a reply already on its way is taken
// without the cost of a wake-up, and then sleeps in the kernel (poll) until
// enough bytes are there, the port hangs up or the limit passes. A thread
// waiting for a silent device costs next to nothing, and whatever must run to
// produce the reply (a simulator, the rest of the program) has the processor.
//
// Two things end a wait before its limit:
//
//  - The interrupt check: one process-wide function that every wait calls
//    when a signal interrupted its sleep, and at least every kInterruptSlice
//    while it sleeps. It returns to let the wait go on, or throws to abandon
//    it; the exception then leaves the library call that was waiting, with
//    whatever that call had read consumed and nothing more written. The
//    Python module installs one that runs Python's signal handlers on the
//    main thread, so that Ctrl+C raises KeyboardInterrupt out of any wait.
//    Without one (plain C++ programs), signals do not end waits.
//
//  - A CancelToken made current on a thread with CancelScope: once it is
//    cancelled, every wait on that thread ends at once by throwing
//    WaitCancelled. Discovery uses it to stop a probe; a thread that reads a
//    port can use it to be stopped.
//
// Thread safety: the functions here may be called from any thread.
// SetInterruptCheck is meant to be called once, before waits begin.

#include <poll.h>

#include <chrono>
#include <stdexcept>

#include "Korvo/HardwareAPI/IO/Deadline.h"

namespace Korvo::HardwareAPI::IO {

// How long a wait looks at the port before it sleeps.
inline constexpr std::chrono::microseconds kSpinBeforeSleep{50};
// The longest a sleeping wait goes without calling the interrupt check.
inline constexpr std::chrono::milliseconds kInterruptSlice{50};

// How a wait for bytes ended.
enum class WaitResult {
    Ready,     // enough bytes are waiting (or the stream has failed: reading fails at once)
    TimedOut,  // the limit passed first
    HungUp,    // the port hung up (cable pulled, other side closed) with too few bytes waiting
};

// -- interrupting waits ------------------------------------------------------------------

using InterruptCheck = void (*)();

// Installs the process-wide interrupt check (nullptr: none).
void SetInterruptCheck(InterruptCheck check) noexcept;

// Calls the interrupt check, if one is installed; it may throw.
void CheckForInterrupt();

// -- cancelling waits ----------------------------------------------------------------------

class WaitCancelled : public std::runtime_error {
public:
    WaitCancelled() : std::runtime_error("wait cancelled") {}
};

class CancelToken {
public:
    // Throws std::system_error when the process has no descriptor to spare.
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Ends every wait on the threads where this token is current; lasts.
    // Safe from any thread, and from a signal handler.
    void Cancel() noexcept;
    bool Cancelled() const noexcept;

    // Readable once cancelled: what waits poll beside the port.
    int Descriptor() const noexcept { return fd_; }

private:
    int fd_;
};

// While it lives, `token` is current on the constructing thread: waits there
// throw WaitCancelled once it is cancelled. Scopes nest; the innermost wins.
class CancelScope {
public:
    explicit CancelScope(const CancelToken& token) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

    static const CancelToken* Current() noexcept;

private:
    const CancelToken* previous_;
};

// -- sleeping --------------------------------------------------------------------------------

// Sleeps until `fd` reports one of `events` (as poll does; a negative fd is
// never ready), the deadline passes, or the current cancel token fires
// (WaitCancelled). Returns poll's events for `fd`, 0 once the deadline has
// passed. With `interruptible`, runs the interrupt check on a signal and
// every kInterruptSlice, so it may throw whatever that throws.
short SleepOnDescriptor(int fd, short events, const Deadline& deadline, bool interruptible = true);

// Sleeps until the deadline (interruptibly, and cancellable as above).
void SleepUntil(const Deadline& deadline, bool interruptible = true);

}  // namespace Korvo::HardwareAPI::IO
