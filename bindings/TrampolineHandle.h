#pragma once
// TrampolineHandle: what a Python subclass of Handle is built on, so that
// its methods receive the handle's messages.
//
// Only the three unpacked callbacks are forwarded; the record forms keep the
// library's empty bodies. Each forward copies the values first (the library's
// arrays live only for the call), takes the interpreter lock (Receive runs
// without it) and calls the Python method with plain Python values:
// quaternion as a list of 4 floats, user_data as a list of user_data_length
// ints. An exception raised there travels unchanged through the library to
// whoever called into it.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "Korvo/HardwareAPI/Devices/Handle.h"

namespace Korvo::HardwareAPI::Bindings {

namespace API = ::Korvo::HardwareAPI;

class TrampolineHandle : public API::Devices::Handle {
public:
    using API::Devices::Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        PYBIND11_OVERRIDE(void, API::Devices::Handle, OnReceiveHandleInfo, tool_data_remaining, device_id,
                          device_model_number, hardware_version, firmware_version);
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion, std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level, std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        const std::vector<float> q(quaternion, quaternion + 4);
        const std::vector<std::uint8_t> data(user_data, user_data + user_data_length);
        PYBIND11_OVERRIDE_IMPL(void, API::Devices::Handle, "OnReceiveHandleStatusMessage", device_id, q, error_flag,
                               hall_effect_sensor_level, user_data_length, data);
        // Python subclasses must implement it: without it they would drop
        // every status message without a sign. Thrown here rather than
        // through pybind11's own pure-virtual failure, which looks at the
        // Python error state and so needs the interpreter lock that Receive
        // does not hold.
        throw std::runtime_error(
            "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        PYBIND11_OVERRIDE(void, API::Devices::Handle, OnReceiveHandleErrorResponse, device_id, error_code);
    }
};

}  // namespace Korvo::HardwareAPI::Bindings
