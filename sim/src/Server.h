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

namespace korvo::sim {

class Server {
public:
    // Backlog above which streamed frames are skipped: the host is not reading.
    static constexpr std::size_t kStreamBacklogLimit = 512;

    Server(DeviceKind kind, std::unique_ptr<SimulatedDevice> device, Faults faults, Pty pty, Link link,
           Announcer& announcer, const SimClock& clock, int stopFd, std::uint64_t busyPollUs = 0,
           int realtimePriority = 0);

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    [[nodiscard]] const std::string& slavePath() const noexcept { return pty_.slavePath(); }

    // Thread body. Returns when the stop descriptor becomes readable. A failure
    // is reported on standard error and with SIGUSR1 to the process.
    void run() noexcept;

private:
    enum class End { Stopped, HungUp };

    End serve();
    // Handles one chunk read from the host; true when the line must be hung up.
    bool handleChunk(const std::uint8_t* data, std::size_t size, double now);
    bool writeAll(const wire::Bytes& bytes);
    // Waits up to `timeoutNs` (< 0: forever); true if a stop was requested.
    bool waitForStop(std::int64_t timeoutNs) const;
    [[nodiscard]] bool stopRequested() const { return waitForStop(0); }
    void waitForHostToRead();
    void reconnect();

    DeviceKind kind_;
    std::unique_ptr<SimulatedDevice> device_;
    Faults faults_;
    Pty pty_;
    Link link_;
    Announcer& announcer_;
    const SimClock& clock_;
    int stopFd_;
    double busyPollSeconds_;
    int realtimePriority_;
    double lastRequest_ = -1e9;

    Request request_;
    wire::Bytes out_;
};

}  // namespace korvo::sim
