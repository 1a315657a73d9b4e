// The host-side kinematic model and its calibration operations.

#include "Korvo/HardwareAPI/Devices/ArmModel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using namespace Korvo::HardwareAPI::Devices;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::Bytes;
using Korvo::Testing::Concat;
using Korvo::Testing::FloatBytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;

constexpr double kTolerance = 1e-6;
constexpr float kPi = ArmModel::kPi;

// The computation written out again, step by step, from its description
// alone: every value the model keeps as a float is rounded exactly where the
// steps say, everything else is double. pi comes from its bits, not from the
// library, so a library that drifts to another pi disagrees with it.
struct Steps {
    std::array<float, 3> gear{1.0f, 1.0f, 1.0f};
    std::array<float, 3> offset{0.0f, 0.0f, 0.0f};
    float inner_1 = 0.14f, outer_1 = 0.14f, inner_2 = 0.165f, outer_2 = 0.165f, extension = 0.0765f;
    std::array<float, 4> q{0.0f, std::bit_cast<float>(0x3F350481u), 0.0f, std::bit_cast<float>(0x3F350481u)};

    static double Pi() { return std::bit_cast<float>(0x40490FD8u); }

    std::array<float, 3> Theta(const Vector3& r) const {
        return {
            static_cast<float>((double(r[0]) * gear[0] + 90) * Pi() / 180 - offset[0]),
            static_cast<float>((-double(r[1]) * gear[1] - 180) * Pi() / 180 - offset[1]),
            static_cast<float>((-double(r[2]) * gear[2] - 180) * Pi() / 180 - offset[2]),
        };
    }

    // The offsets that make the raw angles r read as `a`.
    std::array<float, 3> Offsets(const Vector3& r, const Vector3& a) const {
        return {
            static_cast<float>((double(r[0]) * gear[0] - a[0]) * Pi() / 180),
            static_cast<float>((double(a[1]) - double(r[1]) * gear[1]) * Pi() / 180),
            static_cast<float>((double(a[2]) - double(r[2]) * gear[2]) * Pi() / 180),
        };
    }

    std::array<float, 3> Position(const Vector3& r) const {
        const auto t = Theta(r);
        const double L1 = inner_1, M1 = outer_1, L2 = inner_2, M2 = outer_2, E = extension;
        const double c1 = std::cos(double(t[1])), s1 = std::sin(double(t[1]));
        const double c2 = std::cos(double(t[2])), s2 = std::sin(double(t[2]));
        const double x = L1 * c1 - M1 * c2;
        const double y = L1 * s1 - M1 * s2;
        const double psi = std::atan2(y, x);
        const float C = static_cast<float>(std::sqrt(x * x + y * y));
        const double sigma = C < 1e-6 ? double(t[1])
                                      : psi + Pi() - std::acos((L2 * L2 + double(C) * C - M2 * M2) / (2 * double(C) * L2));
        const float u = static_cast<float>(L1 * c1 + L2 * std::cos(sigma));
        const float v = static_cast<float>(L1 * s1 + L2 * std::sin(sigma));
        const double R = -0.052 + E;
        const float X = static_cast<float>(R * std::cos(double(t[0])) + v * std::sin(double(t[0])));
        const float Y = static_cast<float>(R * std::sin(double(t[0])) - v * std::cos(double(t[0])));
        const float Z = static_cast<float>(-(u + 0.18645));
        const double qx = q[0], qy = q[1], qz = q[2], qw = q[3];
        return {
            static_cast<float>((1 - 2 * (qy * qy + qz * qz)) * Z + 2 * (qx * qy - qw * qz) * Y + 2 * (qx * qz + qw * qy) * X),
            static_cast<float>(2 * (qx * qy + qw * qz) * Z + (1 - 2 * (qx * qx + qz * qz)) * Y + 2 * (qy * qz - qw * qx) * X),
            static_cast<float>(2 * (qx * qz - qw * qy) * Z + 2 * (qy * qz + qw * qx) * Y + (1 - 2 * (qx * qx + qy * qy)) * X),
        };
    }

    void Apply(ArmModel& model) const {
        model.Reset();
        model.gear_ratio = gear;
        model.angle_offset = offset;
        model.SetLengths(inner_1, outer_1, inner_2, outer_2, extension);
    }
};

void ExpectNear(const Vector3& got, const std::array<double, 3>& want) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], kTolerance) << "coordinate " << i;
}

ArmModel DefaultModel() {
    ArmModel model;
    model.Reset();
    return model;
}

struct Pose {
    Vector3 raw;
    std::array<double, 3> position;
};

class Kinematics : public ::testing::TestWithParam<Pose> {};

TEST_P(Kinematics, PositionFromRawAngles) { ExpectNear(DefaultModel().Position(GetParam().raw), GetParam().position); }

INSTANTIATE_TEST_SUITE_P(Poses, Kinematics,
                         ::testing::Values(Pose{{0, 0, 0}, {0.0000021, 0.0245, -0.1185477}},  // folded
                                           Pose{{0, -30, 30}, {-0.0000042, 0.0245, 0.2146179}},
                                           Pose{{45, -20, 40}, {-0.0207871, 0.0138649, 0.2141895}}));

struct StepCase {
    const char* name;
    Steps model;
    Vector3 raw;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

Steps Geared() {
    Steps s;
    s.gear = {2.0f, 0.5f, 1.25f};
    return s;
}

Steps Offset() {
    Steps s;
    s.offset = {0.1f, -0.2f, 0.05f};
    return s;
}

Steps Longer() {
    Steps s;
    s.inner_1 = 0.15f;
    s.outer_1 = 0.13f;
    s.inner_2 = 0.17f;
    s.outer_2 = 0.16f;
    s.extension = 0.09f;
    return s;
}

class FollowsTheSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(FollowsTheSteps, JointAnglesExactly) {
    ArmModel model;
    GetParam().model.Apply(model);
    const auto want = GetParam().model.Theta(GetParam().raw);
    const auto got = model.JointRadians(GetParam().raw);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], want[i]) << "joint " << i;
}

TEST_P(FollowsTheSteps, Position) {
    ArmModel model;
    GetParam().model.Apply(model);
    const auto want = GetParam().model.Position(GetParam().raw);
    const auto got = model.Position(GetParam().raw);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], want[i]) << "coordinate " << i;
}

TEST_P(FollowsTheSteps, CalibrationOffsetsExactly) {
    ArmModel model;
    GetParam().model.Apply(model);
    const Vector3 wanted_angles{5.0f, -12.5f, 33.0f};
    model.Calibrate(GetParam().raw, wanted_angles);
    const auto want = GetParam().model.Offsets(GetParam().raw, wanted_angles);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(model.angle_offset[i], want[i]) << "joint " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Poses, FollowsTheSteps,
    ::testing::Values(StepCase{"Folded", Steps{}, {0, 0, 0}}, StepCase{"Symmetric", Steps{}, {0, -30, 30}},
                      StepCase{"Turned", Steps{}, {45, -20, 40}}, StepCase{"SimulatorStart", Steps{}, {0, -15, 45}},
                      StepCase{"Reaching", Steps{}, {20, -5, 70}}, StepCase{"TurnedBack", Steps{}, {-60, -60, 80}},
                      StepCase{"Raised", Steps{}, {10, 20, 70}}, StepCase{"Geared", Geared(), {22.5f, -40, 32}},
                      StepCase{"Offset", Offset(), {15, -25, 50}}, StepCase{"OtherLengths", Longer(), {-30, -20, 60}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ArmModel, PiIsTheTruncatedValue) {
    std::uint32_t bits;
    const float pi = ArmModel::kPi;
    std::memcpy(&bits, &pi, sizeof bits);
    EXPECT_EQ(bits, 0x40490FD8u);
    const float q = ArmModel::kQuaternionComponent;
    std::memcpy(&bits, &q, sizeof bits);
    EXPECT_EQ(bits, 0x3F350481u);
}

TEST(ArmModel, LinksThatCannotMeetGiveNotANumber) {
    ArmModel model = DefaultModel();
    model.SetLengths(0.14f, 0.14f, 0.01f, 0.01f, 0.0765f);
    for (float c : model.Position({0, -30, 30})) EXPECT_TRUE(std::isnan(c));
}

TEST(ArmModel, ExtensionIsStoredAsItsMagnitudeAndOrientationIsFixed) {
    ArmModel model;
    model.SetLengths(1, 2, 3, 4, -0.1f);
    EXPECT_FLOAT_EQ(model.extension, 0.1f);
    EXPECT_EQ(model.orientation, (std::array<float, 4>{0.0f, 0.7071f, 0.0f, 0.7071f}));
    model.orientation = {1, 2, 3, 4};
    model.SetFixedOrientation();
    EXPECT_EQ(model.orientation, (std::array<float, 4>{0.0f, 0.7071f, 0.0f, 0.7071f}));
}

TEST(ArmModel, GearRatiosScaleTheRawAngles) {
    ArmModel model = DefaultModel();
    model.gear_ratio = {2.0f, 0.5f, 1.0f};
    ExpectNear(model.Position({22.5f, -40.0f, 40.0f}), {-0.0207871, 0.0138649, 0.2141895});
}

// Arms share one model; these tests restore what they change.
class SharedModel : public ::testing::Test {
protected:
    void TearDown() override {
        SharedArmModel().angle_offset = {0, 0, 0};
        SharedArmModel().Reset();
    }

    // Answers the next zero-torque request with raw angles `raw`.
    void AnswerJointState(const Vector3& raw) {
        peer.Script({{Concat({{0x1A}, FloatBytes({0, 0, 0})}),
                      Concat({{0x1B}, FloatBytes({raw[0], raw[1], raw[2], 0, 0, 0})})}});
    }

    PtyPeer peer;
    SerialStream stream{peer.Path()};
    // Far longer than a scripted answer takes on a loaded machine.
    Arvena arm{&stream, 2.0f};
};

TEST_F(SharedModel, HostPositionUsesTheJointReply) {
    AnswerJointState({45, -20, 40});
    const EndEffectorState state = arm.get_end_effector_position(false);
    ExpectNear(state.position, {-0.0207871, 0.0138649, 0.2141895});
    EXPECT_EQ(state.velocity, (Vector3{0, 0, 0}));
    EXPECT_EQ(peer.Join().size(), 1u);
}

TEST_F(SharedModel, HostPositionWithoutReplyIsThatOfZeroAngles) {
    StderrCapture quiet;
    arm.set_read_timeout(0.05f);  // nothing answers
    ExpectNear(arm.ComputeEndEffectorPosition().position, {0.0000021, 0.0245, -0.1185477});
}

TEST_F(SharedModel, AdjustAnglesMakesThePoseReadAsGiven) {
    AnswerJointState({10, 20, 30});
    arm.adjust_angles({0, 0, 0});
    peer.Join();
    const auto& offset = SharedArmModel().angle_offset;
    EXPECT_EQ(offset, (Steps{}.Offsets({10, 20, 30}, {0, 0, 0})));
    EXPECT_EQ(offset[0], static_cast<float>(10 * Steps::Pi() / 180));

    const auto theta = SharedArmModel().JointRadians({10, 20, 30});
    EXPECT_NEAR(theta[0], kPi / 2, 1e-6);
    EXPECT_NEAR(theta[1], -kPi, 1e-6);
    EXPECT_NEAR(theta[2], -kPi, 1e-6);

    AnswerJointState({10, 20, 30});
    ExpectNear(arm.ComputeEndEffectorPosition().position, {0.0000021, 0.0245, -0.1185477});
}

TEST_F(SharedModel, EveryNewArmResetsLengthsAndGearRatiosButNotOffsets) {
    arm.adjust_gear_ratios(2, 3, 4);
    arm.adjust_lengths(1, 1, 1, 1, 1);
    SharedArmModel().angle_offset = {0.5f, 0.5f, 0.5f};
    Arvena other(&stream, 0.05f);
    EXPECT_EQ(SharedArmModel().gear_ratio, (Vector3{1, 1, 1}));
    EXPECT_FLOAT_EQ(SharedArmModel().inner_arm_1, 0.14f);
    EXPECT_FLOAT_EQ(SharedArmModel().outer_arm_2, 0.165f);
    EXPECT_FLOAT_EQ(SharedArmModel().extension, 0.0765f);
    EXPECT_EQ(SharedArmModel().angle_offset, (Vector3{0.5f, 0.5f, 0.5f}));
}

TEST_F(SharedModel, ConfigurationExchangesNothing) {
    arm.adjust_lengths();
    arm.adjust_gear_ratios();
    arm.deactivate_orientation_sensor();
    EXPECT_TRUE(peer.Drain().empty());
}

}  // namespace
