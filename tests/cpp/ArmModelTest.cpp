// The host-side kinematic model and its calibration operations.

#include "Korvo/HardwareAPI/Devices/ArmModel.h"

#include <gtest/gtest.h>

#include <cmath>
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
    Arvena arm{&stream, 0.05f};
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
    ExpectNear(arm.ComputeEndEffectorPosition().position, {0.0000021, 0.0245, -0.1185477});
}

TEST_F(SharedModel, AdjustAnglesMakesThePoseReadAsGiven) {
    AnswerJointState({10, 20, 30});
    arm.adjust_angles({0, 0, 0});
    peer.Join();
    const auto& offset = SharedArmModel().angle_offset;
    EXPECT_FLOAT_EQ(offset[0], 10 * kPi / 180);
    EXPECT_FLOAT_EQ(offset[1], -20 * kPi / 180);
    EXPECT_FLOAT_EQ(offset[2], -30 * kPi / 180);

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
