#include "Korvo/HardwareAPI/IO/SerialStream.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "Korvo/HardwareAPI/IO/ErrorLog.h"

namespace Korvo::HardwareAPI::IO {

SerialStream::SerialStream(const char* port, bool open_now)
    : std::basic_iostream<char>(nullptr), port_name_(port != nullptr ? port : "") {
    if (!open_now) return;
    if (OpenPort() < 0) {
        LogError(ErrorSource::kSerialStream, 18, ErrorKind::kFailedCall, port_name_.c_str(), "unable to open stream '%s'", port_name_.c_str());
    }
}

SerialStream::~SerialStream() { Close(); }

const char* SerialStream::CheckedName(const std::string& port) {
    if (port.find('\0') != std::string::npos) throw std::invalid_argument("port name contains a NUL byte");
    return port.c_str();
}

char SerialStream::OpenPort() {
    port_buffer_ = std::make_unique<serialib>();
    rdbuf(port_buffer_.get());  // also resets the state to good
    if (port_buffer_->Open(port_name_.c_str()) == 1) {
        port_buffer_->SetDTR();
        return 1;
    }
    if (const char* driver = port_buffer_->RefusedBy()) {
        // Busy because of this very program: say what holds the port.
        LogError(ErrorSource::kSerialStream, 39, ErrorKind::kFailedCall, port_name_.c_str(),
                 "unable to open port '%s' (driven by %s of this process)", port_name_.c_str(), driver);
    } else {
        LogError(ErrorSource::kSerialStream, 39, ErrorKind::kFailedCall, port_name_.c_str(), "unable to open port '%s'",
                 port_name_.c_str());
    }
    return -2;
}

bool SerialStream::Refuse() {
    if (!port_buffer_ || port_buffer_->MayUse()) return false;
    if (good()) Fail(EBUSY);
    RecallFailure();
    return true;
}

std::string SerialStream::Drive(const char* what) {
    return port_buffer_ ? port_buffer_->Drive(what) : std::string("is not open");
}

void SerialStream::StopDriving() noexcept {
    if (port_buffer_) port_buffer_->StopDriving();
}

const char* SerialStream::Driver() const noexcept { return port_buffer_ ? port_buffer_->Driver() : nullptr; }

bool SerialStream::Inherited() const noexcept { return port_buffer_ && port_buffer_->Inherited(); }

const char* SerialStream::EnterOperation() noexcept {
    return port_buffer_ ? port_buffer_->EnterOperation() : nullptr;
}

void SerialStream::LeaveOperation() noexcept {
    if (port_buffer_) port_buffer_->LeaveOperation();
}

void SerialStream::Close() {
    if (port_buffer_) port_buffer_->Close();
}

int SerialStream::BytesAvailable() {
    counted_ = 0;
    if (Refuse() || !port_buffer_ || port_buffer_->Descriptor() < 0) return 0;
    int count = 0;
    if (::ioctl(port_buffer_->Descriptor(), FIONREAD, &count) == -1) return 0;
    counted_ = count > 0 ? static_cast<std::size_t>(count) : 0;
    read_when_counted_ = port_buffer_->BytesRead();
    return count;
}

std::size_t SerialStream::KnownAvailable() const noexcept {
    if (!port_buffer_ || port_buffer_->Descriptor() < 0) return 0;
    const unsigned long long since = port_buffer_->BytesRead() - read_when_counted_;
    return since >= counted_ ? 0 : counted_ - static_cast<std::size_t>(since);
}

WaitResult SerialStream::AwaitBytes(std::size_t n, const Deadline& deadline, bool interruptible,
                                    std::chrono::nanoseconds spin) {
    if (Refuse()) return WaitResult::Ready;  // the read that follows fails at once
    if (KnownAvailable() >= n) return WaitResult::Ready;
    // A failed stream fails its next read at once; waiting for bytes it will
    // never read would only delay that. The read's error line then names
    // what failed the stream.
    if (!good()) {
        RecallFailure();
        return WaitResult::Ready;
    }
    const auto count = [this] { return static_cast<std::size_t>(std::max(BytesAvailable(), 0)); };

    // A reply already on its way is taken without the cost of a wake-up.
    const auto spin_end = Deadline::Clock::now() + spin;
    for (;;) {
        if (count() >= n) return WaitResult::Ready;
        const auto now = Deadline::Clock::now();
        if (deadline.Passed(now)) return WaitResult::TimedOut;
        if (now >= spin_end) break;
    }
    for (;;) {
        const int fd = Descriptor();
        if (fd >= 0) port_buffer_->SetReadableThreshold(n);
        const short events = SleepOnDescriptor(fd, POLLIN, deadline, interruptible);
        const std::size_t waiting = count();
        if (waiting >= n) return WaitResult::Ready;
        if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) return WaitResult::HungUp;
        if (deadline.Passed()) return WaitResult::TimedOut;
        if (waiting >= serialib::kMaxReadableThreshold) {
            // More than a readable threshold can express is missing, and
            // poll() says "readable" already: nap for about the time the
            // rest takes at 115200 baud (87 us a byte) instead of spinning.
            const auto nap = std::chrono::microseconds(87 * static_cast<long>(n - waiting));
            SleepUntil(Deadline::Earlier(deadline, Deadline::At(Deadline::Clock::now() +
                                                                std::max<Deadline::Clock::duration>(nap, std::chrono::milliseconds(1)))),
                       interruptible);
        }
    }
}

void SerialStream::FailHungUp() {
    Fail(EIO);
}

void SerialStream::RecallFailure() const noexcept {
    if (failure_errno_ != 0) errno = failure_errno_;
}

void SerialStream::Fail(int err) {
    setstate(std::ios::badbit);
    failure_errno_ = err;
    errno = err;
}

bool SerialStream::WriteWhole(const char* data, std::size_t n, const Deadline& deadline, bool interruptible) {
    if (port_buffer_ && !port_buffer_->MayUse()) return false;  // errno EBUSY
    if (!port_buffer_ || port_buffer_->Descriptor() < 0) {
        errno = EBADF;
        return false;
    }
    std::size_t done = 0;
    const auto discard_fragment = [&] {
        if (done > 0 && done < n) port_buffer_->DiscardUnsentOutput();
    };
    try {
        for (;;) {
            const ssize_t wrote = port_buffer_->WriteSome(data + done, n - done);
            if (wrote > 0) {
                done += static_cast<std::size_t>(wrote);
                if (done == n) return true;
                continue;
            }
            if (wrote < 0 && errno != EAGAIN && errno != EINTR) break;  // errno says why
            // The output queue is full (the device stopped reading): wait
            // for room rather than leave the rest of the request behind.
            if (SleepOnDescriptor(Descriptor(), POLLOUT, deadline, interruptible) == 0) {
                errno = EAGAIN;  // what one more write would say
                break;
            }
        }
    } catch (...) {
        discard_fragment();
        throw;
    }
    const int err = errno;
    discard_fragment();
    errno = err;
    return false;
}

void SerialStream::Write(const char* data, std::size_t n) {
    if (n > 0 && !Refuse() && good() && port_buffer_ && port_buffer_->Descriptor() >= 0) {
        if (!WriteWhole(data, n, Deadline(write_limit_))) Fail(errno);
    } else {
        // A failed stream sends nothing, and a port that never opened fails
        // the write: the stream's own rules.
        RecallFailure();
        write(data, static_cast<std::streamsize>(n));
    }
    if (!good() && !eof()) {
        LogError(ErrorSource::kSerialStream, 53, ErrorKind::kFailedCall, port_name_.c_str(),
                 "unable to write '%zu' bytes to stream", n);
    }
}

}  // namespace Korvo::HardwareAPI::IO
