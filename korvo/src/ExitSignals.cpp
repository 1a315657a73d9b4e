#include "ExitSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace Korvo::Haptics::ExitSignals {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

std::mutex g_mutex;
void (*g_stop_all)() noexcept = nullptr;
// The pipe the handler writes a signal's number to, and the process whose
// thread reads it: a fork's child copies the numbers, not the thread.
int g_read_fd = -1;
std::atomic<int> g_write_fd{-1};
std::atomic<pid_t> g_process{0};
// A signal has been taken: the process is ending, and no handler of ours is
// installed again.
bool g_ending = false;

void OnSignal(int sig);

struct sigaction Disposition(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Only the pipe is written here: the program's interrupted calls go on.
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    return action;
}

bool Is(const struct sigaction& action, void (*handler)(int)) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
}

// Replaces `from` with `to` for `sig`, unless the disposition is something
// else by then (the program's own): that one is put back.
void Swap(int sig, void (*from)(int), void (*to)(int)) noexcept {
    struct sigaction current {};
    if (::sigaction(sig, nullptr, &current) != 0 || !Is(current, from)) return;
    const struct sigaction wanted = Disposition(to);
    struct sigaction replaced {};
    if (::sigaction(sig, &wanted, &replaced) == 0 && !Is(replaced, from)) ::sigaction(sig, &replaced, nullptr);
}

void OnSignal(int sig) {
    const int saved = errno;
    const int fd = g_write_fd.load(std::memory_order_relaxed);
    const unsigned char number = static_cast<unsigned char>(sig);
    if (fd < 0 || ::getpid() != g_process.load(std::memory_order_relaxed) || ::write(fd, &number, 1) != 1) {
        // No thread of ours to wake: as if the default had stayed. The
        // signal is blocked while this runs, and acts when it returns.
        const struct sigaction fallback = Disposition(SIG_DFL);
        ::sigaction(sig, &fallback, nullptr);
        ::raise(sig);
    }
    errno = saved;
}

void Watch(int fd) noexcept {
    for (;;) {
        unsigned char number = 0;
        const ssize_t got = ::read(fd, &number, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1) return;
        const int sig = number;
        void (*stop_all)() noexcept = nullptr;
        {
            const std::lock_guard<std::mutex> lock(g_mutex);
            g_ending = true;
            stop_all = g_stop_all;
        }
        if (stop_all != nullptr) stop_all();
        {
            const std::lock_guard<std::mutex> lock(g_mutex);
            Swap(sig, &OnSignal, SIG_DFL);
        }
        ::kill(::getpid(), sig);
    }
}

// The pipe and its reader, once per process; false when the process cannot
// have them (the signals then keep their default).
bool StartWatcher() noexcept {
    if (g_read_fd >= 0) return true;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    // A handler never waits; a full pipe has a signal on its way already.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    // The reader takes no signal itself: they are for the program's threads,
    // and the one it raises must reach them.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
        std::thread(&Watch, ends[0]).detach();
    } catch (...) {
        started = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    g_read_fd = ends[0];
    g_process.store(::getpid());
    g_write_fd.store(ends[1]);
    return true;
}

}  // namespace

void Arm(void (*stop_all)() noexcept) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_stop_all = stop_all;
    if (g_ending || !StartWatcher()) return;
    for (const int sig : kSignals) Swap(sig, SIG_DFL, &OnSignal);
}

void Disarm() noexcept {
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const int sig : kSignals) Swap(sig, &OnSignal, SIG_DFL);
}

void BeforeFork() noexcept { g_mutex.lock(); }

void AfterForkInParent() noexcept { g_mutex.unlock(); }

void AfterForkInChild() noexcept {
    for (const int sig : kSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && Is(current, &OnSignal)) {
            const struct sigaction fallback = Disposition(SIG_DFL);
            ::sigaction(sig, &fallback, nullptr);
        }
    }
    // The pipe's copies go: the parent's reader must never hear the child.
    if (const int fd = g_write_fd.exchange(-1); fd >= 0) ::close(fd);
    if (g_read_fd >= 0) ::close(g_read_fd);
    g_read_fd = -1;
    g_ending = false;
    g_mutex.unlock();
}

}  // namespace Korvo::Haptics::ExitSignals
