// The arm's side of its command set: parses requests, drives the physical
// model, and builds each reply.
#pragma once

#include <array>
#include <cstdint>

#include "ArmPhysics.h"
#include "SimulatedDevice.h"
#include "Options.h"

namespace Korvo::Sim {

class SimulatedArm final : public SimulatedDevice {
public:
    static constexpr std::uint8_t kHardwareVersion = 2;
    static constexpr std::uint8_t kFirmwareVersion = 6;

    SimulatedArm(const ArmOptions& options, double now);

    std::size_t Consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void ResetParser() noexcept override;

    // The device UUID: fixed, except that its last two bytes carry the device id
    // so two simulated arms never look like one.
    [[nodiscard]] std::array<std::uint8_t, 16> DeviceUuid() const noexcept;
    [[nodiscard]] static std::array<std::uint8_t, 16> FirmwareId() noexcept;

    [[nodiscard]] const ArmPhysics& Physics() const noexcept { return physics_; }

private:
    void Answer(double now, Request& out);
    void AppendEndEffectorState(Wire::Bytes& out) const;
    void AppendJointState(Wire::Bytes& out) const;

    ArmOptions options_;
    ArmPhysics physics_;

    bool in_request_ = false;
    std::uint8_t code_ = 0;
    std::size_t need_ = 0;
    std::size_t got_ = 0;
    std::array<std::uint8_t, 12> payload_{};
};

}  // namespace Korvo::Sim
