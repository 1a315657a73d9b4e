// The handle's side of its messages: wakeup, status request and handle state
// in; handle info, status message, error response and streamed status frames out.
#pragma once

#include <array>
#include <cstdint>

#include "SimulatedDevice.h"
#include "HandleMotion.h"
#include "Options.h"

namespace Korvo::Sim {

class SimulatedHandle final : public SimulatedDevice {
public:
    static constexpr std::uint8_t kToolDataRemaining = 7;
    static constexpr std::uint8_t kModelNumber = 3;
    static constexpr std::uint8_t kHardwareVersion = 2;
    static constexpr std::uint8_t kFirmwareVersion = 5;
    static constexpr std::uint8_t kUnknownRequest = 1;  // error_code of the error response

    SimulatedHandle(const HandleOptions& options, std::uint64_t seed, double now);

    std::size_t Consume(const std::uint8_t* data, std::size_t size, double now, Request& out) override;
    void ResetParser() noexcept override;

    [[nodiscard]] double NextFrameDue() const noexcept override { return next_frame_due_; }
    void TakeFrame(double now, bool host_reading, Wire::Bytes& out) override;

private:
    enum class Parse { Code, StateHeader, StateData };

    void AppendInfo(Wire::Bytes& out) const;
    void AppendStatus(double now, Wire::Bytes& out);
    void AppendError(Wire::Bytes& out) const;
    void AppendFrame(double now, Wire::Bytes& out);

    HandleOptions options_;
    HandleMotion motion_;
    double period_;
    double next_frame_due_;
    std::uint16_t frame_counter_ = 0;
    std::uint64_t frames_sent_ = 0;
    std::uint64_t bad_frames_sent_ = 0;

    Parse parse_ = Parse::Code;
    std::array<std::uint8_t, 3> state_header_{};
    std::size_t got_ = 0;
    std::array<std::uint8_t, 255> incoming_{};
    // User data of the last handle state, echoed in status messages.
    std::array<std::uint8_t, 255> user_data_{};
    std::size_t user_data_length_ = 0;
};

}  // namespace Korvo::Sim
