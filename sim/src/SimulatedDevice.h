// What a simulated device does with the bytes its host sends, independent of
// how they reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "Wire.h"

namespace korvo::sim {

struct Request {
    bool complete = false;  // the bytes consumed finished a request
    bool hasReply = false;  // and that request is answered by `reply`
    wire::Bytes reply;

    void clear() noexcept
    {
        complete = false;
        hasReply = false;
        reply.clear();
    }
};

class SimulatedDevice {
public:
    virtual ~SimulatedDevice() = default;

    // Parses bytes from `data`, stopping right after the first request they
    // complete, and returns how many it consumed (all of them if none completed).
    // `now` is the arrival time in seconds on the simulator's clock.
    virtual std::size_t consume(const std::uint8_t* data, std::size_t size, double now, Request& out) = 0;

    // Forgets a partly received request: the line it came on is gone.
    virtual void resetParser() noexcept = 0;

    // Time at which the next unsolicited frame is due; +inf for none.
    [[nodiscard]] virtual double nextFrameDue() const noexcept { return std::numeric_limits<double>::infinity(); }

    // Called once the frame is due. Appends it to `out` unless `hostReading` is
    // false, in which case the frame is skipped, as a stalled device would.
    virtual void takeFrame(double /*now*/, bool /*hostReading*/, wire::Bytes& /*out*/) {}
};

}  // namespace korvo::sim
