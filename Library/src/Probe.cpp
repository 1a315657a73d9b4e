#include "Korvo/HardwareAPI/Probe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/Deadline.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"

namespace Korvo::HardwareAPI {

namespace {

using Devices::Arvena;
using Devices::Device;
using Devices::Handle;
using Devices::HandleInfo;
using IO::Deadline;
using IO::SerialStream;

constexpr std::uint8_t kArvenaModel = 4;

// A probe's own stream, opened without the constructor's second error line,
// or why there is none.
struct ProbeStream {
    std::unique_ptr<SerialStream> stream;
    ProbeResult::Kind refused = ProbeResult::Kind::Nothing;  // Busy or Unopenable without a stream
    int error = 0;
};

// A port that someone holds, this process included, is not opened: opening
// it would flush the holder's input. `quiet` probes refuse a port the
// process may not read and write before the open would report it on
// standard error.
ProbeStream OpenProbeStream(const std::string& port, bool quiet) {
    ProbeStream opened;
    if (IO::WhoHoldsPort(port) != IO::PortHolder::Nobody) {
        opened.refused = ProbeResult::Kind::Busy;
        return opened;
    }
    auto stream = std::make_unique<SerialStream>(port, false);
    if (quiet && ::access(port.c_str(), R_OK | W_OK) != 0) {
        opened.refused = ProbeResult::Kind::Unopenable;
        opened.error = errno;
        return opened;
    }
    if (stream->OpenPort() != 1) {
        opened.refused = errno == EBUSY ? ProbeResult::Kind::Busy : ProbeResult::Kind::Unopenable;
        opened.error = errno;
        return opened;
    }
    opened.stream = std::move(stream);
    return opened;
}

// Notes whether the port answered as a handle: an information or a status
// message counts, an error response does not.
class MyHandle : public Handle {
public:
    using Handle::Handle;
    bool responded = false;

    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t) override {
        responded = true;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t, std::uint8_t,
                                      const std::uint8_t*) override {
        responded = true;
    }
};

// Reads ProbePort's answer with the framing every exchange uses, quietly:
// every wait ends by the probe's one deadline (no limit of its own), and
// none is interrupted.
class QuietReader : public Device {
public:
    using Device::ReadFailure;

    QuietReader(SerialStream* serial_stream, const Deadline& by)
        : Device(serial_stream, 0.0f), mode_{false, false, by} {}

    std::uint8_t HeaderCode(ReadFailure& failure) {
        const Use use(*this);
        return ReadHeaderCodeIn(mode_, failure);
    }
    // The payload's n bytes, or null when they did not all come.
    const std::uint8_t* Payload(std::size_t n) {
        const Use use(*this);
        return ReadBytesIn(n, mode_) == static_cast<int>(n) ? input_buffer.get() : nullptr;
    }

private:
    const ReadMode mode_;
};

}  // namespace

ProbeResult ProbePort(const std::string& path, double timeout) {
    ProbeResult result;
    const ProbeStream opened = OpenProbeStream(path, true);
    if (!opened.stream) {
        result.kind = opened.refused;
        result.error = opened.error;
        return result;
    }
    const Deadline deadline(static_cast<float>(timeout));
    const char wakeup = static_cast<char>(Arvena::kWakeup);
    if (!opened.stream->WriteWhole(&wakeup, 1, deadline, false)) {
        result.detail = std::string("the wakeup could not be written: ") + std::strerror(errno);
        return result;
    }
    QuietReader reader(opened.stream.get(), deadline);
    auto failure = QuietReader::ReadFailure::None;
    const std::uint8_t code = reader.HeaderCode(failure);
    if (failure != QuietReader::ReadFailure::None) {
        result.detail = failure == QuietReader::ReadFailure::NoCode ? "no answer" : "a notification cut short";
        return result;
    }
    switch (code) {
        case Arvena::kWakeupReply:
            if (const std::uint8_t* payload = reader.Payload(DeviceInfo::kWireSize)) {
                result.kind = ProbeResult::Kind::Arm;
                result.arm = DeviceInfo::Decode(payload);
                return result;
            }
            break;
        case Handle::kHandleInfo:
            if (const std::uint8_t* payload = reader.Payload(Handle::kHandleInfoPayload)) {
                result.kind = ProbeResult::Kind::Handle;
                result.handle_info = true;
                result.handle = HandleInfo::Decode(payload);
                return result;
            }
            break;
        case Handle::kStatusMessage:
            result.kind = ProbeResult::Kind::Handle;  // a status message, or a streamed frame: a handle either way
            return result;
        default:
            break;
    }
    char words[64];
    std::snprintf(words, sizeof words, "an answer that is no device's (code 0x%02X)", code);
    result.detail = words;
    return result;
}

namespace DiscoveryDetail {

int ProbeArvena(const char* port, float read_timeout) {
    const ProbeStream opened = OpenProbeStream(port, false);
    if (!opened.stream) return 0;
    Arvena arm(opened.stream.get(), read_timeout);
    arm.SendDeviceWakeup();
    const DeviceInfo info = arm.ReceiveDeviceInfo();
    opened.stream->Close();
    return info.device_model_number == kArvenaModel ? 1 : 0;
}

int ProbeHandle(const char* port, float read_timeout) {
    const ProbeStream opened = OpenProbeStream(port, false);
    if (!opened.stream) return 0;
    MyHandle handle(opened.stream.get(), read_timeout);
    handle.SendDeviceWakeup();
    handle.Receive();
    opened.stream->Close();
    return handle.responded ? 1 : 0;
}

}  // namespace DiscoveryDetail

int ProbeArvena(const char* port) { return DiscoveryDetail::ProbeArvena(port, DiscoveryDetail::kProbeReadTimeout); }
int ProbeHandle(const char* port) { return DiscoveryDetail::ProbeHandle(port, DiscoveryDetail::kProbeReadTimeout); }

}  // namespace Korvo::HardwareAPI
