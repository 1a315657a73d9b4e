// Echoes each chunk read, unchanged: proves the plumbing of a port.
#pragma once

#include "SimulatedDevice.h"

namespace Korvo::Sim {

class SimulatedLoopback final : public SimulatedDevice {
public:
    std::size_t Consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void ResetParser() noexcept override {}
};

}  // namespace Korvo::Sim
