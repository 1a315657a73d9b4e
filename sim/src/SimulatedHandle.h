// The handle's side of its messages: wakeup, status request and handle state
// in; handle info, status message, error response and streamed status frames out.
#pragma once

#include <array>
#include <cstdint>

#include "SimulatedDevice.h"
#include "HandleMotion.h"
#include "Options.h"

namespace korvo::sim {

class SimulatedHandle final : public SimulatedDevice {
public:
    static constexpr std::uint8_t kToolDataRemaining = 7;
    static constexpr std::uint8_t kModelNumber = 3;
    static constexpr std::uint8_t kHardwareVersion = 2;
    static constexpr std::uint8_t kFirmwareVersion = 5;
    static constexpr std::uint8_t kUnknownRequest = 1;  // error_code of the error response

    SimulatedHandle(const HandleOptions& options, std::uint64_t seed, double now);

    std::size_t consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void resetParser() noexcept override;

    [[nodiscard]] double nextFrameDue() const noexcept override { return nextFrameDue_; }
    void takeFrame(double now, bool hostReading, wire::Bytes& out) override;

private:
    enum class Parse { Code, StateHeader, StateData };

    void appendInfo(wire::Bytes& out) const;
    void appendStatus(double now, wire::Bytes& out);
    void appendError(wire::Bytes& out) const;
    void appendFrame(double now, wire::Bytes& out);

    HandleOptions options_;
    HandleMotion motion_;
    double period_;
    double nextFrameDue_;
    std::uint16_t frameCounter_ = 0;
    std::uint64_t framesSent_ = 0;
    std::uint64_t badFramesSent_ = 0;

    Parse parse_ = Parse::Code;
    std::array<std::uint8_t, 3> stateHeader_{};
    std::size_t got_ = 0;
    std::array<std::uint8_t, 255> incoming_{};
    // User data of the last handle state, echoed in status messages.
    std::array<std::uint8_t, 255> userData_{};
    std::size_t userDataLength_ = 0;
};

}  // namespace korvo::sim
