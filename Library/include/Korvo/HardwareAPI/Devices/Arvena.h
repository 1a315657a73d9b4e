#pragma once
// Arvena: the three-joint haptic arm.
//
// Every operation is one complete request-reply exchange on the caller's
// thread (see Device for framing, blocking and failure reporting):
//
//   operation                request                 reply
//   device_wakeup            0x0A                    0x0B + 21 (DeviceInfo)
//   end_effector_force       0x2A + 3 floats         0x2B + position, velocity
//   end_effector_position    0x2C + 3 floats         0x2B + position, velocity
//   joint_torques            0x1A + 3 floats         0x1B + angles (deg), velocities
//   joint_angles             0x1C + 3 floats (deg)   0x1B + angles (deg), velocities
//   get_device_id            0x0D 0xD1               0x0D 0xD1 0x10 + 16 bytes
//   get_firmware_version     0x0D 0xD2               0x0D 0xD2 0x10 + 16 bytes
//   get_motor_currents       0xAB                    0xAB + 3 floats
//   get_device_orientation   0x0C                    0x0C + 4 floats
//   get_power_status         0xAC                    0xAC + 1 byte
//   get_temperature          0xAA                    0xAA + 1 float
//
// No exchange throws for what the arm does. A missing or wrong reply gives
// zero results (all-zero vectors, UUID and DeviceInfo, 0.0, false); after a
// wrong header code the arm waits once more, up to read_timeout, for a full
// buffer before giving up, which leaves any bytes that did come in the port.
//
// Requests are checked before anything is written: a force, position,
// torque, joint-angle or calibration vector holding a NaN or an infinity is
// refused with std::invalid_argument naming the argument, and nothing is
// sent (an arm told to exert an infinite force does whatever its firmware
// makes of it).
//
// The older Send*/Receive* entry points each perform one half of an exchange;
// the caller pairs them.

#include <array>
#include <cstdint>

#include "Korvo/HardwareAPI/DeviceInfo.h"
#include "Korvo/HardwareAPI/Devices/ArmModel.h"
#include "Korvo/HardwareAPI/Devices/Device.h"
#include "Korvo/HardwareAPI/UUID.h"

namespace Korvo::HardwareAPI::Devices {

using Vector3 = std::array<float, 3>;

struct EndEffectorState {
    Vector3 position{};
    Vector3 velocity{};
};

struct JointState {
    Vector3 joint_position{};  // degrees
    Vector3 joint_velocity{};
};

class Arvena : public Device {
public:
    // Header codes of the arm's wire protocol.
    enum Code : std::uint8_t {
        kWakeup = 0x0A,
        kWakeupReply = 0x0B,
        kIdentity = 0x0D,
        kDeviceIdSubcode = 0xD1,
        kFirmwareSubcode = 0xD2,
        kEndEffectorForce = 0x2A,
        kEndEffectorState = 0x2B,
        kEndEffectorPosition = 0x2C,
        kJointTorques = 0x1A,
        kJointState = 0x1B,
        kJointAngles = 0x1C,
        kMotorCurrents = 0xAB,
        kOrientation = 0x0C,
        kPowerStatus = 0xAC,
        kTemperature = 0xAA,
    };

    // Exchanges nothing with the arm. Resets the process-wide model's gear
    // ratios and linkage lengths (for every arm).
    explicit Arvena(IO::SerialStream* stream, float read_timeout = kDefaultReadTimeout);

    DeviceInfo device_wakeup();
    EndEffectorState end_effector_force(const Vector3& force);
    EndEffectorState end_effector_position(const Vector3& position);
    JointState joint_torques(const Vector3& torques);
    JointState joint_angles(const Vector3& angles);
    // onboard: the arm's own position (zero force sent); otherwise computed
    // on the host from the joint angles (zero joint torques sent), velocity 0.
    EndEffectorState get_end_effector_position(bool onboard);
    UUID get_device_id();
    UUID get_firmware_version();
    Vector3 get_motor_currents();
    std::array<float, 4> get_device_orientation();
    bool get_power_status();
    float get_temperature();

    // -- kinematic model (process-wide, see ArmModel) ---------------------------
    // Reads the raw joint angles and sets the offsets so that the current
    // pose reads as `angles` (degrees).
    void adjust_angles(const Vector3& angles = {0.0f, 0.0f, 0.0f});
    void adjust_lengths(float inner_arm_1 = 0.14f, float outer_arm_1 = 0.14f, float inner_arm_2 = 0.165f,
                        float outer_arm_2 = 0.165f, float extension = 0.0765f);
    void adjust_gear_ratios(float head = 1.0f, float inner_arm = 1.0f, float outer_arm = 1.0f);
    // Sets the base orientation to the fixed (0, 0.7071, 0, 0.7071); no bytes.
    void deactivate_orientation_sensor();
    EndEffectorState ComputeEndEffectorPosition();

    // -- older entry points: one half of an exchange each --------------------------
    // The Send* calls (and every call above that sends them, and
    // adjust_angles) throw std::invalid_argument ("<argument>[i] is nan: ...")
    // before anything is written unless every value is finite.
    void SendDeviceWakeup();
    DeviceInfo ReceiveDeviceInfo();
    void SendForce(const Vector3& force);
    void SendForce(float x, float y, float z) { SendForce(Vector3{x, y, z}); }
    void SendPosition(const Vector3& position);
    void SendJointTorques(const Vector3& torques);
    void SendAngle(const Vector3& angles);
    void RequestCurrent();
    // Overwrite their arguments on success and leave them untouched on
    // failure; the result says which.
    bool ReceiveState(Vector3& position, Vector3& velocity);
    bool ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity);
    bool ReceiveCurrent(Vector3& current);

private:
    // Reads the reply `code` and its payload into input_buffer; on a wrong
    // code waits for a full buffer first (resynchronisation). False on any
    // failure.
    bool ReceiveReply(std::uint8_t code, std::size_t payload);
    // Reply with two float triples (a state pair).
    bool ReceivePair(std::uint8_t code, Vector3& first, Vector3& second);
    // The state replies, zero when they do not come.
    EndEffectorState ReceiveEndEffectorState();
    JointState ReceiveJoints();
    // One-byte request answered by the same code and `payload` bytes.
    bool Query(std::uint8_t code, std::size_t payload);
    UUID IdentityQuery(std::uint8_t subcode);
    // Raw joint angles from a zero-torque exchange; zeros when it fails.
    Vector3 ReadRawJointAngles();
};

}  // namespace Korvo::HardwareAPI::Devices
