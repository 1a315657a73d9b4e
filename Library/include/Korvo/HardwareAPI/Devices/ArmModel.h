#pragma once
// The host-side kinematic model of the arm: a closed planar five-bar linkage
// (two driven links from the base joints, two distal links meeting at the end
// effector) whose plane is turned about the base by joint 0, followed by a
// fixed offset and a rotation by the base orientation quaternion.
//
// There is one model per process, shared by every Arvena: constructing any arm
// resets the gear ratios and linkage lengths for all of them (the joint-angle
// offsets survive). Nothing here is synchronised; callers serialise
// configuration changes against computations.

#include <array>

namespace Korvo::HardwareAPI::Devices {

struct ArmModel {
    // Degrees to radians uses this truncated value, as the arm's firmware
    // does, so host and arm agree on positions.
    static constexpr float kPi = 3.141592f;
    static constexpr float kQuaternionComponent = 0.7071f;

    // Head (joint 0), inner arm (joint 1), outer arm (joint 2).
    std::array<float, 3> gear_ratio{1.0f, 1.0f, 1.0f};
    float inner_arm_1 = 0.0f;
    float outer_arm_1 = 0.0f;
    float inner_arm_2 = 0.0f;
    float outer_arm_2 = 0.0f;
    float extension = 0.0f;  // never negative
    // Radians, set by calibration only.
    std::array<float, 3> angle_offset{0.0f, 0.0f, 0.0f};
    // Base orientation (x, y, z, w), used without normalisation.
    std::array<float, 4> orientation{0.0f, 0.0f, 0.0f, 0.0f};

    // Defaults every arm construction applies.
    void Reset();
    // Stores the lengths (|extension|) and the fixed base orientation.
    void SetLengths(float inner_1, float outer_1, float inner_2, float outer_2, float extension_length);
    void SetFixedOrientation();
    // Offsets that make the given raw joint angles read as `angles` (degrees).
    void Calibrate(const std::array<float, 3>& raw, const std::array<float, 3>& angles);

    // Joint angles in radians from raw joint angles in degrees.
    std::array<float, 3> JointRadians(const std::array<float, 3>& raw) const;
    // End-effector position from raw joint angles in degrees. Not-a-number
    // coordinates when the distal links cannot close the linkage.
    std::array<float, 3> Position(const std::array<float, 3>& raw) const;
};

// The process-wide model.
ArmModel& SharedArmModel();

}  // namespace Korvo::HardwareAPI::Devices
