// What a simulated device does with the bytes its host sends, independent of
// how they reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "Wire.h"

namespace Korvo::Sim {

struct Request {
    bool complete = false;   // the bytes consumed finished a request
    bool has_reply = false;  // and that request is answered by `reply`
    Wire::Bytes reply;

    void Clear() noexcept
    {
        complete = false;
        has_reply = false;
        reply.clear();
    }
};

class SimulatedDevice {
public:
    virtual ~SimulatedDevice() = default;

    // Parses bytes from `data`, stopping right after the first request they
    // complete, and returns how many it consumed (all of them if none completed).
    // `now` is the arrival time in seconds on the simulator's clock.
    virtual std::size_t Consume(const std::uint8_t* data, std::size_t size, double now, Request& out) = 0;

    // Forgets a partly received request: the line it came on is gone.
    virtual void ResetParser() noexcept = 0;

    // Time at which the next unsolicited frame is due; +inf for none.
    [[nodiscard]] virtual double NextFrameDue() const noexcept { return std::numeric_limits<double>::infinity(); }

    // Called once the frame is due. Appends it to `out` unless `host_reading` is
    // false, in which case the frame is skipped, as a stalled device would.
    virtual void TakeFrame(double /*now*/, bool /*host_reading*/, Wire::Bytes& /*out*/) {}
};

}  // namespace Korvo::Sim
