#include "Korvo/HardwareAPI/Devices/Arvena.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace Korvo::HardwareAPI::Devices {

// Floats travel in the host's byte order and are copied byte for byte.
static_assert(std::endian::native == std::endian::little, "the arm's wire format is little-endian");

namespace {
constexpr std::size_t kStatePayload = 24;
constexpr std::size_t kIdentityPayload = 17;
constexpr std::uint8_t kIdentityLength = 16;

template <std::size_t N>
void CopyFloats(std::array<float, N>& out, const std::uint8_t* from) {
    std::memcpy(out.data(), from, sizeof(float) * N);
}

// A non-finite value would reach the motors as whatever the firmware makes
// of it: refused before anything is written.
void CheckRequest(const Vector3& values, const char* argument) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument(std::string(argument) + "[" + std::to_string(i) + "] is " +
                                        (std::isnan(values[i]) ? "nan" : values[i] > 0 ? "inf" : "-inf") +
                                        ": requests must be finite");
        }
    }
}

void SendRequest(Device& device, std::uint8_t code, const Vector3& values, const char* argument) {
    CheckRequest(values, argument);
    device.SendFloatCommand(code, values.data(), 3);
}
}  // namespace

Arvena::Arvena(IO::SerialStream* serial_stream, float timeout) : Device(serial_stream, timeout) {
    SharedArmModel().Reset();
}

bool Arvena::ReceiveReply(std::uint8_t code, std::size_t payload) {
    if (ReadHeaderCode() != code) {
        ReadBytes(kBufferSize);
        return false;
    }
    return ReadBytes(payload) == static_cast<int>(payload);
}

bool Arvena::ReceivePair(std::uint8_t code, Vector3& first, Vector3& second) {
    if (!ReceiveReply(code, kStatePayload)) return false;
    CopyFloats(first, input_buffer.get());
    CopyFloats(second, input_buffer.get() + 12);
    return true;
}

bool Arvena::Query(std::uint8_t code, std::size_t payload) {
    output_buffer[0] = code;
    WriteBytes(1);
    return ReceiveReply(code, payload);
}

// -- current exchanges ---------------------------------------------------------------

void Arvena::SendDeviceWakeup() {
    output_buffer[0] = kWakeup;
    WriteBytes(1);
}

DeviceInfo Arvena::ReceiveDeviceInfo() {
    if (!ReceiveReply(kWakeupReply, DeviceInfo::kWireSize)) return DeviceInfo{};
    return DeviceInfo::Decode(input_buffer.get());
}

DeviceInfo Arvena::device_wakeup() {
    SendDeviceWakeup();
    return ReceiveDeviceInfo();
}

EndEffectorState Arvena::ReceiveEndEffectorState() {
    EndEffectorState state;  // zeros unless the reply comes
    ReceiveState(state.position, state.velocity);
    return state;
}

JointState Arvena::ReceiveJoints() {
    JointState state;  // zeros unless the reply comes
    ReceiveJointState(state.joint_position, state.joint_velocity);
    return state;
}

EndEffectorState Arvena::end_effector_force(const Vector3& force) {
    SendForce(force);
    return ReceiveEndEffectorState();
}

EndEffectorState Arvena::end_effector_position(const Vector3& position) {
    SendPosition(position);
    return ReceiveEndEffectorState();
}

JointState Arvena::joint_torques(const Vector3& torques) {
    SendJointTorques(torques);
    return ReceiveJoints();
}

JointState Arvena::joint_angles(const Vector3& angles) {
    SendAngle(angles);
    return ReceiveJoints();
}

EndEffectorState Arvena::get_end_effector_position(bool onboard) {
    return onboard ? end_effector_force({0.0f, 0.0f, 0.0f}) : ComputeEndEffectorPosition();
}

UUID Arvena::IdentityQuery(std::uint8_t subcode) {
    output_buffer[0] = kIdentity;
    output_buffer[1] = subcode;
    WriteBytes(2);
    UUID id;
    // Both codes are read even when the first is already wrong.
    const std::uint8_t first = ReadHeaderCode();
    const std::uint8_t second = ReadHeaderCode();
    if (first != kIdentity || second != subcode) {
        ReadBytes(kBufferSize);
        return id;
    }
    if (ReadBytes(kIdentityPayload) == static_cast<int>(kIdentityPayload) && input_buffer[0] == kIdentityLength) {
        std::memcpy(id.data.data(), input_buffer.get() + 1, id.data.size());
    }
    return id;
}

UUID Arvena::get_device_id() { return IdentityQuery(kDeviceIdSubcode); }

UUID Arvena::get_firmware_version() { return IdentityQuery(kFirmwareSubcode); }

Vector3 Arvena::get_motor_currents() {
    Vector3 currents{};
    if (Query(kMotorCurrents, sizeof currents)) CopyFloats(currents, input_buffer.get());
    return currents;
}

std::array<float, 4> Arvena::get_device_orientation() {
    std::array<float, 4> quaternion{};
    if (Query(kOrientation, sizeof quaternion)) CopyFloats(quaternion, input_buffer.get());
    return quaternion;
}

bool Arvena::get_power_status() { return Query(kPowerStatus, 1) && input_buffer[0] != 0; }

float Arvena::get_temperature() {
    std::array<float, 1> temperature{};
    if (Query(kTemperature, sizeof temperature)) CopyFloats(temperature, input_buffer.get());
    return temperature[0];
}

// -- older entry points ----------------------------------------------------------------

void Arvena::SendForce(const Vector3& force) { SendRequest(*this, kEndEffectorForce, force, "force"); }

void Arvena::SendPosition(const Vector3& position) {
    SendRequest(*this, kEndEffectorPosition, position, "position");
}

void Arvena::SendJointTorques(const Vector3& torques) { SendRequest(*this, kJointTorques, torques, "torques"); }

void Arvena::SendAngle(const Vector3& angles) { SendRequest(*this, kJointAngles, angles, "angles"); }

void Arvena::RequestCurrent() {
    output_buffer[0] = kMotorCurrents;
    WriteBytes(1);
}

bool Arvena::ReceiveState(Vector3& position, Vector3& velocity) {
    return ReceivePair(kEndEffectorState, position, velocity);
}

bool Arvena::ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity) {
    return ReceivePair(kJointState, joint_position, joint_velocity);
}

bool Arvena::ReceiveCurrent(Vector3& current) {
    if (!ReceiveReply(kMotorCurrents, sizeof current)) return false;
    CopyFloats(current, input_buffer.get());
    return true;
}

// -- kinematic model ---------------------------------------------------------------------

Vector3 Arvena::ReadRawJointAngles() { return joint_torques({0.0f, 0.0f, 0.0f}).joint_position; }

void Arvena::adjust_angles(const Vector3& angles) {
    CheckRequest(angles, "angles");
    SharedArmModel().Calibrate(ReadRawJointAngles(), angles);
}

void Arvena::adjust_lengths(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                            float extension) {
    SharedArmModel().SetLengths(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
}

void Arvena::adjust_gear_ratios(float head, float inner_arm, float outer_arm) {
    SharedArmModel().gear_ratio = {head, inner_arm, outer_arm};
}

void Arvena::deactivate_orientation_sensor() { SharedArmModel().SetFixedOrientation(); }

EndEffectorState Arvena::ComputeEndEffectorPosition() {
    EndEffectorState state;
    state.position = SharedArmModel().Position(ReadRawJointAngles());
    return state;
}

}  // namespace Korvo::HardwareAPI::Devices
