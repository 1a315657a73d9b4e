#include "Server.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace Korvo::Sim {

namespace {

timespec ToTimespec(std::int64_t ns) noexcept
{
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

Server::Server(DeviceKind kind, std::unique_ptr<SimulatedDevice> device, Faults faults, Pty pty, Link link,
               Announcer& announcer, const SimClock& clock, int stop_fd, std::uint64_t busy_poll_us,
               int realtime_priority)
    : kind_(kind),
      device_(std::move(device)),
      faults_(std::move(faults)),
      pty_(std::move(pty)),
      link_(std::move(link)),
      announcer_(announcer),
      clock_(clock),
      stop_fd_(stop_fd),
      busy_poll_seconds_(static_cast<double>(busy_poll_us) * 1e-6),
      realtime_priority_(realtime_priority)
{
    request_.reply.reserve(1024);
    out_.reserve(4096);
}

bool Server::WaitForStop(std::int64_t timeout_ns) const
{
    pollfd fd{stop_fd_, POLLIN, 0};
    const timespec ts = ToTimespec(std::max<std::int64_t>(timeout_ns, 0));
    for (;;) {
        const int r = ::ppoll(&fd, 1, timeout_ns < 0 ? nullptr : &ts, nullptr);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r > 0;
    }
}

bool Server::WriteAll(const Wire::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty_.Master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The host's input queue is full: wait for room, or for a stop.
            pollfd fds[2] = {{pty_.Master(), POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return false;
            }
            if (fds[1].revents & POLLIN) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

void Server::WaitForHostToRead()
{
    // Hanging up discards whatever the host has not read yet, and the last
    // reply should reach it first. The bytes take a moment to show in the
    // host's queue, so a queue seen empty only counts after they have shown,
    // or after a short grace period.
    const double start = clock_.Now();
    bool seen = false;
    for (;;) {
        const double elapsed = clock_.Now() - start;
        if (pty_.UnreadByHost() > 0) {
            seen = true;
        } else if (seen || elapsed > 0.002) {
            return;
        }
        if (elapsed > 0.100 || WaitForStop(100'000)) {
            return;
        }
    }
}

bool Server::HandleChunk(const std::uint8_t* data, std::size_t size, double now)
{
    std::size_t offset = 0;
    while (offset < size) {
        offset += device_->Consume(data + offset, size - offset, now, request_);
        if (!request_.complete) {
            continue;
        }
        bool wrote = false;
        if (request_.has_reply && faults_.Shape(request_.reply, out_)) {
            if (faults_.DelayUs() != 0 && WaitForStop(static_cast<std::int64_t>(faults_.DelayUs()) * 1000)) {
                return false;
            }
            wrote = WriteAll(out_);
        }
        if (faults_.HangUpAfterRequest()) {
            if (wrote) {
                WaitForHostToRead();
            }
            return true;  // the rest of the chunk goes down with the line
        }
    }
    return false;
}

Server::End Server::Serve()
{
    std::uint8_t buffer[4096];
    for (;;) {
        const double due = device_->NextFrameDue();
        timespec ts{};
        const timespec* timeout = nullptr;
        const double now = clock_.Now();
        if (now - last_request_ < busy_poll_seconds_) {
            timeout = &ts;  // zero: look, do not sleep
        } else if (std::isfinite(due)) {
            const double wait = std::max(0.0, due - now);
            ts = ToTimespec(static_cast<std::int64_t>(wait * 1e9));
            timeout = &ts;
        }
        pollfd fds[2] = {{pty_.Master(), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        const int r = ::ppoll(fds, 2, timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents & POLLIN) {
            return End::Stopped;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(pty_.Master(), buffer, sizeof buffer);
            if (n > 0) {
                last_request_ = clock_.Now();
                if (HandleChunk(buffer, static_cast<std::size_t>(n), last_request_)) {
                    return End::HungUp;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Cannot happen while our own slave descriptor is open.
                throw std::runtime_error(std::string("read from master: ")
                                         + (n == 0 ? "end of file" : std::strerror(errno)));
            }
        }
        // A frame holds the handle as it is when it leaves, not as it was
        // before the wait: a reply sent meanwhile is older than the frame.
        if (const double at = clock_.Now(); device_->NextFrameDue() <= at) {
            out_.clear();
            device_->TakeFrame(at, pty_.UnreadByHost() <= kStreamBacklogLimit, out_);
            if (!out_.empty()) {
                WriteAll(out_);
            }
        }
    }
}

void Server::Reconnect()
{
    pty_ = Pty::Open();
    device_->ResetParser();
    if (!link_.Empty()) {
        try {
            link_.PointTo(pty_.SlavePath());
        } catch (const std::exception& e) {
            // The device is back even if its link cannot be: the line printed
            // below still tells the fixture where it is.
            std::fprintf(stderr, "korvo-sim: %s: %s\n", KindName(kind_), e.what());
        }
    }
    announcer_.Announce(kind_, pty_.SlavePath());
}

void Server::Run() noexcept
{
    // Timed waits (reply delays, frame deadlines) should end when asked to, not
    // up to 50 µs later.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (realtime_priority_ > 0) {
        sched_param param{};
        param.sched_priority = realtime_priority_;
        const int err = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
        if (err != 0) {
            std::fprintf(stderr, "korvo-sim: %s: no real-time priority (%s); serving at normal priority\n",
                         KindName(kind_), std::strerror(err));
        }
    }
    try {
        for (;;) {
            if (Serve() == End::Stopped) {
                return;
            }
            // The cable is pulled: the host's port hangs up and its link vanishes.
            pty_.Close();
            link_.Remove();
            const std::int64_t ms = faults_.ReconnectMs();
            if (WaitForStop(ms < 0 ? -1 : ms * 1'000'000)) {
                return;
            }
            Reconnect();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvo-sim: %s: %s\n", KindName(kind_), e.what());
        ::kill(::getpid(), SIGUSR1);
    }
}

}  // namespace Korvo::Sim
