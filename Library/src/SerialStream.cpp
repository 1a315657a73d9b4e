#include "Korvo/HardwareAPI/IO/SerialStream.h"

#include <sys/ioctl.h>

#include "Korvo/HardwareAPI/IO/ErrorLog.h"

namespace Korvo::HardwareAPI::IO {

SerialStream::SerialStream(const char* port, bool open_now)
    : std::basic_iostream<char>(nullptr), port_name_(port != nullptr ? port : "") {
    if (!open_now) return;
    if (OpenPort() < 0) {
        LogError(ErrorSource::kSerialStream, 18, "unable to open stream '%s'", port_name_.c_str());
    }
}

SerialStream::~SerialStream() { Close(); }

char SerialStream::OpenPort() {
    port_buffer_ = std::make_unique<serialib>();
    rdbuf(port_buffer_.get());  // also resets the state to good
    if (port_buffer_->Open(port_name_.c_str()) == 1) {
        port_buffer_->SetDTR();
        return 1;
    }
    LogError(ErrorSource::kSerialStream, 39, "unable to open port '%s'", port_name_.c_str());
    return -2;
}

void SerialStream::Close() {
    if (port_buffer_) port_buffer_->Close();
}

int SerialStream::BytesAvailable() {
    counted_ = 0;
    if (!port_buffer_ || port_buffer_->Descriptor() < 0) return 0;
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

void SerialStream::Write(const char* data, std::size_t n) {
    write(data, static_cast<std::streamsize>(n));
    if (!good() && !eof()) {
        LogError(ErrorSource::kSerialStream, 53, "unable to write '%zu' bytes to stream", n);
    }
}

}  // namespace Korvo::HardwareAPI::IO
