#include "Korvo/HardwareAPI/Devices/Device.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "Korvo/HardwareAPI/IO/ErrorLog.h"

namespace Korvo::HardwareAPI::Devices {

using IO::ErrorSource::kDevice;
using IO::Deadline;
using IO::ErrorKind;
using IO::LogError;

namespace {

const char* PortOf(const IO::SerialStream* stream) { return stream != nullptr ? stream->PortName().c_str() : nullptr; }

}  // namespace

Device::Device(IO::SerialStream* serial_stream, float timeout)
    : read_timeout(timeout),
      stream(serial_stream),
      output_buffer(new std::uint8_t[kBufferSize]()),
      input_buffer(new std::uint8_t[kBufferSize]()) {}

Device::Use::Use(const Device& device) : device_(device) {
    device_.in_use_.fetch_add(1);
    if (const char* borrower = device_.lent_to_.load()) {
        device_.in_use_.fetch_sub(1);
        throw DeviceLent(borrower);
    }
    if (device_.stream == nullptr) return;
    if (const char* driver = device_.stream->EnterOperation()) {
        device_.in_use_.fetch_sub(1);
        throw PortDriven(driver);
    }
}

Device::Use::~Use() {
    if (device_.stream != nullptr) device_.stream->LeaveOperation();
    device_.in_use_.fetch_sub(1);
}

bool Device::Lend(const void* borrower, const char* what) noexcept {
    const char* none = nullptr;
    if (borrower == nullptr || what == nullptr || !lent_to_.compare_exchange_strong(none, what)) return false;
    borrower_.store(borrower);
    // An operation that began before the loan still runs: no loan then.
    if (in_use_.load() > 0) {
        borrower_.store(nullptr);
        lent_to_.store(nullptr);
        return false;
    }
    return true;
}

void Device::Return(const void* borrower) noexcept {
    const void* expected = borrower;
    if (borrower_.compare_exchange_strong(expected, nullptr)) lent_to_.store(nullptr);
}

void Device::WriteBytes(int n) {
    const Use use(*this);
    if (stream == nullptr || n < 0) return;
    stream->SetWriteLimit(read_timeout);
    stream->Write(reinterpret_cast<const char*>(output_buffer.get()), std::min<std::size_t>(n, kBufferSize));
}

void Device::SendFloatCommand(std::uint8_t code, const float* values, int count) {
    // WriteBytes, the only step that touches the port, holds the Use.
    const int fits = static_cast<int>((kBufferSize - 1) / sizeof(float));
    count = std::clamp(count, 0, fits);
    output_buffer[0] = code;
    if (count > 0) std::memcpy(output_buffer.get() + 1, values, sizeof(float) * static_cast<std::size_t>(count));
    WriteBytes(1 + static_cast<int>(sizeof(float)) * count);
}

bool Device::AwaitBytes(std::size_t n, const IO::Deadline& deadline, bool interruptible) {
    switch (stream->AwaitBytes(n, deadline, interruptible)) {
        case IO::WaitResult::Ready:
            return true;
        case IO::WaitResult::TimedOut:
            return false;
        case IO::WaitResult::HungUp:
            // The line is gone: the stream fails here, so that the read that
            // follows reports it (errno EIO) and every later wait ends at once.
            stream->FailHungUp();
            return true;
    }
    return false;
}

bool Device::ReadWaiting(void* destination, std::size_t n) {
    stream->read(static_cast<char*>(destination), static_cast<std::streamsize>(n));
    return stream->good();
}

std::uint8_t Device::ReadHeaderCode() {
    const Use use(*this);
    ReadFailure failure = ReadFailure::None;
    const std::uint8_t code = ReadHeaderCodeIn(ReadMode{}, failure);
    return failure == ReadFailure::None ? code : 0;
}

std::uint8_t Device::ReadHeaderCodeIn(const ReadMode& mode, ReadFailure& failure) {
    failure = ReadFailure::NoCode;
    if (stream == nullptr) return 0;
    // Each wait below has a limit of its own, but a device that keeps sending
    // notifications and never the reply would hold the caller for good: from
    // its first notification on, every wait also ends read_timeout after it.
    std::optional<Deadline> skipping;
    const auto limit = [&] {
        const Deadline own = Deadline::Earlier(Deadline(read_timeout), mode.by);
        return skipping ? Deadline::Earlier(own, *skipping) : own;
    };
    const auto await = [&](std::size_t n) { return AwaitBytes(n, limit(), mode.interruptible); };
    for (;;) {
        failure = ReadFailure::NoCode;
        if (!await(1)) {
            if (mode.report) LogError(kDevice, 78, ErrorKind::kTimeout, PortOf(stream), "timeout waiting for header code");
            return 0;
        }
        if (!ReadWaiting(input_buffer.get(), 1)) {
            if (mode.report && !stream->eof()) {
                LogError(kDevice, 94, ErrorKind::kFailedCall, PortOf(stream), "unable to read header code from stream");
            }
            return 0;
        }
        const std::uint8_t code = input_buffer[0];
        if (code != kNotificationA && code != kNotificationB) {
            failure = ReadFailure::None;
            return code;
        }

        // A notification: one uninterpreted byte, a length, that many bytes.
        failure = ReadFailure::NotificationCutShort;
        if (!skipping) skipping.emplace(read_timeout);
        if (!await(2)) {
            if (mode.report) LogError(kDevice, 112, ErrorKind::kTimeout, PortOf(stream), "timeout draining notification header");
            return 0;
        }
        std::uint8_t header[2];
        if (!ReadWaiting(header, 2)) return 0;
        const std::size_t length = header[1];
        if (length == 0) continue;
        if (!await(length)) {
            if (mode.report) LogError(kDevice, 128, ErrorKind::kTimeout, PortOf(stream), "timeout draining notification payload");
            return 0;
        }
        if (!ReadWaiting(input_buffer.get(), length)) return 0;
    }
}

int Device::ReadBytes(std::size_t n) {
    const Use use(*this);
    return ReadBytesIn(n, ReadMode{});
}

int Device::ReadBytesIn(std::size_t n, const ReadMode& mode) {
    if (stream == nullptr || n > kBufferSize) return 0;
    if (!AwaitBytes(n, Deadline::Earlier(Deadline(read_timeout), mode.by), mode.interruptible)) {
        if (mode.report) LogError(kDevice, 153, ErrorKind::kTimeout, PortOf(stream), "timeout waiting for bytes");
        return 0;
    }
    if (mode.report) return ReadCountedBytes(n);
    return ReadWaiting(input_buffer.get(), n) ? static_cast<int>(n) : 0;
}

int Device::ReadCountedBytes(std::size_t n) {
    // Its callers hold the Use.
    if (ReadWaiting(input_buffer.get(), n)) return static_cast<int>(n);
    if (!stream->eof()) LogError(kDevice, 163, ErrorKind::kFailedCall, PortOf(stream), "unable to read '%zu' bytes from stream", n);
    return 0;
}

std::size_t Device::read_raw(char* destination, std::size_t n, float timeout) {
    const Use use(*this);
    if (stream == nullptr || destination == nullptr || n == 0) return 0;
    std::size_t count = n;
    const IO::WaitResult waited = stream->AwaitBytes(n, Deadline(timeout));
    if (waited != IO::WaitResult::Ready) {
        // Time is up, or the line is gone: hand back what did arrive.
        const int waiting = stream->BytesAvailable();
        count = waiting > 0 ? std::min(static_cast<std::size_t>(waiting), n) : 0;
    }
    if (count > 0) stream->read(destination, static_cast<std::streamsize>(count));
    const bool read = count > 0 && stream->good();
    if (waited == IO::WaitResult::HungUp) stream->FailHungUp();
    return read ? count : 0;
}

void Device::flush_input() {
    const Use use(*this);
    if (stream == nullptr) return;
    for (int round = 0; round < 32; ++round) {
        const int waiting = stream->BytesAvailable();
        if (waiting <= 0) return;
        if (!ReadWaiting(input_buffer.get(), std::min<std::size_t>(static_cast<std::size_t>(waiting), kBufferSize))) {
            return;
        }
    }
}

void Device::send_raw(const char* bytes, std::size_t n) {
    const Use use(*this);
    if (stream != nullptr && bytes != nullptr && n != 0) {
        stream->SetWriteLimit(read_timeout);
        stream->Write(bytes, n);
        if (stream->good()) return;
    }
    throw std::runtime_error("send_raw: underlying stream write failed");
}

}  // namespace Korvo::HardwareAPI::Devices
