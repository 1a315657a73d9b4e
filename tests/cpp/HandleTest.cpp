// Handle over a real pty, the test playing the handle: command bytes,
// receive and dispatch, and status frames read by GetStylarStatus.

#include "Korvo/HardwareAPI/Devices/Handle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StatusFrames.h"
#include "support/StderrCapture.h"

namespace {

using Korvo::HardwareAPI::Devices::Handle;
using Korvo::HardwareAPI::Devices::HandleErrorResponse;
using Korvo::HardwareAPI::Devices::HandleInfo;
using Korvo::HardwareAPI::Devices::HandleStatusMessage;
using Korvo::HardwareAPI::Devices::StylarStatus;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::Bytes;
using Korvo::Testing::Concat;
using Korvo::Testing::FloatBytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StatusFrame;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr float kShortTimeout = 0.05f;

std::string Join(const std::vector<int>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
    return out;
}

std::string Floats(const float* q) {
    char text[96];
    std::snprintf(text, sizeof text, "%g,%g,%g,%g", q[0], q[1], q[2], q[3]);
    return text;
}

// Writes down every callback, in the order of the calls, as text.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;
    std::vector<std::string> calls;

    void OnReceiveHandleInfoRecord(const HandleInfo& r) override {
        calls.push_back("InfoRecord(" +
                        Join({r.tool_data_remaining, r.device_id, r.device_model_number, r.hardware_version,
                              r.firmware_version}) +
                        ")");
    }
    void OnReceiveHandleInfo(std::uint8_t tool, std::uint16_t id, std::uint8_t model, std::uint8_t hardware,
                             std::uint8_t firmware) override {
        calls.push_back("Info(" + Join({tool, id, model, hardware, firmware}) + ")");
    }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& r) override {
        const std::vector<int> user(r.user_data.begin(), r.user_data.begin() + r.user_data_length);
        const int tail = std::accumulate(r.user_data.begin() + r.user_data_length, r.user_data.end(), 0);
        calls.push_back("StatusRecord(" + Join({r.device_id}) + "|" + Floats(r.quaternion.data()) + "|" +
                        Join({r.error_flag, r.hall_effect_sensor_level, r.user_data_length}) + "|" + Join(user) +
                        "|tail=" + std::to_string(tail) + ")");
    }
    void OnReceiveHandleStatusMessage(std::uint16_t id, const float* q, std::uint8_t error_flag, std::uint8_t hall,
                                      std::uint8_t n, const std::uint8_t* user_data) override {
        calls.push_back("Status(" + Join({id}) + "|" + Floats(q) + "|" + Join({error_flag, hall, n}) + "|" +
                        Join(std::vector<int>(user_data, user_data + n)) + ")");
    }
    void OnReceiveHandleErrorRecord(const HandleErrorResponse& r) override {
        calls.push_back("ErrorRecord(" + Join({r.device_id, r.error_code}) + ")");
    }
    void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t code) override {
        calls.push_back("Error(" + Join({id, code}) + ")");
    }
};

// The payload of a status message and the two texts RecordingHandle writes
// for it.
struct StatusExample {
    Bytes wire;
    std::vector<std::string> calls;
};

StatusExample Status(std::uint16_t id, std::uint8_t error_flag, std::uint8_t hall, std::vector<float> q,
                     const Bytes& user) {
    StatusExample out;
    out.wire = Concat({{0xDA, static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8), error_flag,
                        hall},
                       FloatBytes({q[0], q[1], q[2], q[3]}),
                       {static_cast<std::uint8_t>(user.size())},
                       user});
    const std::vector<int> ints(user.begin(), user.end());
    const std::string common = Join({id}) + "|" + Floats(q.data()) + "|" +
                               Join({error_flag, hall, static_cast<int>(user.size())}) + "|" + Join(ints);
    out.calls = {"Status(" + common + ")", "StatusRecord(" + common + "|tail=0)"};
    return out;
}

Bytes Counting(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return out;
}

// Device-layer error lines in stderr text, by line number.
std::vector<unsigned> DeviceLines(const StderrCapture& capture) {
    std::vector<unsigned> out;
    for (const std::string& line : capture.Lines()) {
        unsigned number = 0;
        if (std::sscanf(line.c_str(), "[err] Library/src/Device:%u>", &number) == 1) out.push_back(number);
    }
    return out;
}

class HandleOverPty : public ::testing::Test {
protected:
    PtyPeer peer;
    SerialStream stream{peer.Path()};
    RecordingHandle handle{&stream, kShortTimeout};
};

// -- commands ------------------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::function<void(Handle&)> send;
    Bytes wire;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class HandleCommands : public HandleOverPty, public ::testing::WithParamInterface<CommandCase> {};

// A wakeup sent after the command marks its end: anything the command wrote
// beyond its bytes would show up before the marker, without a quiet wait.
TEST_P(HandleCommands, WriteExactlyTheirBytes) {
    GetParam().send(handle);
    handle.SendDeviceWakeup();
    EXPECT_EQ(peer.Read(GetParam().wire.size() + 1), Concat({GetParam().wire, {0x0A}}));
}

const Bytes kTwoFiftyFive = Counting(255);

INSTANTIATE_TEST_SUITE_P(
    Cases, HandleCommands,
    ::testing::Values(
        CommandCase{"Wakeup", [](Handle& h) { h.SendDeviceWakeup(); }, {0x0A}},
        CommandCase{"StatusRequest", [](Handle& h) { h.RequestStatus(); }, {0xDA}},
        CommandCase{"StateWithTwoBytes",
                    [](Handle& h) {
                        const Bytes data{0x01, 0x02};
                        h.SendHandleState(0x1234, 2, data);
                    },
                    {0xDB, 0x34, 0x12, 0x02, 0x01, 0x02}},
        CommandCase{"StateWithoutData", [](Handle& h) { h.SendHandleState(0x0042, 0); }, {0xDB, 0x42, 0x00, 0x00}},
        CommandCase{"StateSendsOnlyDataLengthBytes",
                    [](Handle& h) {
                        const Bytes data{0xAB, 0xCD, 0xEF};
                        h.SendHandleState(0xFFFF, 1, data);
                    },
                    {0xDB, 0xFF, 0xFF, 0x01, 0xAB}},
        CommandCase{"StateWithAllUserData", [](Handle& h) { h.SendHandleState(0x0102, 255, kTwoFiftyFive); },
                    Concat({{0xDB, 0x02, 0x01, 0xFF}, kTwoFiftyFive})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HandleOverPty, HandleStateLongerThanItsDataIsRefusedBeforeWriting) {
    const Bytes one{0x7F};
    EXPECT_THROW(handle.SendHandleState(1, 2, one), std::invalid_argument);
    EXPECT_THROW(handle.SendHandleState(1, 1, {}), std::invalid_argument);
    handle.SendDeviceWakeup();
    EXPECT_EQ(peer.Read(1), Bytes{0x0A});
}

// -- receive and dispatch -------------------------------------------------------------------

struct ReceiveCase {
    const char* name;
    Bytes wire;
    int result;
    std::vector<std::string> calls;
    int left_unread;
};

void PrintTo(const ReceiveCase& c, std::ostream* os) { *os << c.name; }

class HandleReceive : public HandleOverPty, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(HandleReceive, DispatchesOneMessage) {
    const auto& c = GetParam();
    peer.Deliver(c.wire);
    StderrCapture capture;
    EXPECT_EQ(handle.Receive(), c.result);
    EXPECT_EQ(handle.calls, c.calls);
    EXPECT_EQ(peer.PendingForLibrary(), c.left_unread);
    EXPECT_EQ(capture.Text(), "");
}

const StatusExample kStatusEmpty = Status(0x0201, 3, 4, {0.5f, -0.25f, 1.0f, -1.0f}, {});
const StatusExample kStatusThree = Status(0xBEEF, 0, 31, {0.0f, 1.5f, -2.0f, 0.125f}, {0xAA, 0xBB, 0xCC});
const StatusExample kStatusFull = Status(0x0042, 255, 0, {1.0f, 0.0f, 0.0f, 0.0f}, Counting(255));
const Bytes kInfo{0xD0, 0x07, 0x34, 0x12, 0x09, 0x0A, 0x0B};
const std::vector<std::string> kInfoCalls{"Info(7,4660,9,10,11)", "InfoRecord(7,4660,9,10,11)"};

INSTANTIATE_TEST_SUITE_P(
    Cases, HandleReceive,
    ::testing::Values(
        ReceiveCase{"HandleInfo", kInfo, 6, kInfoCalls, 0},
        ReceiveCase{"ErrorResponse", {0xDF, 0x42, 0x00, 0x01}, 3, {"Error(66,1)", "ErrorRecord(66,1)"}, 0},
        ReceiveCase{"StatusWithoutUserData", kStatusEmpty.wire, 21, kStatusEmpty.calls, 0},
        ReceiveCase{"StatusWithUserData", kStatusThree.wire, 24, kStatusThree.calls, 0},
        ReceiveCase{"StatusWithAllUserData", kStatusFull.wire, 276, kStatusFull.calls, 0},
        ReceiveCase{"NotificationsAhead", Concat({{0xBA, 0x00, 0x03, 0xD0, 0xDA, 0xDF}, {0xBB, 0x09, 0x00}, kInfo}), 6,
                    kInfoCalls, 0},
        ReceiveCase{"OneMessageAtATime", Concat({kInfo, {0xDF, 0x01, 0x00, 0x02}}), 6, kInfoCalls, 4},
        // Unknown codes: the payload length is unknown, so it stays unread.
        ReceiveCase{"ArmWakeupReply", Concat({{0x0B}, Counting(21)}), -1, {}, 21},
        ReceiveCase{"HandleStateEcho", {0xDB, 0x01, 0x00, 0x00}, -1, {}, 3},
        ReceiveCase{"ZeroCode", {0x00, 0xD0, 0x01}, -1, {}, 2}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HandleOverPty, ReceiveWithoutAnswerReturnsMinusOneAfterTheTimeLimit) {
    StderrCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_GE(Clock::now() - start, 50ms);
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(DeviceLines(capture), std::vector<unsigned>{78});
}

TEST_F(HandleOverPty, PayloadThatNeverCompletesIsCountedShort) {
    peer.Deliver({0xD0, 0x07, 0x34});
    StderrCapture capture;
    EXPECT_EQ(handle.Receive(), 0);
    // Both callbacks still run; the count is what tells the caller.
    ASSERT_EQ(handle.calls.size(), 2u);
    EXPECT_EQ(handle.calls[0].rfind("Info(", 0), 0u);
    EXPECT_EQ(handle.calls[1].rfind("InfoRecord(", 0), 0u);
    EXPECT_EQ(DeviceLines(capture), std::vector<unsigned>{153});
    EXPECT_EQ(peer.PendingForLibrary(), 2);
}

TEST_F(HandleOverPty, StatusRecordIsZeroFilledPastItsUserData) {
    const StatusExample longer = Status(1, 0, 0, {0, 0, 0, 0}, {9, 9, 9, 9, 9});
    const StatusExample shorter = Status(2, 0, 0, {0, 0, 0, 0}, {5, 6});
    peer.Deliver(Concat({longer.wire, shorter.wire}));
    EXPECT_EQ(handle.Receive(), 26);
    handle.calls.clear();
    EXPECT_EQ(handle.Receive(), 23);
    EXPECT_EQ(handle.calls, shorter.calls);  // tail=0: no byte of the first message
}

TEST_F(HandleOverPty, PlainHandleConsumesMessagesWithItsEmptyCallbacks) {
    Handle plain(&stream, kShortTimeout);
    peer.Deliver(Concat({kStatusThree.wire, kInfo, {0xDF, 0x00, 0x00, 0x05}}));
    EXPECT_EQ(plain.Receive(), 24);
    EXPECT_EQ(plain.Receive(), 6);
    EXPECT_EQ(plain.Receive(), 3);
    EXPECT_EQ(peer.PendingForLibrary(), 0);
}

TEST_F(HandleOverPty, ReplyArrivingDuringTheWaitIsDispatched) {
    handle.read_timeout = 2.0f;  // the upper bound; the reply comes long before
    peer.SendAfter(10ms, kInfo);
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.calls, kInfoCalls);
}

class ThrowingHandle : public RecordingHandle {
public:
    using RecordingHandle::RecordingHandle;
    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t) override {
        throw std::runtime_error("refused");
    }
};

TEST_F(HandleOverPty, CallbackExceptionLeavesReceiveBeforeTheRecordCallback) {
    ThrowingHandle throwing(&stream, kShortTimeout);
    peer.Deliver(Concat({kInfo, {0xDF, 0x42, 0x00, 0x01}}));
    EXPECT_THROW(throwing.Receive(), std::runtime_error);
    EXPECT_TRUE(throwing.calls.empty());
    // The message was consumed whole; the next one is read cleanly.
    EXPECT_EQ(throwing.Receive(), 3);
    EXPECT_EQ(throwing.calls, (std::vector<std::string>{"Error(66,1)", "ErrorRecord(66,1)"}));
}

// -- status frames ---------------------------------------------------------------------------

// A body whose counter bytes need escaping.
Bytes Body(std::uint8_t device_id, std::uint8_t byte3, std::uint16_t a, std::uint16_t b, std::uint16_t c,
           std::uint16_t d, std::uint8_t battery, std::uint8_t error_flag = 0) {
    Bytes body = Korvo::Testing::FrameFields(error_flag, byte3, device_id, a, b, c, d, battery);
    body[0] = 0xC0;
    body[1] = 0xDB;
    return body;
}

const Bytes kGood = StatusFrame(Body(0x42, 0xE5, 0x4000, 0x4000, 0x4000, 0x4000, 100, 1));
const Bytes kOther = StatusFrame(Body(0x17, 0x00, 0, 0, 0, 0, 0));

void ExpectGood(const StylarStatus& s) {
    EXPECT_EQ(s.error_flag, 1);
    EXPECT_EQ(s.device_id, 0x42);
    EXPECT_EQ(s.buttons, 7);
    EXPECT_EQ(s.hall_effect_sensor_level, 5);
    EXPECT_EQ(s.quaternion, (std::array<float, 4>{0.5f, -0.5f, -0.5f, 0.5f}));
    EXPECT_EQ(s.battery_level, 3.5f);
}

Bytes Repeat(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

Bytes Prefix(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + n); }

Bytes Insert(Bytes bytes, std::size_t at, const Bytes& more) {
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), more.begin(), more.end());
    return bytes;
}

struct FrameCase {
    const char* name;
    Bytes wire;
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class StylarStatusFinds : public HandleOverPty, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(StylarStatusFinds, TheGoodFrame) {
    peer.Deliver(GetParam().wire);
    ExpectGood(handle.GetStylarStatus());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StylarStatusFinds,
    ::testing::Values(
        FrameCase{"Alone", kGood},
        FrameCase{"AfterWrongChecksum", Concat({StatusFrame(Body(9, 0, 0, 0, 0, 0, 0), [](Bytes& b) { b.back()++; }),
                                                kGood})},
        FrameCase{"AfterStrayEscape", Concat({Insert(kOther, 6, {0xDB, 0x41}), kGood})},
        // A cut frame swallows the one behind it; the third is taken.
        FrameCase{"AfterFrameCutShort", Concat({Prefix(kOther, 10), kOther, kGood})},
        FrameCase{"AfterEmptyFrame", Concat({{0xDA, 0xC0}, kGood})},
        FrameCase{"AfterShortBodyWithRightChecksum", Concat({StatusFrame(Repeat(9, 0x11)), kGood})},
        FrameCase{"AfterJunk", Concat({Repeat(30, 0x11), kGood})},
        FrameCase{"AfterOneHundredJunkCodes", Concat({Repeat(100, 0x11), kGood})},
        FrameCase{"AfterNotificationHoldingFrameStarts", Concat({{0xBA, 0x00, 0x04, 0xDA, 0xDA, 0xDA, 0xDA}, kGood})},
        // The endless body is given up after 1024 bytes; the rest is walked
        // over as junk.
        FrameCase{"AfterBodyWithoutEnd", Concat({{0xDA}, Repeat(1100, 0x11), kGood})},
        FrameCase{"BeforeAnotherFrame", Concat({kGood, kOther})}),
    [](const auto& p) { return std::string(p.param.name); });

struct FailureCase {
    const char* name;
    Bytes wire;
    std::uint8_t error_flag;
    std::vector<unsigned> lines;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class StylarStatusFails : public HandleOverPty, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StylarStatusFails, WithItsCodeAndOtherwiseZeros) {
    const auto& c = GetParam();
    peer.Deliver(c.wire);
    StderrCapture capture;
    const StylarStatus s = handle.GetStylarStatus();
    EXPECT_EQ(s.error_flag, c.error_flag);
    EXPECT_EQ(s.device_id, 0);
    EXPECT_EQ(s.quaternion, (std::array<float, 4>{}));
    EXPECT_EQ(s.hall_effect_sensor_level, 0);
    EXPECT_EQ(s.buttons, 0);
    EXPECT_EQ(s.battery_level, 0.0f);
    EXPECT_EQ(DeviceLines(capture), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StylarStatusFails,
    ::testing::Values(
        FailureCase{"NoFrameStartInOneHundredAndOneCodes", Concat({Repeat(101, 0x11), kGood}), 3, {}},
        FailureCase{"TooFewBytesLeftAfterABadFrame",
                    Concat({StatusFrame(Body(9, 0, 0, 0, 0, 0, 0), [](Bytes& b) { b.back()++; }), Repeat(18, 0xDA)}),
                    3,
                    {}},
        FailureCase{"LineRunsDryDuringTheSearch", Repeat(25, 0x11), 2, {78}},
        FailureCase{"NotificationCutShort", Concat({{0xBB, 0x00, 0xFF}, Repeat(20, 0xDA)}), 2, {128}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HandleOverPty, StylarStatusWaitsForFramesStillOnTheirWay) {
    peer.SendAfter(20ms, Concat({kGood, kOther}));
    ExpectGood(handle.GetStylarStatus());
}

}  // namespace
