// Device framing and raw access over a real pty.

#include "Korvo/HardwareAPI/Devices/Device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using Korvo::HardwareAPI::Devices::Device;
using Korvo::HardwareAPI::Devices::DeviceLent;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::Bytes;
using Korvo::Testing::FloatBytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr float kShortLimit = 0.05f;

// Source and line of each error line captured.
std::vector<std::string> Sites(const StderrCapture& capture) {
    std::vector<std::string> sites;
    for (const auto& line : capture.Lines()) sites.push_back(line.substr(0, line.find('>')));
    return sites;
}

std::string Site(unsigned line) { return "[err] Library/src/Device:" + std::to_string(line); }

class DeviceTest : public ::testing::Test {
protected:

    // Makes the stream bad without end of file, as a failed write does.
    void BreakStream() {
        std::string big(1 << 20, 'x');
        stream.SetWriteLimit(0.02f);
        stream.Write(big.data(), big.size());
        ASSERT_TRUE(stream.bad());
        ASSERT_FALSE(stream.eof());
        peer.Drain();
    }

    PtyPeer peer;
    SerialStream stream{peer.Path()};
    Device device{&stream, kShortLimit};
};

TEST_F(DeviceTest, ConstructionZeroesBothBuffers) {
    for (std::size_t i = 0; i < Device::kBufferSize; ++i) {
        ASSERT_EQ(device.output_buffer[i], 0);
        ASSERT_EQ(device.input_buffer[i], 0);
    }
    EXPECT_EQ(Device(&stream).read_timeout, 5.0f);
}

TEST_F(DeviceTest, FloatCommandIsTheCodeAndTheRawFloats) {
    const float values[] = {1.0f, -2.5f, 3.25f};
    device.SendFloatCommand(0x2A, values, 3);
    EXPECT_EQ(peer.Read(13), Korvo::Testing::Concat({{0x2A}, FloatBytes({1.0f, -2.5f, 3.25f})}));
    device.SendFloatCommand(0x0A, nullptr, 0);
    EXPECT_EQ(peer.Read(1), Bytes{0x0A});
}

TEST_F(DeviceTest, WriteBytesSendsTheStartOfTheOutputBuffer) {
    device.output_buffer[0] = 0x0D;
    device.output_buffer[1] = 0xD1;
    device.output_buffer[2] = 0xEE;
    device.WriteBytes(2);
    EXPECT_EQ(peer.Drain(), (Bytes{0x0D, 0xD1}));
}

struct HeaderCase {
    const char* name;
    Bytes input;
    std::uint8_t code;
    int left_over;
    std::vector<unsigned> lines;
};

class ReadHeaderCode : public DeviceTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(ReadHeaderCode, SkipsNotificationsAndReportsFailures) {
    const auto& c = GetParam();
    if (!c.input.empty()) peer.Deliver(c.input);
    StderrCapture capture;
    EXPECT_EQ(device.ReadHeaderCode(), c.code);
    EXPECT_EQ(peer.PendingForLibrary(), c.left_over);
    std::vector<std::string> expected;
    for (unsigned line : c.lines) expected.push_back(Site(line));
    EXPECT_EQ(Sites(capture), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadHeaderCode,
    ::testing::Values(HeaderCase{"Reply", {0x2B, 0x01}, 0x2B, 1, {}},
                      HeaderCase{"NotificationThenReply", {0xBA, 0x00, 0x03, 7, 8, 9, 0x2B}, 0x2B, 0, {}},
                      HeaderCase{"EmptyNotification", {0xBB, 0x55, 0x00, 0x0B}, 0x0B, 0, {}},
                      HeaderCase{"TwoNotifications", {0xBB, 0, 1, 0xBA, 0xBA, 0, 2, 0xBB, 0xBB, 0x1B}, 0x1B, 0, {}},
                      HeaderCase{"NotificationBytesLookLikeCodes", {0xBA, 0xBA, 0x01, 0xBB, 0xAA}, 0xAA, 0, {}},
                      HeaderCase{"Silence", {}, 0, 0, {78}},
                      HeaderCase{"NotificationWithoutHeader", {0xBA, 0x00}, 0, 1, {112}},
                      HeaderCase{"NotificationCutShort", {0xBA, 0x00, 0x05, 1, 2}, 0, 2, {128}},
                      HeaderCase{"SilenceAfterNotification", {0xBB, 0x00, 0x00}, 0, 0, {78}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(DeviceTest, SilenceLastsTheReadTimeout) {
    StderrCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_EQ(capture.Lines().at(0).rfind("[err] Library/src/Device:78> timeout waiting for header code: [", 0), 0u);
}

TEST_F(DeviceTest, EndlessNotificationsFailLikeSilence) {
    // A device that chatters without ever answering: each notification comes
    // well inside the limit of its own wait. It gives up after two seconds,
    // so that a library that keeps listening fails the test instead of
    // hanging it.
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    std::thread chatter([&] {
        while (!stop && Clock::now() - start < 2s) {
            peer.Send({0xBA, 0x00, 0x01, 0x42});
            std::this_thread::sleep_for(10ms);
        }
    });
    StderrCapture capture;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    const auto waited = Clock::now() - start;
    stop = true;
    chatter.join();
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_EQ(Sites(capture), std::vector<std::string>{Site(78)});
}

TEST_F(DeviceTest, NoLimitWaitsUntilTheBytesCome) {
    device.set_read_timeout(0.0f);
    peer.SendAfter(100ms, {0x2B, 1, 2, 3});
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    device.set_read_timeout(-1.0f);
    EXPECT_EQ(device.ReadBytes(3), 3);
}

TEST_F(DeviceTest, ReadBytesReadsExactlyNIntoTheInputBuffer) {
    peer.Deliver({5, 6, 7, 8});
    EXPECT_EQ(device.ReadBytes(3), 3);
    EXPECT_EQ(Bytes(device.input_buffer.get(), device.input_buffer.get() + 3), (Bytes{5, 6, 7}));
    EXPECT_EQ(peer.PendingForLibrary(), 1);
    EXPECT_EQ(device.ReadBytes(0), 0);
    EXPECT_EQ(peer.PendingForLibrary(), 1);
}

TEST_F(DeviceTest, ReadBytesShortOfNReadsNothing) {
    peer.Deliver(Bytes(23, 0x11));
    StderrCapture capture;
    EXPECT_EQ(device.ReadBytes(24), 0);
    EXPECT_EQ(peer.PendingForLibrary(), 23);
    EXPECT_EQ(Sites(capture), std::vector<std::string>{Site(153)});
}

TEST_F(DeviceTest, ReadBytesNeverReadsPastItsBuffer) {
    peer.Deliver(Bytes(1100, 0x22));
    StderrCapture capture;
    EXPECT_EQ(device.ReadBytes(Device::kBufferSize + 1), 0);
    EXPECT_EQ(peer.PendingForLibrary(), 1100);
    EXPECT_EQ(device.ReadBytes(Device::kBufferSize), static_cast<int>(Device::kBufferSize));
    EXPECT_EQ(peer.PendingForLibrary(), 1100 - static_cast<int>(Device::kBufferSize));
}

TEST_F(DeviceTest, BrokenStreamIsReportedOnceByEachRead) {
    BreakStream();
    peer.Deliver({0x2B, 1, 2});
    StderrCapture capture;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(2), 0);
    ASSERT_EQ(capture.Lines().size(), 2u);
    EXPECT_EQ(Sites(capture), (std::vector<std::string>{Site(94), Site(163)}));
    EXPECT_NE(capture.Lines()[1].find("unable to read '2' bytes from stream"), std::string::npos);
}

TEST_F(DeviceTest, StreamAtEndOfFileFailsSilently) {
    stream.setstate(std::ios::eofbit);
    peer.Deliver({0x2B, 1, 2});
    StderrCapture capture;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(2), 0);
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(peer.PendingForLibrary(), 3);
}

TEST_F(DeviceTest, ReadRawHandsBackWhatArrivedByTheLimit) {
    peer.Deliver({1, 2, 3, 4});
    char got[10];
    StderrCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(device.read_raw(got, 10, 0.2f), 4u);
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_EQ(Bytes(got, got + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(device.read_raw(got, 10, 0.05f), 0u);
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(DeviceTest, ReadRawTakesOnlyWhatWasAskedFor) {
    peer.Deliver({1, 2, 3, 4, 5, 6});
    char got[4];
    EXPECT_EQ(device.read_raw(got, 4, 5.0f), 4u);
    EXPECT_EQ(Bytes(got, got + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(peer.PendingForLibrary(), 2);
    EXPECT_EQ(device.read_raw(nullptr, 4, 0.1f), 0u);
    EXPECT_EQ(device.read_raw(got, 0, 0.1f), 0u);
}

TEST_F(DeviceTest, ReadRawWithoutLimitWaitsForAllBytes) {
    peer.Deliver({9, 8});
    char got[3];
    peer.SendAfter(50ms, {7});
    EXPECT_EQ(device.read_raw(got, 3, 0.0f), 3u);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{9, 8, 7}));
}

TEST_F(DeviceTest, FlushInputDiscardsWhatIsWaitingInBufferSizedReads) {
    peer.Deliver(Bytes(3000, 0x33));
    const auto start = Clock::now();
    device.flush_input();
    EXPECT_EQ(peer.PendingForLibrary(), 0);
    EXPECT_TRUE(stream.good());
    device.flush_input();  // nothing waiting: returns at once
    EXPECT_LT(Clock::now() - start, 500ms);
}

TEST_F(DeviceTest, SendRawWritesTheBytesUnframed) {
    device.send_raw("\x00\xff\x0a", 3);
    EXPECT_EQ(peer.Read(3), (Bytes{0x00, 0xFF, 0x0A}));
}

TEST_F(DeviceTest, SendRawFailuresThrow) {
    const auto throws = [](auto&& call) {
        try {
            call();
        } catch (const std::runtime_error& e) {
            return std::string(e.what()) == "send_raw: underlying stream write failed";
        }
        return false;
    };
    EXPECT_TRUE(throws([&] { device.send_raw("", 0); }));
    EXPECT_TRUE(throws([&] { device.send_raw(nullptr, 3); }));
    Device detached(nullptr);
    EXPECT_TRUE(throws([&] { detached.send_raw("abc", 3); }));
    EXPECT_TRUE(peer.Drain().empty());
    BreakStream();
    EXPECT_TRUE(throws([&] { device.send_raw("abc", 3); }));
}

// Counts how often the port is asked for its waiting bytes (a system call).
class CountingStream : public SerialStream {
public:
    using SerialStream::SerialStream;
    int BytesAvailable() override {
        ++counts;
        return SerialStream::BytesAvailable();
    }
    int counts = 0;
};

// -- lending --------------------------------------------------------------------------------

std::string LentText(const char* borrower) {
    return std::string("the device is lent to ") + borrower + ": stop it before using the device directly";
}

TEST_F(DeviceTest, ALoanRefusesEveryoneElseAndNamesItsBorrower) {
    int loop = 0, monitor = 0;
    EXPECT_FALSE(device.Lend(&loop, nullptr));
    EXPECT_FALSE(device.Lend(nullptr, "a servo loop"));
    ASSERT_TRUE(device.Lend(&monitor, "a handle monitor"));
    EXPECT_FALSE(device.Lend(&loop, "a servo loop"));
    try {
        device.flush_input();
        ADD_FAILURE() << "a lent device was used";
    } catch (const DeviceLent& lent) {
        EXPECT_EQ(lent.what(), LentText("a handle monitor"));
    }
    device.Return(&loop);  // not the borrower: the loan goes on
    EXPECT_THROW(device.ReadHeaderCode(), DeviceLent);
    EXPECT_TRUE(peer.Drain().empty());
    device.Return(&monitor);
    ASSERT_TRUE(device.Lend(&loop, "a servo loop"));
    EXPECT_THROW(device.send_raw("x", 1), DeviceLent);
    device.Return(&loop);
    device.send_raw("x", 1);
    EXPECT_EQ(peer.Read(1), Bytes{'x'});
}

// Loans made and ended on one thread while another keeps using the device:
// each use either runs or is refused in the name of the loan then current.
TEST_F(DeviceTest, UseRacingLoansIsRefusedInTheBorrowersName) {
    const char* const names[] = {"a servo loop", "a handle monitor"};
    std::atomic<bool> done{false};
    std::thread lender([&] {
        int borrower = 0;
        for (int i = 0; i < 2000; ++i) {
            if (device.Lend(&borrower, names[i % 2])) device.Return(&borrower);
        }
        done = true;
    });
    int refused = 0;
    while (!done.load()) {
        try {
            device.flush_input();
        } catch (const DeviceLent& lent) {
            ++refused;
            const std::string text = lent.what();
            EXPECT_TRUE(text == LentText(names[0]) || text == LentText(names[1])) << text;
        }
    }
    lender.join();
    RecordProperty("refused", refused);
}

TEST(DeviceCounting, ReplyAlreadyWaitingIsCountedOnce) {
    PtyPeer peer;
    CountingStream stream(peer.Path());
    Device device(&stream, kShortLimit);
    peer.Deliver(Korvo::Testing::Concat({{0xBA, 0x00, 0x02, 1, 2, 0x2B}, Bytes(24, 7)}));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadBytes(24), 24);
    EXPECT_EQ(stream.counts, 1);
}

TEST(DeviceCounting, BytesReadByAnotherDeviceOnTheStreamAreNotCountedTwice) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    Device first(&stream, kShortLimit), second(&stream, kShortLimit);
    peer.Deliver(Korvo::Testing::Concat({{0x2B}, Bytes(24, 1), {0x2B}, Bytes(24, 2)}));
    EXPECT_EQ(first.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(second.ReadBytes(24), 24);
    EXPECT_EQ(second.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(first.ReadBytes(24), 24);
    EXPECT_EQ(stream.KnownAvailable(), 0u);
    // Nothing is left: the next read waits its own short limit and fails
    // cleanly, rather than reading into an empty port.
    StderrCapture quiet;
    const auto start = Clock::now();
    EXPECT_EQ(first.ReadBytes(1), 0);
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(stream.good());
}

TEST(DeviceWithoutStream, RawOperationsAndFramingDoNothing) {
    Device device(nullptr, kShortLimit);
    char got[4];
    EXPECT_EQ(device.read_raw(got, 4, 0.01f), 0u);
    device.flush_input();
    device.WriteBytes(4);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(4), 0);
}

}  // namespace
