#pragma once
// What keeps a loop of this layer (a servo loop, a handle monitor) to itself:
// the port it drives, and the process it was made in.

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "Korvo/HardwareAPI/IO/SerialStream.h"

namespace Korvo::Realtime {

// A loop's hold on its port (see SerialStream::Drive) from Start until the
// loop ends; the loop's own thread ends it when the loop ends by itself, so
// that a new stream can take the port over at once. Release is safe from any
// thread and more than once.
class PortClaim {
public:
    PortClaim() = default;
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;
    ~PortClaim() { Release(); }

    // Throws std::runtime_error beginning with `port` ("the arm's port")
    // and saying why, when `stream` cannot drive its port for the loop that
    // `what` names ("a servo loop").
    void Take(HardwareAPI::IO::SerialStream& stream, const char* what, const char* port);
    void Release() noexcept;

private:
    std::atomic<HardwareAPI::IO::SerialStream*> stream_{nullptr};
};

// The process an object was made in. A child made by fork() has a copy of its
// memory but none of its threads, and no port of its parent's: there such an
// object must neither start, nor join, send or lend anything back.
class Origin {
public:
    bool Forked() const noexcept { return ::getpid() != process_; }
    // Throws std::runtime_error when forked, naming `what` ("this servo loop").
    void RequireHere(const char* what) const;

    // Lets go of a thread handle copied from the parent, without joining or
    // detaching it: that thread runs in the parent only, and its handle
    // means nothing here.
    static void Forget(std::thread& thread) noexcept;

private:
    const pid_t process_ = ::getpid();
};

}  // namespace Korvo::Realtime
