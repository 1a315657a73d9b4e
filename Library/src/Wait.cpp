#include "Korvo/HardwareAPI/IO/Wait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace Korvo::HardwareAPI::IO {

namespace {

std::atomic<InterruptCheck> g_interrupt_check{nullptr};
thread_local const CancelToken* t_cancel = nullptr;

timespec ToTimespec(Deadline::Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

void SetInterruptCheck(InterruptCheck check) noexcept { g_interrupt_check.store(check, std::memory_order_release); }

void CheckForInterrupt() {
    if (const InterruptCheck check = g_interrupt_check.load(std::memory_order_acquire)) check();
}

// -- cancel tokens ---------------------------------------------------------------------------

CancelToken::CancelToken() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CancelToken::~CancelToken() { ::close(fd_); }

void CancelToken::Cancel() noexcept {
    const std::uint64_t one = 1;
    // Only fails when the counter is about to overflow: then it is set anyway.
    [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

bool CancelToken::Cancelled() const noexcept {
    pollfd fd{fd_, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

CancelScope::CancelScope(const CancelToken& token) noexcept : previous_(t_cancel) { t_cancel = &token; }

CancelScope::~CancelScope() { t_cancel = previous_; }

const CancelToken* CancelScope::Current() noexcept { return t_cancel; }

// -- sleeping ----------------------------------------------------------------------------------

short SleepOnDescriptor(int fd, short events, const Deadline& deadline, bool interruptible) {
    const CancelToken* token = t_cancel;
    pollfd fds[2] = {{fd, events, 0}, {token != nullptr ? token->Descriptor() : -1, POLLIN, 0}};
    for (;;) {
        const auto now = Deadline::Clock::now();
        if (deadline.Passed(now)) return 0;
        // Sleep in slices, so that a signal that arrived just before the
        // sleep (and so did not interrupt it) is still noticed in time.
        Deadline::Clock::duration left = kInterruptSlice;
        const bool whole_slice = deadline.Unlimited() || deadline.End() - now >= left;
        if (!whole_slice) left = deadline.End() - now;
        const timespec timeout = ToTimespec(left);
        const int ready = ::ppoll(fds, token != nullptr ? 2 : 1, &timeout, nullptr);
        if (ready < 0) {
            if (errno != EINTR) return POLLERR;
            if (interruptible) CheckForInterrupt();
            continue;
        }
        if (fds[1].revents != 0) throw WaitCancelled();
        if (ready > 0) return fds[0].revents;
        if (whole_slice && interruptible) CheckForInterrupt();
    }
}

void SleepUntil(const Deadline& deadline, bool interruptible) {
    while (!deadline.Passed()) SleepOnDescriptor(-1, 0, deadline, interruptible);
}

}  // namespace Korvo::HardwareAPI::IO
