#include "Korvo/Haptics/Probe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/Deadline.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"

namespace Korvo::Haptics {

namespace {

using HardwareAPI::IO::Deadline;
using HardwareAPI::IO::SerialStream;
using HardwareAPI::IO::WaitResult;

using HardwareAPI::Devices::Arvena;
using HardwareAPI::Devices::Device;
using HardwareAPI::Devices::Handle;
using HardwareAPI::Devices::HandleInfo;

// Reads n bytes by the deadline; false when they did not all come.
bool Take(SerialStream& stream, unsigned char* into, std::size_t n, const Deadline& deadline) {
    if (n == 0) return true;
    if (stream.AwaitBytes(n, deadline, false) != WaitResult::Ready) return false;
    stream.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(n));
    return stream.good();
}

}  // namespace

ProbeResult ProbePort(const std::string& path, double timeout) {
    ProbeResult result;
    if (HardwareAPI::IO::WhoHoldsPort(path) != HardwareAPI::IO::PortHolder::Nobody) {
        result.kind = ProbeResult::Kind::Busy;
        return result;
    }
    SerialStream stream(path, false);
    // The checks a failed open would report on standard error, made first.
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        result.kind = ProbeResult::Kind::Unopenable;
        result.error = errno;
        return result;
    }
    if (stream.OpenPort() != 1) {
        result.kind = errno == EBUSY ? ProbeResult::Kind::Busy : ProbeResult::Kind::Unopenable;
        result.error = errno;
        return result;
    }
    const Deadline deadline(static_cast<float>(timeout));
    const char wakeup = static_cast<char>(Arvena::kWakeup);
    if (!stream.WriteWhole(&wakeup, 1, deadline, false)) {
        result.detail = std::string("the wakeup could not be written: ") + std::strerror(errno);
        return result;
    }
    unsigned char code = 0;
    // Notifications may come first; a few are passed over.
    for (int skipped = 0;; ++skipped) {
        if (!Take(stream, &code, 1, deadline)) {
            result.detail = "no answer";
            return result;
        }
        if ((code != Device::kNotificationA && code != Device::kNotificationB) || skipped > 16) break;
        unsigned char header[2];
        unsigned char body[255];
        if (!Take(stream, header, 2, deadline) || !Take(stream, body, header[1], deadline)) {
            result.detail = "a notification cut short";
            return result;
        }
    }
    unsigned char payload[21 + 255];
    switch (code) {
        case Arvena::kWakeupReply:
            if (!Take(stream, payload, HardwareAPI::DeviceInfo::kWireSize, deadline)) break;
            result.kind = ProbeResult::Kind::Arm;
            result.arm = HardwareAPI::DeviceInfo::Decode(payload);
            return result;
        case Handle::kHandleInfo:
            if (!Take(stream, payload, Handle::kHandleInfoPayload, deadline)) break;
            result.kind = ProbeResult::Kind::Handle;
            result.handle_info = true;
            result.handle = HandleInfo::Decode(payload);
            return result;
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

}  // namespace Korvo::Haptics
