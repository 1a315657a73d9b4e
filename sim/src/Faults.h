// Faults a flaky device or cable would show, injected on purpose so hosts can
// prove they survive them.
#pragma once

#include <cstdint>

#include "Options.h"
#include "Rng.h"
#include "Wire.h"

namespace Korvo::Sim {

class Faults {
public:
    static constexpr std::uint8_t kCorruptCode = 0xEE;

    Faults(const FaultOptions& options, std::uint64_t seed);

    // Called for each request that has a reply. Returns false if the reply is to
    // be dropped; otherwise fills `out` with what goes on the wire: any
    // notifications, then the reply, corrupted or truncated as configured.
    bool Shape(const Wire::Bytes& reply, Wire::Bytes& out);

    // Called for every complete request; true exactly once, when the line is to
    // be hung up after this request.
    bool HangUpAfterRequest() noexcept;

    [[nodiscard]] std::uint64_t DelayUs() const noexcept { return options_.delay_us; }
    [[nodiscard]] std::int64_t ReconnectMs() const noexcept { return options_.reconnect_ms; }

private:
    void AppendNotification(Wire::Bytes& out);

    FaultOptions options_;
    Rng rng_;
    std::uint64_t replies_ = 0;
    std::uint64_t requests_ = 0;
    std::uint64_t notifications_ = 0;
};

}  // namespace Korvo::Sim
