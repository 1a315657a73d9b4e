#include "Korvo/HardwareAPI/IO/serialib.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PortOwnership.h"

namespace Korvo::HardwareAPI::IO {

namespace {

using Traits = std::char_traits<char>;

// Whole milliseconds between two wall-clock readings, borrowing a second when
// the microseconds go backwards.
long ElapsedMs(const timeval& start, const timeval& now) {
    long seconds = now.tv_sec - start.tv_sec;
    long micros = now.tv_usec - start.tv_usec;
    if (micros < 0) {
        seconds -= 1;
        micros += 1000000;
    }
    return seconds * 1000 + micros / 1000;
}

}  // namespace

serialib::~serialib() { Close(); }

char serialib::Open(const char* path) {
    // Nothing happens to the port until it is ours: configuring or flushing
    // a port another program holds would disturb that program. The
    // descriptor is close-on-exec: a program this process starts must not
    // inherit the port, nor the lock on it.
    const PortOwnership::Opened opened = PortOwnership::Open(path);
    refused_by_ = opened.driver;
    if (opened.fd < 0) return -2;
    fd_ = opened.fd;
    port_ = opened.port;
    generation_ = opened.generation;

    // From here on the descriptor never blocks: waits are bounded in
    // userspace instead.
    ::fcntl(fd_, F_SETFL, O_NDELAY);

    termios options;
    ::tcgetattr(fd_, &options);
    // Start from nothing: every flag not named below must be off, whatever
    // the previous user of the port left behind.
    std::memset(&options, 0, sizeof options);
    ::cfsetispeed(&options, B115200);
    ::cfsetospeed(&options, B115200);
    options.c_cflag |= CLOCAL | CREAD | CS8;
    options.c_iflag |= IGNPAR | IGNBRK;
    options.c_cc[VTIME] = 0;
    options.c_cc[VMIN] = 0;
    ::tcsetattr(fd_, TCSANOW, &options);
    readable_threshold_ = 0;
    // A port opens empty. Bytes a device sent before this open (to an
    // earlier user of the port, or while no one listened) answer no request
    // of ours, and a well-formed stale reply would be taken for the answer to
    // the first one: wrong values, reported as success.
    ::tcflush(fd_, TCIFLUSH);
    return 1;
}

void serialib::SetDTR() {
    if (!MayUse()) return;
    int status = 0;
    ::ioctl(fd_, TIOCMGET, &status);
    status |= TIOCM_DTR;
    ::ioctl(fd_, TIOCMSET, &status);
}

void serialib::Close() {
    if (fd_ < 0) return;
    if (Inherited()) {
        ::close(fd_);  // the child's own descriptor, which no longer leads to the port
    } else {
        StopDriving();
        PortOwnership::Close(fd_, port_);
    }
    fd_ = -1;
    port_ = nullptr;
}

bool serialib::Inherited() const noexcept { return fd_ >= 0 && generation_ != PortOwnership::Generation(); }

bool serialib::MayUse() const noexcept {
    if (fd_ < 0) return true;
    if (Inherited() || (port_ != nullptr && PortOwnership::DrivenElsewhere(*port_, this))) {
        errno = EBUSY;
        return false;
    }
    return true;
}

std::string serialib::Drive(const char* what) {
    if (Inherited()) return "was opened by the parent of this process (a fork): it is the parent's";
    if (fd_ < 0 || port_ == nullptr) return "is not open";
    return PortOwnership::Drive(*port_, this, what);
}

void serialib::StopDriving() noexcept {
    if (fd_ >= 0 && port_ != nullptr && !Inherited()) PortOwnership::StopDriving(*port_, this);
}

const char* serialib::Driver() const noexcept {
    if (fd_ < 0 || port_ == nullptr || Inherited()) return nullptr;
    return port_->driver.load();
}

const char* serialib::EnterOperation() noexcept {
    // An inherited port refuses at its first use instead, with the stream's
    // failure.
    if (fd_ < 0 || port_ == nullptr || Inherited()) return nullptr;
    port_->operations.fetch_add(1);
    if (const char* driver = port_->driver.load()) {
        port_->operations.fetch_sub(1);
        return driver;
    }
    return nullptr;
}

void serialib::LeaveOperation() noexcept {
    if (fd_ >= 0 && port_ != nullptr && !Inherited()) port_->operations.fetch_sub(1);
}

ssize_t serialib::WriteSome(const char* source, std::size_t n) {
    if (fd_ == -1) {
        errno = EBADF;
        return -1;
    }
    if (!MayUse()) return -1;
    return ::write(fd_, source, n);
}

void serialib::DiscardUnsentOutput() {
    if (fd_ >= 0 && MayUse()) ::tcflush(fd_, TCOFLUSH);
}

int serialib::TimedRead(unsigned char* destination, unsigned n) {
    if (!MayUse()) return -2;
    unsigned count = 0;
    timeval start;
    ::gettimeofday(&start, nullptr);
    bool hung_up = false;
    for (;;) {
        timeval now;
        ::gettimeofday(&now, nullptr);
        // Unsigned on purpose: a wall clock stepping backwards ends the wait.
        const auto elapsed = static_cast<unsigned long>(ElapsedMs(start, now));
        if (elapsed >= kReadLimitMs) return static_cast<int>(count);

        const ssize_t got = ::read(fd_, destination + count, n - count);
        if (got == -1 && errno != EAGAIN && errno != EINTR) return -2;
        if (got > 0) {
            count += static_cast<unsigned>(got);
            bytes_read_ += static_cast<unsigned long long>(got);
            if (count >= n) return static_cast<int>(count);
            continue;
        }
        if (hung_up) {
            // The line is gone and nothing is left to read (a pulled cable
            // reads as an endless end of file): nothing more will come.
            errno = EIO;
            return -2;
        }
        // Nothing waiting: sleep until the rest is there or the limit.
        SetReadableThreshold(n - count);
        pollfd port{fd_, POLLIN, 0};
        if (::poll(&port, 1, static_cast<int>(kReadLimitMs - elapsed)) > 0) {
            hung_up = (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
    }
}

void serialib::SetReadableThreshold(std::size_t count) {
    const auto wanted = static_cast<unsigned char>(count < 1 ? 1 : (count > kMaxReadableThreshold ? kMaxReadableThreshold : count));
    if (fd_ < 0 || wanted == readable_threshold_ || !MayUse()) return;
    termios options;
    if (::tcgetattr(fd_, &options) != 0) return;  // not a terminal: poll counts every byte anyway
    options.c_cc[VMIN] = wanted;
    if (::tcsetattr(fd_, TCSANOW, &options) == 0) readable_threshold_ = wanted;
}

std::basic_streambuf<char>* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (fd_ == -1) return 0;
    if (has_cached_byte_) return 1;
    if (!MayUse()) return -1;

    const int flags = ::fcntl(fd_, F_GETFL);
    if (::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == -1) return -1;

    std::streamsize result = 0;
    unsigned char byte = 0;
    if (TimedRead(&byte, 1) == 1) {
        cached_byte_ = static_cast<char>(byte);
        has_cached_byte_ = true;
        result = 1;
    }
    if (::fcntl(fd_, F_SETFL, flags) == -1) return -1;
    return result;
}

std::streamsize serialib::xsgetn(char_type* destination, std::streamsize n) {
    if (fd_ == -1 || n <= 0) return 0;
    auto* out = reinterpret_cast<unsigned char*>(destination);
    if (has_cached_byte_) {
        out[0] = static_cast<unsigned char>(cached_byte_);
        has_cached_byte_ = false;
        if (n == 1) return 1;
        const int got = TimedRead(out + 1, static_cast<unsigned>(n - 1));
        return got < 0 ? 0 : got + 1;
    }
    const int got = TimedRead(out, static_cast<unsigned>(n));
    return got < 0 ? 0 : got;
}

serialib::int_type serialib::underflow() {
    if (fd_ == -1) return Traits::eof();
    if (!has_cached_byte_) {
        unsigned char byte = 0;
        if (TimedRead(&byte, 1) != 1) return Traits::eof();
        cached_byte_ = static_cast<char>(byte);
        has_cached_byte_ = true;
    }
    // to_int_type keeps 0xFF apart from EOF.
    return Traits::to_int_type(cached_byte_);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_cached_byte_ = false;
    return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (has_cached_byte_ || Traits::eq_int_type(c, Traits::eof())) return Traits::eof();
    cached_byte_ = Traits::to_char_type(c);
    has_cached_byte_ = true;
    return c;
}

std::streamsize serialib::xsputn(const char_type* source, std::streamsize n) {
    if (n <= 0 || fd_ == -1 || !MayUse()) return 0;
    // One write for the whole block: a partial write is a failure, and the
    // caller decides what to do about it.
    const ssize_t written = ::write(fd_, source, static_cast<size_t>(n));
    return written == n ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (Traits::eq_int_type(c, Traits::eof()) || fd_ == -1 || !MayUse()) return Traits::eof();
    const char byte = Traits::to_char_type(c);
    return ::write(fd_, &byte, 1) == 1 ? c : Traits::eof();
}

}  // namespace Korvo::HardwareAPI::IO
