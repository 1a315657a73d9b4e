#include <algorithm>
#include <future>
#include <memory>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"

namespace Korvo::HardwareAPI {

namespace {

using Devices::Arvena;
using Devices::Handle;
using IO::SerialStream;

constexpr std::uint8_t kArvenaModel = 4;

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

// A probe's own stream, opened without the constructor's second error line.
std::unique_ptr<SerialStream> OpenProbeStream(const char* port) {
    auto stream = std::make_unique<SerialStream>(port, false);
    if (stream->OpenPort() != 1) return nullptr;
    return stream;
}

}  // namespace

namespace DiscoveryDetail {

int ProbeArvena(const char* port, float read_timeout) {
    const auto stream = OpenProbeStream(port);
    if (!stream) return 0;
    Arvena arm(stream.get(), read_timeout);
    arm.SendDeviceWakeup();
    const DeviceInfo info = arm.ReceiveDeviceInfo();
    stream->Close();
    return info.device_model_number == kArvenaModel ? 1 : 0;
}

int ProbeHandle(const char* port, float read_timeout) {
    const auto stream = OpenProbeStream(port);
    if (!stream) return 0;
    MyHandle handle(stream.get(), read_timeout);
    handle.SendDeviceWakeup();
    handle.Receive();
    stream->Close();
    return handle.responded ? 1 : 0;
}

std::vector<std::string> Detect(const std::vector<PortEntry>& ports, std::initializer_list<PortKind> kinds,
                                const std::function<int(const char*)>& probe, std::chrono::milliseconds limit) {
    std::vector<std::string> found;
    for (const PortEntry& entry : ports) {
        if (std::find(kinds.begin(), kinds.end(), entry.kind) == kinds.end()) continue;
        // The probe runs apart so that its answer can be held to the limit;
        // get() then waits for it to end, so probes never overlap.
        auto answer = std::async(std::launch::async, [&probe, path = entry.path] { return probe(path.c_str()); });
        const bool in_time = answer.wait_for(limit) == std::future_status::ready;
        const int result = answer.get();
        if (in_time && result != 0) found.push_back(entry.path);
    }
    return found;
}

}  // namespace DiscoveryDetail

namespace {

std::vector<std::string> DetectArms(std::initializer_list<PortKind> kinds) {
    return DiscoveryDetail::Detect(
        ListPorts(), kinds, [](const char* port) { return ProbeArvena(port); }, DiscoveryDetail::kArvenaAnswerLimit);
}

std::vector<std::string> DetectHandles(std::initializer_list<PortKind> kinds) {
    return DiscoveryDetail::Detect(
        ListPorts(), kinds, [](const char* port) { return ProbeHandle(port); }, DiscoveryDetail::kHandleAnswerLimit);
}

}  // namespace

int ProbeArvena(const char* port) { return DiscoveryDetail::ProbeArvena(port, DiscoveryDetail::kProbeReadTimeout); }
int ProbeHandle(const char* port) { return DiscoveryDetail::ProbeHandle(port, DiscoveryDetail::kProbeReadTimeout); }

std::vector<std::string> detect_arvenas() { return DetectArms({PortKind::ACM}); }
std::vector<std::string> detect_handles() { return DetectHandles({PortKind::ACM, PortKind::USB, PortKind::RFCOMM}); }
std::vector<std::string> detect_wired_handles() { return DetectHandles({PortKind::USB}); }
std::vector<std::string> detect_wireless_handles() { return DetectHandles({PortKind::RFCOMM}); }

}  // namespace Korvo::HardwareAPI
