#include <algorithm>
#include <future>
#include <optional>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/Wait.h"

namespace Korvo::HardwareAPI {

namespace DiscoveryDetail {

using Clock = std::chrono::steady_clock;

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
        if (IO::WhoHoldsPort(entry.path) != IO::PortHolder::Nobody) continue;
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

std::vector<std::string> detect_arvenas() { return DetectArms({PortKind::ACM}); }
std::vector<std::string> detect_handles() { return DetectHandles({PortKind::ACM, PortKind::USB, PortKind::RFCOMM}); }
std::vector<std::string> detect_wired_handles() { return DetectHandles({PortKind::USB}); }
std::vector<std::string> detect_wireless_handles() { return DetectHandles({PortKind::RFCOMM}); }

}  // namespace Korvo::HardwareAPI
