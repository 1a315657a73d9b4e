#include "Korvo/HardwareAPI/Devices/Handle.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "Bindings.h"
#include "Conversions.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "TrampolineHandle.h"

namespace Korvo::HardwareAPI::Bindings {

// One user-data byte that may be left out (None). The handle-state command
// carries at most this one byte from Python; signatures show it as int.
struct OptionalByte {
    bool present = false;
    std::uint8_t value = 0;
};

}  // namespace Korvo::HardwareAPI::Bindings

namespace pybind11::detail {

template <>
struct type_caster<Korvo::HardwareAPI::Bindings::OptionalByte> {
    PYBIND11_TYPE_CASTER(Korvo::HardwareAPI::Bindings::OptionalByte, const_name("int"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value = {};
            return true;
        }
        make_caster<std::uint8_t> byte;
        if (!byte.load(source, convert)) return false;
        value = {true, cast_op<std::uint8_t>(byte)};
        return true;
    }

    static handle cast(const Korvo::HardwareAPI::Bindings::OptionalByte& byte, return_value_policy, handle) {
        return byte.present ? PyLong_FromLong(byte.value) : none().release();
    }
};

}  // namespace pybind11::detail

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

namespace {

using Devices::Handle;
using Devices::StylarStatus;

std::string ByteCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

void SendHandleState(Handle& self, std::uint16_t device_id, std::uint8_t data_length, OptionalByte user_data) {
    const std::size_t given = user_data.present ? 1 : 0;
    // Refused here, with the lock held, so that nothing reaches the handle.
    if (data_length > given) {
        throw py::value_error("SendHandleState: data_length is " + std::to_string(data_length) +
                              " but user_data holds " + ByteCount(given));
    }
    const std::span<const std::uint8_t> bytes(&user_data.value, given);
    Released([&] { self.SendHandleState(device_id, data_length, bytes); });
}

// A direct call carries one quaternion component and one user-data byte; the
// callback sees a full quaternion (the rest zero) and never more user data
// than was given.
void CallStatusMessage(Handle& self, std::uint16_t device_id, float quaternion, std::uint8_t error_flag,
                       std::uint8_t hall_effect_sensor_level, std::uint8_t user_data_length, std::uint8_t user_data) {
    if (user_data_length > 1) {
        throw py::value_error("OnReceiveHandleStatusMessage: user_data_length is " +
                              std::to_string(user_data_length) + " but user_data holds 1 byte");
    }
    const float full[4] = {quaternion, 0.0f, 0.0f, 0.0f};
    self.OnReceiveHandleStatusMessage(device_id, full, error_flag, hall_effect_sensor_level, user_data_length,
                                      &user_data);
}

int ReceiveObsolete(Handle& self, std::uint8_t /*obsolete*/) {
    return Deprecated("Receive with one argument is deprecated",
                      [&] { return Released([&] { return self.Receive(); }); });
}

py::dict GetStylarStatus(Handle& self) {
    const StylarStatus status = Released([&] { return self.GetStylarStatus(); });
    py::list quaternion;
    for (float q : status.quaternion) quaternion.append(py::float_(q));
    py::dict result;
    result["device_id"] = py::int_(status.device_id);
    result["quaternion"] = quaternion;
    result["error_flag"] = py::int_(status.error_flag);
    result["hall_effect_sensor_level"] = py::int_(status.hall_effect_sensor_level);
    result["buttons"] = py::int_(status.buttons);
    result["battery_level"] = py::float_(status.battery_level);
    return result;
}

}  // namespace

void BindHandle(py::module_& m) {
    using Unlocked = py::call_guard<GilRelease>;

    py::class_<Handle, TrampolineHandle>(m, "Handle", "The stylar handle class")
        // The handle borrows the library stream; keep_alive makes the Python
        // stream outlive the handle, so dropping it early cannot leave the
        // handle dangling. Python subclasses get the trampoline.
        .def(py::init([](IO::SerialStream* stream) { return new Handle(RequireStream(stream, "Handle")); },
                      [](IO::SerialStream* stream) { return new TrampolineHandle(RequireStream(stream, "Handle")); }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", &Handle::SendDeviceWakeup, Unlocked())
        .def("SendHandleState", &SendHandleState, py::arg("device_id") = 0, py::arg("data_length") = 0,
             py::arg("user_data") = py::none(), "send handle state")
        .def("RequestStatus", &Handle::RequestStatus, "request handle status", Unlocked())
        .def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, py::arg("tool_data_remaining"), py::arg("device_id"),
             py::arg("device_model_number"), py::arg("hardware_version"), py::arg("firmware_version"),
             "OnReceiveHandleInfo")
        .def("OnReceiveHandleStatusMessage", &CallStatusMessage, py::arg("device_id"), py::arg("quaternion"),
             py::arg("error_flag"), py::arg("hall_effect_sensor_level"), py::arg("user_data_length"),
             py::arg("user_data"), "OnReceiveHandleStatusMessage")
        .def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse, py::arg("device_id"),
             py::arg("error_code"), "OnReceiveHandleErrorResponse")
        .def("Receive", &Handle::Receive, "Receive data from the handle", Unlocked())
        .def("Receive", &ReceiveObsolete, py::arg("obsolete"), "[DEPRECATED] Receive current and return current")
        .def("GetStylarStatus", &GetStylarStatus, "Get the most recent Stylar informations");
}

}  // namespace Korvo::HardwareAPI::Bindings
