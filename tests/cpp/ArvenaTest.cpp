// The arm's exchanges, byte for byte, against a scripted pty peer: one row per
// exchange with the request expected, the reply given and the result wanted.

#include "Korvo/HardwareAPI/Devices/Arvena.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using namespace Korvo::HardwareAPI::Devices;
using Korvo::HardwareAPI::DeviceInfo;
using Korvo::HardwareAPI::UUID;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::Bytes;
using Korvo::Testing::Concat;
using Korvo::Testing::FloatBytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr float kShortArmLimit = 0.05f;
// A wrong answer is waited out too (the resynchronisation), but it has to
// arrive before the limit, from a peer thread a loaded machine may delay.
constexpr float kWrongAnswerLimit = 0.5f;

Bytes Counting(std::uint8_t first, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

// Results of every kind rendered as text, so that one table holds them all.
template <std::size_t N>
std::string Text(const std::array<float, N>& values) {
    std::string out;
    for (float v : values) {
        char item[32];
        std::snprintf(item, sizeof item, "%s%g", out.empty() ? "" : " ", static_cast<double>(v));
        out += item;
    }
    return out;
}
std::string Text(const EndEffectorState& s) { return Text(s.position) + " | " + Text(s.velocity); }
std::string Text(const JointState& s) { return Text(s.joint_position) + " | " + Text(s.joint_velocity); }
std::string Text(const UUID& id) { return id.Hex(); }
std::string Text(bool b) { return b ? "true" : "false"; }
std::string Text(float f) { return Text(std::array<float, 1>{f}); }
std::string Text(const DeviceInfo& i) {
    return std::to_string(i.device_id) + " " + std::to_string(i.device_model_number) + " " +
           std::to_string(i.hardware_version) + " " + std::to_string(i.firmware_version) + " " + i.device_id_ext.Hex();
}

struct ExchangeCase {
    const char* name;
    std::function<std::string(Arvena&)> call;
    Bytes request;
    Bytes reply;
    std::string result;
    int left_in_port = 0;
    // A row that is answered ends at the answer, so its limit is one no
    // loaded machine misses; a row left without a whole answer waits its
    // limit out, so it gets a short one.
    float limit = 2.0f;
};

class ArvenaExchange : public ::testing::TestWithParam<ExchangeCase> {
protected:
    PtyPeer peer;
    SerialStream stream{peer.Path()};
    Arvena arm{&stream, GetParam().limit};
};

TEST_P(ArvenaExchange, RequestBytesAndDecodedResult) {
    const auto& c = GetParam();
    peer.Script({{c.request, c.reply}});
    StderrCapture quiet;  // failure rows log their timeouts
    EXPECT_EQ(c.call(arm), c.result);
    EXPECT_EQ(peer.Join(), std::vector<Bytes>{c.request});
    EXPECT_EQ(peer.PendingForLibrary(), c.left_in_port);
}

const std::string kZeroState = "0 0 0 | 0 0 0";
const std::string kZeroId(32, '0');
const Bytes kState = FloatBytes({0.5f, -1.25f, 2.0f, 10.0f, -20.0f, 30.5f});
const std::string kStateText = "0.5 -1.25 2 | 10 -20 30.5";

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ArvenaExchange,
    ::testing::Values(
        ExchangeCase{"Force", [](Arvena& a) { return Text(a.end_effector_force({1.0f, 2.0f, 3.0f})); },
                     Concat({{0x2A}, FloatBytes({1.0f, 2.0f, 3.0f})}), Concat({{0x2B}, kState}), kStateText},
        ExchangeCase{"Position", [](Arvena& a) { return Text(a.end_effector_position({-0.1f, 0.0f, 0.2f})); },
                     Concat({{0x2C}, FloatBytes({-0.1f, 0.0f, 0.2f})}), Concat({{0x2B}, kState}), kStateText},
        ExchangeCase{"JointTorques", [](Arvena& a) { return Text(a.joint_torques({0.1f, 0.2f, 0.3f})); },
                     Concat({{0x1A}, FloatBytes({0.1f, 0.2f, 0.3f})}), Concat({{0x1B}, kState}), kStateText},
        ExchangeCase{"JointAngles", [](Arvena& a) { return Text(a.joint_angles({10.0f, -30.0f, 30.0f})); },
                     Concat({{0x1C}, FloatBytes({10.0f, -30.0f, 30.0f})}), Concat({{0x1B}, kState}), kStateText},
        ExchangeCase{"OnboardPosition", [](Arvena& a) { return Text(a.get_end_effector_position(true)); },
                     Concat({{0x2A}, FloatBytes({0, 0, 0})}), Concat({{0x2B}, kState}), kStateText},
        ExchangeCase{"NotificationBeforeReply", [](Arvena& a) { return Text(a.end_effector_force({0, 0, 0})); },
                     Concat({{0x2A}, FloatBytes({0, 0, 0})}), Concat({{0xBA, 0x00, 0x03, 1, 2, 3, 0x2B}, kState}),
                     kStateText},
        // A joint reply to an end-effector request: rejected, and its
        // payload stays in the port after the resynchronisation wait.
        ExchangeCase{"WrongReplyCode", [](Arvena& a) { return Text(a.end_effector_position({1, 1, 1})); },
                     Concat({{0x2C}, FloatBytes({1, 1, 1})}), Concat({{0x1B}, kState}), kZeroState, 24, kWrongAnswerLimit},
        ExchangeCase{"NoReply", [](Arvena& a) { return Text(a.end_effector_force({1, 1, 1})); },
                     Concat({{0x2A}, FloatBytes({1, 1, 1})}), {}, kZeroState, 0, kShortArmLimit},
        ExchangeCase{"PayloadCutShort", [](Arvena& a) { return Text(a.joint_torques({0, 0, 0})); },
                     Concat({{0x1A}, FloatBytes({0, 0, 0})}), Concat({{0x1B}, Bytes(23, 0)}), kZeroState, 23, kShortArmLimit},
        ExchangeCase{"Wakeup", [](Arvena& a) { return Text(a.device_wakeup()); }, {0x0A},
                     Concat({{0x0B, 0x34, 0x12, 0x05, 0x02, 0x07}, Counting(0, 16)}),
                     "4660 5 2 7 000102030405060708090a0b0c0d0e0f"},
        ExchangeCase{"WakeupWrongCode", [](Arvena& a) { return Text(a.device_wakeup()); }, {0x0A},
                     Concat({{0x0C}, Bytes(21, 1)}), "0 0 0 0 " + kZeroId, 21, kWrongAnswerLimit},
        ExchangeCase{"DeviceId", [](Arvena& a) { return Text(a.get_device_id()); }, {0x0D, 0xD1},
                     Concat({{0x0D, 0xD1, 0x10}, Counting(0xF0, 16)}), "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"},
        ExchangeCase{"FirmwareVersion", [](Arvena& a) { return Text(a.get_firmware_version()); }, {0x0D, 0xD2},
                     Concat({{0x0D, 0xD2, 0x10}, Counting(1, 16)}), "0102030405060708090a0b0c0d0e0f10"},
        // A length byte other than 16 fails after the 17 bytes were taken.
        ExchangeCase{"DeviceIdBadLength", [](Arvena& a) { return Text(a.get_device_id()); }, {0x0D, 0xD1},
                     Concat({{0x0D, 0xD1, 0x0F}, Counting(0, 16)}), kZeroId},
        ExchangeCase{"DeviceIdAnsweredAsFirmware", [](Arvena& a) { return Text(a.get_device_id()); }, {0x0D, 0xD1},
                     Concat({{0x0D, 0xD2, 0x10}, Counting(0, 16)}), kZeroId, 17, kWrongAnswerLimit},
        ExchangeCase{"MotorCurrents", [](Arvena& a) { return Text(a.get_motor_currents()); }, {0xAB},
                     Concat({{0xAB}, FloatBytes({1.0f, 2.0f, 3.0f})}), "1 2 3"},
        ExchangeCase{"Orientation", [](Arvena& a) { return Text(a.get_device_orientation()); }, {0x0C},
                     Concat({{0x0C}, FloatBytes({0.0f, 0.5f, -0.25f, 0.75f})}), "0 0.5 -0.25 0.75"},
        ExchangeCase{"PowerOn", [](Arvena& a) { return Text(a.get_power_status()); }, {0xAC}, {0xAC, 0x02}, "true"},
        ExchangeCase{"PowerOff", [](Arvena& a) { return Text(a.get_power_status()); }, {0xAC}, {0xAC, 0x00}, "false"},
        ExchangeCase{"PowerNoReply", [](Arvena& a) { return Text(a.get_power_status()); }, {0xAC}, {}, "false", 0, kShortArmLimit},
        ExchangeCase{"Temperature", [](Arvena& a) { return Text(a.get_temperature()); }, {0xAA},
                     Concat({{0xAA}, FloatBytes({36.5f})}), "36.5"},
        ExchangeCase{"TemperatureWrongCode", [](Arvena& a) { return Text(a.get_temperature()); }, {0xAA},
                     Concat({{0xAB}, FloatBytes({36.5f})}), "0", 4, kWrongAnswerLimit}),
    [](const auto& p) { return std::string(p.param.name); });

class ArvenaTest : public ::testing::Test {
protected:
    PtyPeer peer;
    SerialStream stream{peer.Path()};
    Arvena arm{&stream, kShortArmLimit};
};

TEST_F(ArvenaTest, MissingIdentityReplyCostsThreeLimits) {
    StderrCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(arm.get_device_id().Hex(), kZeroId);
    EXPECT_GE(Clock::now() - start, 150ms);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("Device:78>"), std::string::npos);
    EXPECT_NE(lines[1].find("Device:78>"), std::string::npos);
    EXPECT_NE(lines[2].find("Device:153>"), std::string::npos);
}

TEST_F(ArvenaTest, SendOnlyEntryPointsWriteAndReadNothing) {
    peer.Deliver({0x2B, 0x2B, 0x2B});
    arm.SendAngle({10.0f, 20.0f, 30.0f});
    arm.SendForce(1.0f, 2.0f, 3.0f);
    arm.SendForce({4.0f, 5.0f, 6.0f});
    arm.SendPosition({7.0f, 8.0f, 9.0f});
    arm.SendJointTorques({0.5f, 0.25f, 0.125f});
    arm.SendDeviceWakeup();
    arm.RequestCurrent();
    EXPECT_EQ(peer.Drain(), Concat({{0x1C}, FloatBytes({10, 20, 30}), {0x2A}, FloatBytes({1, 2, 3}), {0x2A},
                                    FloatBytes({4, 5, 6}), {0x2C}, FloatBytes({7, 8, 9}), {0x1A},
                                    FloatBytes({0.5f, 0.25f, 0.125f}), {0x0A, 0xAB}}));
    EXPECT_EQ(peer.PendingForLibrary(), 3);
}

TEST_F(ArvenaTest, ReceiveOnlyEntryPointsFillOnSuccessAndKeepOnFailure) {
    peer.Deliver(Concat({{0xAB}, FloatBytes({1, 2, 3}), {0x2B}, kState, {0x1B}, kState,
                  {0x0B, 0x01, 0x00, 0x04, 0x01, 0x02}, Bytes(16, 0xFF)}));
    Vector3 current{9, 9, 9};
    EXPECT_TRUE(arm.ReceiveCurrent(current));
    EXPECT_EQ(Text(current), "1 2 3");
    Vector3 position{7, 7, 7}, velocity{8, 8, 8};
    EXPECT_TRUE(arm.ReceiveState(position, velocity));
    EXPECT_EQ(Text(position) + " | " + Text(velocity), kStateText);
    Vector3 joints{}, speeds{};
    EXPECT_TRUE(arm.ReceiveJointState(joints, speeds));
    EXPECT_EQ(Text(joints) + " | " + Text(speeds), kStateText);
    EXPECT_EQ(Text(arm.ReceiveDeviceInfo()), "1 4 1 2 " + std::string(32, 'f'));

    StderrCapture quiet;
    current = {9, 9, 9};
    EXPECT_FALSE(arm.ReceiveCurrent(current));
    EXPECT_EQ(Text(current), "9 9 9");
    position = {7, 7, 7};
    EXPECT_FALSE(arm.ReceiveState(position, velocity));
    EXPECT_EQ(Text(position), "7 7 7");
}

TEST_F(ArvenaTest, SplitWakeupPairsLikeTheWholeExchange) {
    arm.SendDeviceWakeup();
    EXPECT_EQ(peer.Read(1), Bytes{0x0A});
    peer.Deliver(Concat({{0x0B, 0x01, 0x02, 0x03, 0x04, 0x05}, Bytes(16, 0xFF)}));
    EXPECT_EQ(Text(arm.ReceiveDeviceInfo()), "513 3 4 5 " + std::string(32, 'f'));
}

TEST_F(ArvenaTest, ResynchronisationWaitTakesAWholeBufferIfOneIsWaiting) {
    // Garbage of at least a buffer's size is swallowed, and the next
    // exchange finds the line clean.
    peer.Deliver(Concat({{0x77}, Bytes(Arvena::kBufferSize, 0x55)}));
    StderrCapture quiet;
    EXPECT_EQ(Text(arm.get_temperature()), "0");
    EXPECT_EQ(peer.Drain(), Bytes{0xAA});
    EXPECT_EQ(peer.PendingForLibrary(), 0);
}

}  // namespace
