// The arm's side of its command set: parses requests, drives the physical
// model, and builds each reply.
#pragma once

#include <array>
#include <cstdint>

#include "ArmPhysics.h"
#include "SimulatedDevice.h"
#include "Options.h"

namespace korvo::sim {

class SimulatedArm final : public SimulatedDevice {
public:
    static constexpr std::uint8_t kHardwareVersion = 2;
    static constexpr std::uint8_t kFirmwareVersion = 6;

    SimulatedArm(const ArmOptions& options, double now);

    std::size_t consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void resetParser() noexcept override;

    // The device UUID: fixed, except that its last two bytes carry the device id
    // so two simulated arms never look like one.
    [[nodiscard]] std::array<std::uint8_t, 16> deviceUuid() const noexcept;
    [[nodiscard]] static std::array<std::uint8_t, 16> firmwareId() noexcept;

    [[nodiscard]] const ArmPhysics& physics() const noexcept { return physics_; }

private:
    void answer(double now, Request& out);
    void appendEndEffectorState(wire::Bytes& out) const;
    void appendJointState(wire::Bytes& out) const;

    ArmOptions options_;
    ArmPhysics physics_;

    bool inRequest_ = false;
    std::uint8_t code_ = 0;
    std::size_t need_ = 0;
    std::size_t got_ = 0;
    std::array<std::uint8_t, 12> payload_{};
};

}  // namespace korvo::sim
