#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace Korvo::Testing {

void AnswerAtOnce() {
    sched_param param{};
    param.sched_priority = 50;
    static_cast<void>(::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param));
}

namespace {

[[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

void WriteAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("pty peer write");
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        std::uint8_t raw[sizeof v];
        std::memcpy(raw, &v, sizeof v);
        out.insert(out.end(), raw, raw + sizeof v);
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

PtyPeer::PtyPeer() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) Fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) Fail("ptsname_r");
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) Fail("open pty slave");
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
}

PtyPeer::~PtyPeer() {
    JoinWorker();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

Bytes PtyPeer::Read(std::size_t n, std::chrono::milliseconds limit) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) break;
        pollfd p{master_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || !(p.revents & POLLIN)) break;
        std::uint8_t buffer[4096];
        const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

Bytes PtyPeer::Drain(std::chrono::milliseconds quiet) {
    Bytes out;
    for (;;) {
        Bytes more = Read(4096, quiet);
        if (more.empty()) return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

void PtyPeer::Send(const Bytes& bytes) { WriteAll(master_, bytes); }

void PtyPeer::Deliver(const Bytes& bytes) {
    const int before = PendingForLibrary();
    Send(bytes);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (PendingForLibrary() < before + static_cast<int>(bytes.size())) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("pty peer: bytes not delivered");
        std::this_thread::yield();
    }
}

void PtyPeer::SendAfter(std::chrono::microseconds delay, Bytes bytes) {
    JoinWorker();
    worker_ = std::thread([this, delay, bytes = std::move(bytes)] {
        AnswerAtOnce();
        std::this_thread::sleep_for(delay);
        WriteAll(master_, bytes);
    });
}

void PtyPeer::Script(std::vector<Step> steps, std::chrono::milliseconds step_limit) {
    JoinWorker();
    received_.clear();
    worker_ = std::thread([this, steps = std::move(steps), step_limit] {
        AnswerAtOnce();
        for (const Step& step : steps) {
            Bytes got = Read(step.expect.size(), step_limit);
            const bool complete = got.size() == step.expect.size();
            received_.push_back(std::move(got));
            if (!complete) return;  // the library stopped talking; so do we
            if (step.delay.count() > 0) std::this_thread::sleep_for(step.delay);
            WriteAll(master_, step.reply);
        }
    });
}

std::vector<Bytes> PtyPeer::Join() {
    JoinWorker();
    return received_;
}

int PtyPeer::PendingForLibrary() const {
    int count = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &count) != 0) return -1;
    return count;
}

void PtyPeer::HangUp() {
    JoinWorker();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

void PtyPeer::JoinWorker() {
    if (worker_.joinable()) worker_.join();
}

}  // namespace Korvo::Testing
