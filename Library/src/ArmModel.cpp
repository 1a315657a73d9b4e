#include "Korvo/HardwareAPI/Devices/ArmModel.h"

#include <cmath>

namespace Korvo::HardwareAPI::Devices {

namespace {
constexpr double kPi = ArmModel::kPi;
constexpr double kBaseJointOffsetDeg = 90.0;
constexpr double kArmJointOffsetDeg = -180.0;
constexpr double kRadialOffset = -0.052;
constexpr double kVerticalOffset = 0.18645;
// Below this elbow separation the linkage is folded onto itself and the
// distal direction is undefined.
constexpr double kCoincidenceLimit = 1e-6;

double Radians(double degrees) { return degrees * kPi / 180.0; }
}  // namespace

ArmModel& SharedArmModel() {
    static ArmModel model;
    return model;
}

void ArmModel::Reset() {
    gear_ratio = {1.0f, 1.0f, 1.0f};
    SetLengths(0.14f, 0.14f, 0.165f, 0.165f, 0.0765f);
}

void ArmModel::SetLengths(float inner_1, float outer_1, float inner_2, float outer_2, float extension_length) {
    inner_arm_1 = inner_1;
    outer_arm_1 = outer_1;
    inner_arm_2 = inner_2;
    outer_arm_2 = outer_2;
    extension = std::fabs(extension_length);
    SetFixedOrientation();
}

void ArmModel::SetFixedOrientation() { orientation = {0.0f, kQuaternionComponent, 0.0f, kQuaternionComponent}; }

void ArmModel::Calibrate(const std::array<float, 3>& raw, const std::array<float, 3>& angles) {
    angle_offset[0] = static_cast<float>(Radians(double(raw[0]) * gear_ratio[0] - angles[0]));
    angle_offset[1] = static_cast<float>(Radians(double(angles[1]) - double(raw[1]) * gear_ratio[1]));
    angle_offset[2] = static_cast<float>(Radians(double(angles[2]) - double(raw[2]) * gear_ratio[2]));
}

std::array<float, 3> ArmModel::JointRadians(const std::array<float, 3>& raw) const {
    return {
        static_cast<float>(Radians(double(raw[0]) * gear_ratio[0] + kBaseJointOffsetDeg) - angle_offset[0]),
        static_cast<float>(Radians(-double(raw[1]) * gear_ratio[1] + kArmJointOffsetDeg) - angle_offset[1]),
        static_cast<float>(Radians(-double(raw[2]) * gear_ratio[2] + kArmJointOffsetDeg) - angle_offset[2]),
    };
}

std::array<float, 3> ArmModel::Position(const std::array<float, 3>& raw) const {
    const auto [theta0_f, theta1_f, theta2_f] = JointRadians(raw);
    // The angles are held as floats, but the trigonometry is done in double:
    // std::cos of a float is a float computation, up to 3e-8 m off here.
    const double theta0 = theta0_f, theta1 = theta1_f, theta2 = theta2_f;
    const double L1 = inner_arm_1, M1 = outer_arm_1, L2 = inner_arm_2, M2 = outer_arm_2;
    const double c1 = std::cos(theta1), s1 = std::sin(theta1);
    const double c2 = std::cos(theta2), s2 = std::sin(theta2);

    // Separation of the two elbows, and the direction of the distal link.
    const double x = L1 * c1 - M1 * c2;
    const double y = L1 * s1 - M1 * s2;
    const double psi = std::atan2(y, x);
    const float C = static_cast<float>(std::sqrt(x * x + y * y));
    double sigma = theta1;
    if (C >= kCoincidenceLimit) {
        const double beta = std::acos((L2 * L2 + double(C) * C - M2 * M2) / (2.0 * C * L2));
        sigma = psi + kPi - beta;
    }

    // End point in the linkage plane, then the plane turned about the base.
    const float u = static_cast<float>(L1 * c1 + L2 * std::cos(sigma));
    const float v = static_cast<float>(L1 * s1 + L2 * std::sin(sigma));
    const double R = kRadialOffset + extension;
    const float X = static_cast<float>(R * std::cos(theta0) + v * std::sin(theta0));
    const float Y = static_cast<float>(R * std::sin(theta0) - v * std::cos(theta0));
    const float Z = static_cast<float>(-(u + kVerticalOffset));

    // Rotate (Z, Y, X), in that order, by the base orientation.
    const double qx = orientation[0], qy = orientation[1], qz = orientation[2], qw = orientation[3];
    const double p0 = Z, p1 = Y, p2 = X;
    return {
        static_cast<float>((1 - 2 * (qy * qy + qz * qz)) * p0 + 2 * (qx * qy - qw * qz) * p1 + 2 * (qx * qz + qw * qy) * p2),
        static_cast<float>(2 * (qx * qy + qw * qz) * p0 + (1 - 2 * (qx * qx + qz * qz)) * p1 + 2 * (qy * qz - qw * qx) * p2),
        static_cast<float>(2 * (qx * qz - qw * qy) * p0 + 2 * (qy * qz + qw * qx) * p1 + (1 - 2 * (qx * qx + qy * qy)) * p2),
    };
}

}  // namespace Korvo::HardwareAPI::Devices
