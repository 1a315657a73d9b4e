// The status frame on its own: unstuffing, checksum, field decoding, and
// which collected frames are dropped.

#include "Korvo/HardwareAPI/Devices/StylarFrame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/StatusFrames.h"

namespace {

namespace Stylar = Korvo::HardwareAPI::Devices::StylarFrame;
using Korvo::HardwareAPI::Devices::StylarStatus;
using Korvo::Testing::Bytes;
using Korvo::Testing::FrameFields;
using Korvo::Testing::StuffedBody;

struct UnstuffCase {
    const char* name;
    Bytes stuffed;
    Bytes body;
};

void PrintTo(const UnstuffCase& c, std::ostream* os) { *os << c.name; }

class Unstuffing : public ::testing::TestWithParam<UnstuffCase> {};

TEST_P(Unstuffing, YieldsTheBody) { EXPECT_EQ(Stylar::Unstuff(GetParam().stuffed), GetParam().body); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Unstuffing,
    ::testing::Values(UnstuffCase{"EscapedEndAndEscape", {0xDB, 0xDC, 0xDB, 0xDD}, {0xC0, 0xDB}},
                      UnstuffCase{"StrayEscapeDropsOnlyItself", {0xDB, 0x41}, {0x41}},
                      UnstuffCase{"EscapeBeforeAnEscapedPair", {0xDB, 0xDB, 0xDC}, {0xC0}},
                      UnstuffCase{"EscapeBeforeEndMarker", {0x01, 0xDB, 0xC0}, {0x01}},
                      UnstuffCase{"EndMarkersDropped", {0x01, 0xC0, 0x02, 0xC0}, {0x01, 0x02}},
                      UnstuffCase{"TrailingEscapeDropped", {0x01, 0xDB}, {0x01}},
                      UnstuffCase{"EscapeValuesAloneAreData", {0xDC, 0xDD, 0x00, 0xFF}, {0xDC, 0xDD, 0x00, 0xFF}},
                      UnstuffCase{"Empty", {}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

struct ChecksumCase {
    const char* name;
    Bytes body;
    bool matches;
};

void PrintTo(const ChecksumCase& c, std::ostream* os) { *os << c.name; }

class Checksum : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(Checksum, ComparesLastByteWithHeaderPlusSum) {
    EXPECT_EQ(Stylar::ChecksumMatches(GetParam().body), GetParam().matches);
}

Bytes ZerosThen(std::uint8_t last) {
    Bytes body(17, 0);
    body.push_back(last);
    return body;
}

INSTANTIATE_TEST_SUITE_P(Cases, Checksum,
                         ::testing::Values(ChecksumCase{"ZeroBodyWithHeaderValue", ZerosThen(0xDA), true},
                                           ChecksumCase{"ZeroBodyOffByOne", ZerosThen(0xDB), false},
                                           ChecksumCase{"SumWrapsAt256", {0xFF, 0x30, 0x09}, true},
                                           ChecksumCase{"SumNotWrapped", {0xFF, 0x30, 0x0A}, false},
                                           ChecksumCase{"ChecksumAlone", {0xDA}, true},
                                           ChecksumCase{"Empty", {}, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(StylarFrame, QuaternionComponentsAreSigned16BitFractions) {
    const struct {
        std::uint16_t raw;
        float value;
    } cases[] = {{0x0000, 0.0f}, {0x4000, 0.5f},  {0x7FFF, 0.999969482421875f},
                 {0x8000, -1.0f}, {0xC000, -0.5f}, {0xFFFF, -1.0f / 32768.0f}};
    for (const auto& c : cases) {
        EXPECT_EQ(Stylar::QuaternionComponent(c.raw), c.value) << std::hex << c.raw;
    }
}

TEST(StylarFrame, BatteryIsThreeVoltsPlusFiveMillivoltsPerUnit) {
    const struct {
        std::uint8_t byte;
        double volts;
    } cases[] = {{0, 3.0}, {100, 3.5}, {200, 4.0}, {255, 4.275000095367432}, {230, static_cast<float>(4.15)}};
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<double>(Stylar::BatteryLevel(c.byte)), c.volts) << int(c.byte);
    }
}

struct DecodeCase {
    const char* name;
    Bytes fields;  // the body before its checksum
    std::uint8_t device_id, error_flag, hall, buttons;
    std::array<float, 4> quaternion;
    float battery;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodingAFrame : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodingAFrame, TakesEveryField) {
    const auto& c = GetParam();
    const auto status = Stylar::Decode(StuffedBody(c.fields));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->device_id, c.device_id);
    EXPECT_EQ(status->error_flag, c.error_flag);
    EXPECT_EQ(status->hall_effect_sensor_level, c.hall);
    EXPECT_EQ(status->buttons, c.buttons);
    EXPECT_EQ(status->quaternion, c.quaternion);
    EXPECT_EQ(status->battery_level, c.battery);
}

Bytes WithExtra(Bytes fields, Bytes extra) {
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

Bytes WithCounter(Bytes fields, std::uint8_t b0, std::uint8_t b1) {
    fields[0] = b0;
    fields[1] = b1;
    return fields;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodingAFrame,
    ::testing::Values(
        DecodeCase{"ButtonsAndHallShareByte3", FrameFields(0, 0xE5, 0x42, 0, 0, 0, 0, 0), 0x42, 0, 5, 7, {0, 0, 0, 0}, 3.0f},
        DecodeCase{"SecondAndThirdComponentsFlipSign",
                   FrameFields(0, 0x1F, 1, 0x4000, 0x4000, 0x4000, 0x4000, 100),
                   1, 0, 31, 0, {0.5f, -0.5f, -0.5f, 0.5f}, 3.5f},
        DecodeCase{"ExtremeComponents",
                   FrameFields(7, 0x20, 0xFF, 0x8000, 0x8000, 0x7FFF, 0x7FFF, 255),
                   0xFF, 7, 0, 1, {-1.0f, 1.0f, -0.999969482421875f, 0.999969482421875f}, 4.275000095367432f},
        // Values that must be escaped on the wire, in every kind of byte.
        DecodeCase{"EscapedValuesInFields",
                   WithCounter(FrameFields(0xDB, 0xC0, 0xC0, 0x00C0, 0xDBDB, 0, 0, 0xDB), 0xC0, 0xDB),
                   0xC0, 0xDB, 0, 6, {192.0f / 32768, 9253.0f / 32768, 0.0f, 0.0f},
                   static_cast<float>(3.0 + 0.005 * 0xDB)},
        DecodeCase{"TrailingBytesIgnored",
                   WithExtra(FrameFields(0, 0x03, 9, 0, 0, 0, 0x4000, 200), {0xC0, 0x11, 0xDB}),
                   9, 0, 3, 0, {0, 0, 0, 0.5f}, 4.0f}),
    [](const auto& p) { return std::string(p.param.name); });

struct RejectCase {
    const char* name;
    Bytes stuffed;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class RejectingAFrame : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectingAFrame, GivesNothing) { EXPECT_FALSE(Stylar::Decode(GetParam().stuffed).has_value()); }

Bytes WrongChecksum() {
    Bytes frame = StuffedBody(FrameFields(0, 0, 1, 0, 0, 0, 0, 0));
    frame[frame.size() - 2] ^= 0x01;
    return frame;
}

Bytes EndsInEscape() {
    Bytes frame = StuffedBody(FrameFields(0, 0, 1, 0, 0, 0, 0, 0));
    frame.back() = 0xDB;  // the end marker never came; a stray escape did
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectingAFrame,
    ::testing::Values(RejectCase{"Empty", {}}, RejectCase{"EndMarkerOnly", {0xC0}},
                      RejectCase{"EndsInEscape", EndsInEscape()}, RejectCase{"WrongChecksum", WrongChecksum()},
                      // Short bodies whose checksums are right: the fields are not there.
                      RejectCase{"ChecksumOnly", StuffedBody({})}, RejectCase{"TenByteBody", StuffedBody(Bytes(9, 0x11))},
                      RejectCase{"SeventeenByteBody", StuffedBody(Bytes(16, 0x22))}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StylarFrame, SmallestBodyIsEighteenBytes) {
    const Bytes body = FrameFields(0, 0, 5, 0, 0, 0, 0, 0);
    ASSERT_EQ(body.size() + 1, Stylar::kMinimumBody);
    const auto status = Stylar::Decode(StuffedBody(body));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->device_id, 5);
}

}  // namespace
