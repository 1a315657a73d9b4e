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

namespace korvo::sim {

namespace {

timespec toTimespec(std::int64_t ns) noexcept
{
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

Server::Server(DeviceKind kind, std::unique_ptr<SimulatedDevice> device, Faults faults, Pty pty, Link link,
               Announcer& announcer, const SimClock& clock, int stopFd, std::uint64_t busyPollUs,
               int realtimePriority)
    : kind_(kind),
      device_(std::move(device)),
      faults_(std::move(faults)),
      pty_(std::move(pty)),
      link_(std::move(link)),
      announcer_(announcer),
      clock_(clock),
      stopFd_(stopFd),
      busyPollSeconds_(static_cast<double>(busyPollUs) * 1e-6),
      realtimePriority_(realtimePriority)
{
    request_.reply.reserve(1024);
    out_.reserve(4096);
}

bool Server::waitForStop(std::int64_t timeoutNs) const
{
    pollfd fd{stopFd_, POLLIN, 0};
    const timespec ts = toTimespec(std::max<std::int64_t>(timeoutNs, 0));
    for (;;) {
        const int r = ::ppoll(&fd, 1, timeoutNs < 0 ? nullptr : &ts, nullptr);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r > 0;
    }
}

bool Server::writeAll(const wire::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The host's input queue is full: wait for room, or for a stop.
            pollfd fds[2] = {{pty_.master(), POLLOUT, 0}, {stopFd_, POLLIN, 0}};
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

void Server::waitForHostToRead()
{
    // Hanging up discards whatever the host has not read yet, and the last
    // reply should reach it first. The bytes take a moment to show in the
    // host's queue, so a queue seen empty only counts after they have shown,
    // or after a short grace period.
    const double start = clock_.now();
    bool seen = false;
    for (;;) {
        const double elapsed = clock_.now() - start;
        if (pty_.unreadByHost() > 0) {
            seen = true;
        } else if (seen || elapsed > 0.002) {
            return;
        }
        if (elapsed > 0.100 || waitForStop(100'000)) {
            return;
        }
    }
}

bool Server::handleChunk(const std::uint8_t* data, std::size_t size, double now)
{
    std::size_t offset = 0;
    while (offset < size) {
        offset += device_->consume(data + offset, size - offset, now, request_);
        if (!request_.complete) {
            continue;
        }
        bool wrote = false;
        if (request_.hasReply && faults_.shape(request_.reply, out_)) {
            if (faults_.delayUs() != 0 && waitForStop(static_cast<std::int64_t>(faults_.delayUs()) * 1000)) {
                return false;
            }
            wrote = writeAll(out_);
        }
        if (faults_.hangUpAfterRequest()) {
            if (wrote) {
                waitForHostToRead();
            }
            return true;  // the rest of the chunk goes down with the line
        }
    }
    return false;
}

Server::End Server::serve()
{
    std::uint8_t buffer[4096];
    for (;;) {
        const double due = device_->nextFrameDue();
        timespec ts{};
        const timespec* timeout = nullptr;
        const double now = clock_.now();
        if (now - lastRequest_ < busyPollSeconds_) {
            timeout = &ts;  // zero: look, do not sleep
        } else if (std::isfinite(due)) {
            const double wait = std::max(0.0, due - now);
            ts = toTimespec(static_cast<std::int64_t>(wait * 1e9));
            timeout = &ts;
        }
        pollfd fds[2] = {{pty_.master(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int r = ::ppoll(fds, 2, timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents & POLLIN) {
            return End::Stopped;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n > 0) {
                lastRequest_ = clock_.now();
                if (handleChunk(buffer, static_cast<std::size_t>(n), lastRequest_)) {
                    return End::HungUp;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // Cannot happen while our own slave descriptor is open.
                throw std::runtime_error(std::string("read from master: ")
                                         + (n == 0 ? "end of file" : std::strerror(errno)));
            }
        }
        if (device_->nextFrameDue() <= clock_.now()) {
            out_.clear();
            device_->takeFrame(now, pty_.unreadByHost() <= kStreamBacklogLimit, out_);
            if (!out_.empty()) {
                writeAll(out_);
            }
        }
    }
}

void Server::reconnect()
{
    pty_ = Pty::open();
    device_->resetParser();
    if (!link_.empty()) {
        try {
            link_.pointTo(pty_.slavePath());
        } catch (const std::exception& e) {
            // The device is back even if its link cannot be: the line printed
            // below still tells the fixture where it is.
            std::fprintf(stderr, "korvo-sim: %s: %s\n", kindName(kind_), e.what());
        }
    }
    announcer_.announce(kind_, pty_.slavePath());
}

void Server::run() noexcept
{
    // Timed waits (reply delays, frame deadlines) should end when asked to, not
    // up to 50 µs later.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (realtimePriority_ > 0) {
        sched_param param{};
        param.sched_priority = realtimePriority_;
        const int err = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
        if (err != 0) {
            std::fprintf(stderr, "korvo-sim: %s: no real-time priority (%s); serving at normal priority\n",
                         kindName(kind_), std::strerror(err));
        }
    }
    try {
        for (;;) {
            if (serve() == End::Stopped) {
                return;
            }
            // The cable is pulled: the host's port hangs up and its link vanishes.
            pty_.close();
            link_.remove();
            const std::int64_t ms = faults_.reconnectMs();
            if (waitForStop(ms < 0 ? -1 : ms * 1'000'000)) {
                return;
            }
            reconnect();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvo-sim: %s: %s\n", kindName(kind_), e.what());
        ::kill(::getpid(), SIGUSR1);
    }
}

}  // namespace korvo::sim
