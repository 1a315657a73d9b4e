// Python class Arvena. Methods are registered in a fixed order (their order in
// help() and in overload lists). Device exchanges run without the interpreter
// lock except where a method is documented to hold it; results are built
// after the lock is taken back.

#include "Korvo/HardwareAPI/Devices/Arvena.h"

#include <memory>
#include <string>
#include <vector>

#include "Bindings.h"
#include "Conversions.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::HardwareAPI::Bindings {

namespace {

using Devices::Arvena;
using Devices::EndEffectorState;
using Devices::JointState;
using Devices::Vector3;

const std::vector<float> kZeroVector{0.0f, 0.0f, 0.0f};

py::tuple Pair(const EndEffectorState& s) { return py::make_tuple(s.position, s.velocity); }
py::tuple Pair(const JointState& s) { return py::make_tuple(s.joint_position, s.joint_velocity); }

// Identifiers reach Python as the standard library's uuid.UUID.
py::object PythonUUID(const UUID& id) { return py::module_::import("uuid").attr("UUID")("hex"_a = id.Hex()); }

py::tuple InfoTuple(const DeviceInfo& info) {
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version, info.firmware_version,
                          info.device_id_ext.bytes());
}

// Spelled out with escapes: its spaces at line ends are part of the text.
constexpr const char* kReceiveDeviceInfoDoc =
    "\n            Receive device info and return a tuple with the following fields: \n\n"
    "            device_id (uint16_t)\n            \n"
    "            device_model_num (uint8_t)\n            \n"
    "            hardware_version (uint8_t)\n            \n"
    "            firmware_version (uint8_t)\n            \n"
    "            device_id_ext (UUID)\n            ";

}  // namespace

void BindArvena(py::module_& m) {
    py::class_<Arvena> arvena(m, "Arvena", "Arvena Device Class");

    // The arm borrows the library stream; keep_alive makes the Python stream
    // outlive the arm, so dropping it early cannot leave the arm dangling.
    arvena
        .def(py::init([](IO::SerialStream* stream) {
                 return new Arvena(RequireStream(stream, "Arvena"), Arvena::kDefaultReadTimeout);
             }),
             py::keep_alive<1, 2>())
        .def(py::init([](IO::SerialStream* stream, float timeout) {
                 return new Arvena(RequireStream(stream, "Arvena"), timeout);
             }),
             "stream"_a, "timeout"_a = Arvena::kDefaultReadTimeout, py::keep_alive<1, 2>(),
             "Construct an Arvena with a custom serial timeout (seconds).");

    // -- raw access -------------------------------------------------------------------
    arvena
        .def(
            "send_raw",
            [](Arvena& self, const py::bytes& payload) {
                std::string bytes = payload;  // copied while the lock is held
                Released([&] { self.send_raw(bytes.data(), bytes.size()); });
            },
            "payload"_a, "Send raw bytes directly to the serial stream (no framing).")
        .def(
            "read_raw",
            [](Arvena& self, std::uint32_t n, float timeout) {
                // Left uninitialised: only the pages the read fills are ever
                // touched, so a large n costs address space, not memory.
                const auto buffer = std::make_unique_for_overwrite<char[]>(n);
                const std::size_t got = Released([&] { return self.read_raw(buffer.get(), n, timeout); });
                return py::bytes(buffer.get(), got);
            },
            "n"_a, "timeout"_a = 1.0f,
            "Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter than "
            "n on timeout).")
        .def("set_read_timeout", &Arvena::set_read_timeout, "t"_a, "Set the device-level read timeout (seconds).")
        .def(
            "flush_input", [](Arvena& self) { Released([&] { self.flush_input(); }); },
            "Drain any currently buffered input bytes from the serial stream.");

    // -- identity and status ------------------------------------------------------------
    arvena
        .def(
            "device_wakeup",
            [](Arvena& self) { return InfoTuple(Released([&] { return self.device_wakeup(); })); },
            "Wakeup the device and return the device info as a tuple.")
        .def(
            "device_wakeup_dict",
            [](Arvena& self) {
                const DeviceInfo info = Released([&] { return self.device_wakeup(); });
                return py::dict("device_id"_a = info.device_id, "device_model_number"_a = info.device_model_number,
                                "hardware_version"_a = info.hardware_version,
                                "firmware_version"_a = info.firmware_version,
                                "device_id_ext"_a = PythonUUID(info.device_id_ext));
            },
            "Wakeup the device and return the device info as a dict.")
        // These queries keep the interpreter lock while they wait.
        .def(
            "get_firmware_version", [](Arvena& self) { return PythonUUID(self.get_firmware_version()); },
            "Receive the firmware version of the device.")
        .def(
            "get_device_id", [](Arvena& self) { return PythonUUID(self.get_device_id()); },
            "Receive the UUID of the device.")
        .def("get_motor_currents", &Arvena::get_motor_currents, "Receive the motor currents of the device.")
        .def("get_device_orientation", &Arvena::get_device_orientation,
             "Receive the orientation of the base of the device.")
        .def("get_power_status", &Arvena::get_power_status, "Receive the power status of the device.")
        .def("get_temperature", &Arvena::get_temperature, "Receive the temperature of the device.");

    // -- exchanges and the kinematic model -------------------------------------------------
    arvena
        .def(
            "end_effector_force",
            [](Arvena& self, const std::vector<double>& force) {
                const Vector3 request = Request3(force, "force request vector");
                return Pair(Released([&] { return self.end_effector_force(request); }));
            },
            py::arg("force request vector") = kZeroVector, "Send forces to the device and receive device states")
        .def(
            "get_end_effector_position",
            [](Arvena& self, bool onboard) {
                return Pair(Released([&] { return self.get_end_effector_position(onboard); }));
            },
            "onboard"_a = true, "Get the end-effector position and velocity")
        .def(
            "adjust_angles",
            [](Arvena& self, const std::vector<double>& angles) {
                const Vector3 wanted = Request3(angles, "angles");
                Released([&] { self.adjust_angles(wanted); });
            },
            "angles"_a = kZeroVector, "Adjust the angles of the device")
        .def("adjust_lengths", &Arvena::adjust_lengths, "inner_arm_1"_a = 0.14f, "outer_arm_1"_a = 0.14f,
             "inner_arm_2"_a = 0.165f, "outer_arm_2"_a = 0.165f, "extension"_a = 0.0765f,
             "Adjust the lengths of the linkages", py::call_guard<GilRelease>())
        .def("adjust_gear_ratios", &Arvena::adjust_gear_ratios, "head_gear_ratio_coeff"_a = 1.0f,
             "inner_arm_gear_ratio_coeff"_a = 1.0f, "outer_arm_gear_ratio_coeff"_a = 1.0f, "Adjust the gear ratios",
             py::call_guard<GilRelease>())
        .def("deactivate_orientation_sensor", &Arvena::deactivate_orientation_sensor,
             "Set the base orientation of the kinematic model to the fixed quaternion (0, 0.7071, 0, 0.7071), "
             "without exchanging any bytes with the arm.",
             py::call_guard<GilRelease>())
        .def(
            "joint_torques",
            [](Arvena& self, const std::vector<double>& torques) {
                const Vector3 request = Request3(torques, "joint torque request vector");
                return Pair(Released([&] { return self.joint_torques(request); }));
            },
            py::arg("joint torque request vector") = kZeroVector,
            "Send joint torques to the device and receive the joint states")
        .def(
            "end_effector_position",
            [](Arvena& self, const std::vector<double>& position) {
                const Vector3 request = Request3(position, "position request vector");
                return Pair(Released([&] { return self.end_effector_position(request); }));
            },
            py::arg("position request vector") = kZeroVector, "Send end-effector position and receive device states")
        .def(
            "joint_angles",
            [](Arvena& self, const std::vector<double>& angles) {
                const Vector3 request = Request3(angles, "joint angle request vector");
                return Pair(Released([&] { return self.joint_angles(request); }));
            },
            py::arg("joint angle request vector") = kZeroVector,
            "Send joint angles to the device and receive the joint states");

    // -- older entry points -----------------------------------------------------------------
    arvena
        .def(
            "SendDeviceWakeup",
            [](Arvena& self) {
                Deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead",
                           [&] { Released([&] { self.SendDeviceWakeup(); }); });
            },
            "[DEPRECATED] Send a device wakeup command")
        .def(
            "ReceiveDeviceInfo",
            [](Arvena& self) {
                const DeviceInfo info = Released([&] { return self.ReceiveDeviceInfo(); });
                return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                      info.firmware_version, info.device_id_ext);
            },
            kReceiveDeviceInfoDoc)
        .def(
            "SendForce",
            [](Arvena& self, const std::vector<double>& force) {
                const Vector3 request = Request3(force, "force");
                Deprecated("SendForce is deprecated, use end_effector_force instead",
                           [&] { Released([&] { self.SendForce(request); }); });
            },
            "force"_a = kZeroVector, "[Deprecated] Send force to the device")
        .def(
            "SendForce",
            [](Arvena& self, double x, double y, double z) {
                const Vector3 request{RequestValue(x, "ForceX"), RequestValue(y, "ForceY"), RequestValue(z, "ForceZ")};
                Deprecated("SendForce is deprecated, use end_effector_force instead",
                           [&] { Released([&] { self.SendForce(request); }); });
            },
            "ForceX"_a = 0, "ForceY"_a = 0, "ForceZ"_a = 0, "[Deprecated] Send force to the device")
        .def(
            "ReceiveState",
            [](Arvena& self, const std::vector<float>& position, const std::vector<float>& velocity) {
                Vector3 p = First3(position, "position");
                Vector3 v = First3(velocity, "velocity");
                Deprecated("ReceiveState is deprecated, use end_effector instead",
                           [&] { return Released([&] { return self.ReceiveState(p, v); }); });
                return py::make_tuple(WithFirst3(position, p), WithFirst3(velocity, v));
            },
            "position"_a = kZeroVector, "velocity"_a = kZeroVector,
            "[Deprecated] receive state and return position and velocity")
        .def(
            "ReceiveJointState",
            [](Arvena& self, const std::vector<float>& joint_position, const std::vector<float>& joint_velocity) {
                Vector3 p = First3(joint_position, "joint_position");
                Vector3 v = First3(joint_velocity, "joint_velocity");
                Deprecated("ReceiveJointState is deprecated, use joint_torques instead",
                           [&] { return Released([&] { return self.ReceiveJointState(p, v); }); });
                return py::make_tuple(WithFirst3(joint_position, p), WithFirst3(joint_velocity, v));
            },
            "joint_position"_a = kZeroVector, "joint_velocity"_a = kZeroVector,
            "[Deprecated] receive joint state and return position and velocity in the joint reference frame")
        .def(
            "SendJointTorques",
            [](Arvena& self, const std::vector<double>& joint_torque) {
                const Vector3 request = Request3(joint_torque, "joint_torque");
                Deprecated("SendJointTorques is deprecated, use joint_torques instead",
                           [&] { Released([&] { self.SendJointTorques(request); }); });
            },
            "joint_torque"_a = kZeroVector, "[Deprecated] send joint torque")
        .def(
            "SendAngle",
            [](Arvena& self, const std::vector<double>& angle) {
                const Vector3 request = Request3(angle, "angle");
                Released([&] { self.SendAngle(request); });
            },
            "angle"_a = kZeroVector, "Send angles to the device")
        .def(
            "RequestCurrent", [](Arvena& self) { Released([&] { self.RequestCurrent(); }); }, "request current")
        .def(
            "ReceiveCurrent",
            [](Arvena& self, const std::vector<float>& current) {
                Vector3 c = First3(current, "current");
                Released([&] { return self.ReceiveCurrent(c); });
                return WithFirst3(current, c);
            },
            "current"_a = kZeroVector, "receive current and return current")
        .def(
            "SendPosition",
            [](Arvena& self, const std::vector<double>& position) {
                const Vector3 request = Request3(position, "position");
                Deprecated("SendPosition is deprecated, use end_effector_position instead",
                           [&] { Released([&] { self.SendPosition(request); }); });
            },
            "position"_a = kZeroVector, "[Deprecated] Send Position to the device");
}

}  // namespace Korvo::HardwareAPI::Bindings
