#include <algorithm>
#include <future>
#include <memory>
#include <optional>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/IO/Wait.h"

namespace Korvo::HardwareAPI {

namespace {

using Devices::Arvena;
using Devices::Handle;
using IO::PortHolder;
using IO::SerialStream;
using IO::WhoHoldsPort;
using Clock = std::chrono::steady_clock;

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
// None for a port that someone holds, this process included: opening it
// would flush the holder's input.
std::unique_ptr<SerialStream> OpenProbeStream(const char* port) {
    if (WhoHoldsPort(port) != PortHolder::Nobody) return nullptr;
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

namespace {

// Waits for a probe's answer until `until` (or without end), in slices, so
// that the interrupt check runs meanwhile: the caller's thread only waits, and
// Ctrl+C must end discovery too. True when the answer came.
bool AwaitAnswer(std::future<int>& answer, std::optional<Clock::time_point> until) {
    for (;;) {
        auto slice = std::chrono::duration_cast<Clock::duration>(IO::kInterruptSlice);
        if (until) slice = std::min(slice, *until - Clock::now());
        if (slice <= Clock::duration::zero()) return answer.wait_for(Clock::duration::zero()) == std::future_status::ready;
        if (answer.wait_for(slice) == std::future_status::ready) return true;
        IO::CheckForInterrupt();
    }
}

}  // namespace

std::vector<std::string> Detect(const std::vector<PortEntry>& ports, std::initializer_list<PortKind> kinds,
                                const std::function<int(const char*)>& probe, std::chrono::milliseconds limit) {
    std::vector<std::string> found;
    for (const PortEntry& entry : ports) {
        if (std::find(kinds.begin(), kinds.end(), entry.kind) == kinds.end()) continue;
        if (WhoHoldsPort(entry.path) != PortHolder::Nobody) continue;
        // The probe runs apart so that its answer can be held to the limit;
        // then its end is awaited, so probes never overlap. When the wait is
        // interrupted, the probe is cancelled (its waits end at once) and
        // joined before the interruption leaves.
        IO::CancelToken cancel;
        auto answer = std::async(std::launch::async, [&probe, &cancel, path = entry.path] {
            const IO::CancelScope scope(cancel);
            return probe(path.c_str());
        });
        bool in_time = false;
        try {
            in_time = AwaitAnswer(answer, Clock::now() + limit);
            if (!in_time) AwaitAnswer(answer, std::nullopt);
        } catch (...) {
            cancel.Cancel();
            answer.wait();
            throw;
        }
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
