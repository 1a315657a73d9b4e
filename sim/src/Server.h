// Serves one device on its pseudo-terminal: waits in poll() for request bytes,
// answers each complete request with one write(), streams unsolicited frames
// between requests, and plays the cable being pulled and plugged back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Announcer.h"
#include "Clock.h"
#include "SimulatedDevice.h"
#include "Faults.h"
#include "Link.h"
#include "Options.h"
#include "Pty.h"

namespace Korvo::Sim {

class Server {
public:
    // Backlog above which streamed frames are skipped: the host is not reading.
    static constexpr std::size_t kStreamBacklogLimit = 512;

    Server(DeviceKind kind, std::unique_ptr<SimulatedDevice> device, Faults faults, Pty pty, Link link,
           Announcer& announcer, const SimClock& clock, int stop_fd, std::uint64_t busy_poll_us = 0,
           int realtime_priority = 0);

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    [[nodiscard]] const std::string& SlavePath() const noexcept { return pty_.SlavePath(); }

    // Thread body. Returns when the stop descriptor becomes readable. A failure
    // is reported on standard error and with SIGUSR1 to the process.
    void Run() noexcept;

private:
    enum class End { Stopped, HungUp };

    End Serve();
    // Handles one chunk read from the host; true when the line must be hung up.
    bool HandleChunk(const std::uint8_t* data, std::size_t size, double now);
    bool WriteAll(const Wire::Bytes& bytes);
    // Waits up to `timeout_ns` (< 0: forever); true if a stop was requested.
    bool WaitForStop(std::int64_t timeout_ns) const;
    [[nodiscard]] bool StopRequested() const { return WaitForStop(0); }
    void WaitForHostToRead();
    void Reconnect();

    DeviceKind kind_;
    std::unique_ptr<SimulatedDevice> device_;
    Faults faults_;
    Pty pty_;
    Link link_;
    Announcer& announcer_;
    const SimClock& clock_;
    int stop_fd_;
    double busy_poll_seconds_;
    int realtime_priority_;
    double last_request_ = -1e9;

    Request request_;
    Wire::Bytes out_;
};

}  // namespace Korvo::Sim
