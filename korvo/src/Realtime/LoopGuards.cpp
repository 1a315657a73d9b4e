#include "LoopGuards.h"

#include <new>
#include <stdexcept>

namespace Korvo::Realtime {

void PortClaim::Take(HardwareAPI::IO::SerialStream& stream, const char* what, const char* port) {
    const std::string why = stream.Drive(what);
    if (!why.empty()) throw std::runtime_error(std::string(port) + " " + why);
    stream_.store(&stream);
}

void PortClaim::Release() noexcept {
    if (HardwareAPI::IO::SerialStream* stream = stream_.exchange(nullptr)) stream->StopDriving();
}

void Origin::RequireHere(const char* what) const {
    if (!Forked()) return;
    throw std::runtime_error(std::string(what) + " belongs to process " + std::to_string(process_) +
                             ", of which this process is a fork: it cannot run here (make a new one, on a port "
                             "the parent does not hold)");
}

void Origin::Forget(std::thread& thread) noexcept {
    // A default handle is built over the copied one: its destructor (which
    // would end the process for a joinable thread) never runs.
    if (thread.joinable()) new (&thread) std::thread();
}

}  // namespace Korvo::Realtime
