// SerialStream over a real pty: opening, the error lines, byte counts, and
// the sticky failure state.

#include <clocale>
#include <cstring>
#include <locale.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "Korvo/HardwareAPI/IO/ErrorLog.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using Korvo::HardwareAPI::IO::ErrorText;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Line(unsigned line, const std::string& words, int err) {
    return "[err] Library/src/SerialStream:" + std::to_string(line) + "> " + words + ": [" + std::to_string(err) + "] " +
           std::strerror(err);
}

void AwaitAvailable(SerialStream& stream, int n) {
    const auto deadline = Clock::now() + 2s;
    while (stream.BytesAvailable() < n && Clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(stream.BytesAvailable(), n);
}

struct UnopenableCase {
    const char* name;
    std::string path;
    int err;
};

class SerialStreamUnopenable : public ::testing::TestWithParam<UnopenableCase> {};

TEST_P(SerialStreamUnopenable, ConstructorLogsPortThenStreamLine) {
    const auto& c = GetParam();
    StderrCapture capture;
    SerialStream stream(c.path.c_str());
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{Line(39, "unable to open port '" + c.path + "'", c.err),
                                                          Line(18, "unable to open stream '" + c.path + "'", c.err)}));
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.BytesAvailable(), 0);
    EXPECT_EQ(stream.Descriptor(), -1);
}

TEST_P(SerialStreamUnopenable, OpenPortAloneLogsOnlyThePortLine) {
    const auto& c = GetParam();
    StderrCapture capture;
    SerialStream stream(c.path.c_str(), false);
    EXPECT_EQ(stream.OpenPort(), -2);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{Line(39, "unable to open port '" + c.path + "'", c.err)}));
}

INSTANTIATE_TEST_SUITE_P(Paths, SerialStreamUnopenable,
                         ::testing::Values(UnopenableCase{"Missing", "/nonexistent/korvo-port", ENOENT},
                                           UnopenableCase{"Directory", "/", EISDIR}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SerialStream, WriteOnUnopenedPortLogsOnceUntilEndOfFile) {
    StderrCapture capture;
    SerialStream stream("/nonexistent/korvo-port");
    const std::size_t before = capture.Lines().size();

    stream.Write("abc", 3);
    EXPECT_TRUE(stream.bad());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), before + 1);
    // errno is whatever the failed write left; only the words are fixed.
    EXPECT_EQ(lines.back().rfind("[err] Library/src/SerialStream:53> unable to write '3' bytes to stream: [", 0), 0u);

    SerialStream other("/nonexistent/korvo-port");
    char c;
    other.read(&c, 1);
    ASSERT_TRUE(other.eof());
    const std::size_t after_read = capture.Lines().size();
    other.Write("abc", 3);
    EXPECT_EQ(capture.Lines().size(), after_read);
}

TEST(SerialStream, KeepsItsOwnCopyOfThePortName) {
    char name[] = "/nonexistent/korvo-copied";
    SerialStream stream(name, false);
    std::memset(name, 'x', sizeof name - 1);
    EXPECT_EQ(stream.PortName(), "/nonexistent/korvo-copied");
    StderrCapture capture;
    EXPECT_EQ(stream.OpenPort(), -2);
    EXPECT_NE(capture.Text().find("'/nonexistent/korvo-copied'"), std::string::npos);
}

TEST(SerialStream, StartsBadUntilOpened) {
    PtyPeer peer;
    SerialStream stream(peer.Path(), false);
    EXPECT_TRUE(stream.bad());
    EXPECT_EQ(stream.OpenPort(), 1);
    EXPECT_TRUE(stream.good());
}

class OpenSerialStream : public ::testing::Test {
protected:
    PtyPeer peer;
    SerialStream stream{peer.Path()};
};

TEST_F(OpenSerialStream, WriteArrivesAndBytesAreCounted) {
    const Bytes data{0x2A, 0x00, 0xFF, 0x0A, 0x0D, 0xC0};
    StderrCapture capture;
    stream.Write(reinterpret_cast<const char*>(data.data()), data.size());
    EXPECT_EQ(peer.Read(data.size()), data);

    peer.Send({1, 2, 3, 4, 5});
    AwaitAvailable(stream, 5);
    char got[5];
    stream.read(got, 5);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(stream.BytesAvailable(), 0);
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(OpenSerialStream, EmptyWriteLeavesTheStreamGood) {
    StderrCapture capture;
    stream.Write("", 0);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(OpenSerialStream, FailedWriteLogsTheCountAndSticks) {
    StderrCapture capture;
    stream.SetWriteLimit(0.05f);
    std::string big(1 << 20, 'x');
    stream.Write(big.data(), big.size());  // more than the pty ever holds
    EXPECT_TRUE(stream.bad());
    peer.Drain();
    stream.Write("a", 1);
    EXPECT_TRUE(peer.Drain().empty());
    // Both lines name the real cause: the queue stayed full.
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "[err] Library/src/SerialStream:53> unable to write '1048576' bytes to stream: [11] Resource temporarily "
              "unavailable");
    EXPECT_EQ(lines[1], "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: [11] Resource "
                        "temporarily unavailable");
}

TEST_F(OpenSerialStream, RequestsToADeviceThatStopsReadingArriveWholeOrNotAtAll) {
    // The device reads nothing until the writer fails; what it reads then,
    // and what a new stream writes after, must be whole requests only.
    const Bytes request = Korvo::Testing::Concat({{0x2A}, Korvo::Testing::FloatBytes({1.0f, 2.0f, 3.0f})});
    StderrCapture capture;
    stream.SetWriteLimit(0.02f);
    int written = 0;
    while (stream.good() && written < 100000) {
        stream.Write(reinterpret_cast<const char*>(request.data()), request.size());
        ++written;
    }
    ASSERT_TRUE(stream.bad());
    EXPECT_NE(capture.Text().find("[11] Resource temporarily unavailable"), std::string::npos);

    SerialStream fresh(peer.Path());  // the recovery: a new stream, the old one still alive
    fresh.Write(reinterpret_cast<const char*>(request.data()), request.size());
    EXPECT_TRUE(fresh.good());
    const Bytes got = peer.Drain(100ms);
    ASSERT_EQ(got.size() % request.size(), 0u) << got.size() << " bytes is no whole number of requests";
    for (std::size_t at = 0; at < got.size(); at += request.size()) {
        ASSERT_TRUE(std::equal(request.begin(), request.end(), got.begin() + static_cast<long>(at))) << "at " << at;
    }
    // The failed stream discarded what it had not sent; how much of its
    // earlier output the device side held by then is the machine's doing.
    // The new stream's request arrives.
    EXPECT_GE(got.size() / request.size(), 1u);
}

TEST_F(OpenSerialStream, AWriteWaitsForADeviceThatCatchesUp) {
    stream.SetWriteLimit(5.0f);
    std::string big(1 << 18, 'y');
    std::thread reader([&] {
        std::size_t total = 0;
        while (total < big.size()) total += peer.Read(big.size() - total, 2000ms).size();
    });
    stream.Write(big.data(), big.size());
    reader.join();
    EXPECT_TRUE(stream.good());
}

TEST_F(OpenSerialStream, TimedOutReadSticksUntilANewStream) {
    peer.Send({7, 8, 9});
    AwaitAvailable(stream, 3);
    char got[10];
    const auto start = Clock::now();
    stream.read(got, 10);
    EXPECT_GE(Clock::now() - start, 1000ms);
    EXPECT_EQ(stream.gcount(), 3);
    EXPECT_TRUE(stream.eof());
    EXPECT_TRUE(stream.fail());

    // Nothing reaches the port any more, in either direction, and the
    // failure is not reported again.
    StderrCapture capture;
    peer.Send({1, 2, 3, 4});
    AwaitAvailable(stream, 4);
    stream.read(got, 1);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_EQ(stream.BytesAvailable(), 4);
    stream.Write("abc", 3);
    EXPECT_TRUE(peer.Drain().empty());
    EXPECT_EQ(capture.Text(), "");

    // A new stream starts clean: what the old one left waiting is gone.
    SerialStream fresh(peer.Path());
    EXPECT_EQ(fresh.BytesAvailable(), 0);
    peer.Send({5, 6});
    AwaitAvailable(fresh, 2);
    fresh.read(got, 2);
    EXPECT_TRUE(fresh.good());
    EXPECT_EQ(Bytes(got, got + 2), (Bytes{5, 6}));
}

TEST_F(OpenSerialStream, KnownAvailableIsTheLastCountLessWhatWasReadSince) {
    EXPECT_EQ(stream.KnownAvailable(), 0u);
    peer.Send({1, 2, 3, 4, 5});
    AwaitAvailable(stream, 5);
    EXPECT_EQ(stream.KnownAvailable(), 5u);
    char got[2];
    stream.read(got, 2);
    EXPECT_EQ(stream.KnownAvailable(), 3u);
    peer.Send({6});  // arrives unseen until the port is asked again
    AwaitAvailable(stream, 4);
    EXPECT_EQ(stream.KnownAvailable(), 4u);
    stream.Close();
    EXPECT_EQ(stream.KnownAvailable(), 0u);
}

TEST_F(OpenSerialStream, CloseLeavesNoBytesAvailable) {
    peer.Send({1, 2, 3});
    AwaitAvailable(stream, 3);
    stream.Close();
    EXPECT_EQ(stream.BytesAvailable(), 0);
    EXPECT_EQ(stream.Descriptor(), -1);
    char c;
    stream.read(&c, 1);
    EXPECT_TRUE(stream.eof());
}

TEST(ErrorText, IsStrerrorWidenedAndLeavesTheLocaleAlone) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    EXPECT_EQ(ErrorText(ENOENT), L"No such file or directory");
    EXPECT_EQ(ErrorText(EBUSY), L"Device or resource busy");
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before);
}

}  // namespace
