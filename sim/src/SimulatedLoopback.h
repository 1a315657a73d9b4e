// Echoes each chunk read, unchanged: proves the plumbing of a port.
#pragma once

#include "SimulatedDevice.h"

namespace korvo::sim {

class SimulatedLoopback final : public SimulatedDevice {
public:
    std::size_t consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void resetParser() noexcept override {}
};

}  // namespace korvo::sim
