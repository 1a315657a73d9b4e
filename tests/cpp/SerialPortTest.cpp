// serialib over a real pty: configuration, the timed read, the cached byte,
// and the unbuffered write path.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "Korvo/HardwareAPI/IO/serialib.h"
#include "support/PtyPeer.h"

namespace {

using Korvo::HardwareAPI::IO::serialib;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using Clock = std::chrono::steady_clock;
using Traits = std::char_traits<char>;
using namespace std::chrono_literals;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(port.Open(peer.Path().c_str()), 1); }

    PtyPeer peer;
    serialib port;
};

TEST_F(SerialPortTest, OpenConfiguresRaw115200EightNOne) {
    termios t{};
    ASSERT_EQ(::tcgetattr(peer.Slave(), &t), 0);
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR | IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(::fcntl(port.Descriptor(), F_GETFL) & O_NONBLOCK);
}

TEST(SerialPortOpen, StartsWithNothingLeftFromBefore) {
    PtyPeer peer;
    peer.Deliver({0x2B, 1, 2, 3});  // an answer to someone else's request
    serialib port;
    ASSERT_EQ(port.Open(peer.Path().c_str()), 1);
    EXPECT_EQ(peer.PendingForLibrary(), 0);
    peer.Deliver({0x0B});
    EXPECT_EQ(port.sbumpc(), 0x0B);
}

class SerialPortTransfer : public SerialPortTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SerialPortTransfer, BlockArrivesByteForByteBothWays) {
    Bytes data(GetParam());
    // Every byte value, 0x00 and 0xFF included, in every block.
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(255 - i % 256);
    const auto n = static_cast<std::streamsize>(data.size());

    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(data.data()), n), n);
    EXPECT_EQ(peer.Read(data.size()), data);

    peer.Deliver(data);
    Bytes got(data.size());
    const auto start = Clock::now();
    EXPECT_EQ(port.sgetn(reinterpret_cast<char*>(got.data()), n), n);
    // Everything was waiting: no time-limit wait.
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(got, data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SerialPortTransfer, ::testing::Values(1, 128, 200, 256, 1024));

TEST_F(SerialPortTest, ShortReadReturnsWhatArrivedAfterTheLimit) {
    peer.Deliver({1, 2, 3});
    char got[10] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.sgetn(got, 10), 3);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 1000ms);
    EXPECT_LT(waited, 1900ms);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{1, 2, 3}));
}

TEST_F(SerialPortTest, ShowmanycWaitsForOneByteAndRestoresTheFlags) {
    const int flags = ::fcntl(port.Descriptor(), F_GETFL);
    const auto start = Clock::now();
    EXPECT_EQ(port.in_avail(), 0);
    EXPECT_GE(Clock::now() - start, 1000ms);
    EXPECT_EQ(::fcntl(port.Descriptor(), F_GETFL), flags);

    peer.Deliver({0x42});
    EXPECT_EQ(port.in_avail(), 1);
    EXPECT_EQ(port.in_avail(), 1);  // cached: answered without another read
    EXPECT_EQ(port.sbumpc(), 0x42);
}

TEST_F(SerialPortTest, PeekThenConsumeReadsThePortOnce) {
    peer.Deliver({'A', 'B'});
    EXPECT_EQ(port.sgetc(), 'A');
    EXPECT_EQ(peer.PendingForLibrary(), 1);
    EXPECT_EQ(port.sgetc(), 'A');
    EXPECT_EQ(peer.PendingForLibrary(), 1);
    EXPECT_EQ(port.sbumpc(), 'A');
    EXPECT_EQ(port.sbumpc(), 'B');
}

TEST_F(SerialPortTest, CachedByteLeadsABulkRead) {
    peer.Deliver({10, 11, 12, 13, 14, 15});
    char one = 0;
    ASSERT_EQ(port.sgetc(), 10);
    EXPECT_EQ(port.sgetn(&one, 1), 1);
    EXPECT_EQ(one, 10);

    ASSERT_EQ(port.sgetc(), 11);
    char five[5] = {};
    EXPECT_EQ(port.sgetn(five, 5), 5);
    EXPECT_EQ(Bytes(five, five + 5), (Bytes{11, 12, 13, 14, 15}));
}

TEST_F(SerialPortTest, ByteFFIsNeverEndOfFile) {
    peer.Deliver({0xFF, 0xFF});
    EXPECT_EQ(port.sgetc(), 255);
    EXPECT_EQ(port.sbumpc(), 255);
    EXPECT_EQ(port.sbumpc(), 255);
}

TEST_F(SerialPortTest, OnlyOneByteCanBePutBack) {
    EXPECT_EQ(port.sputbackc('x'), 'x');
    EXPECT_EQ(port.sputbackc('y'), Traits::eof());
    EXPECT_EQ(port.sbumpc(), 'x');
}

TEST(SerialPortReadError, EndsTheReadAndLosesTheCachedByte) {
    // The port is a pty master whose slave has come and gone: its reads fail
    // with EIO, as a port does whose device vanished.
    serialib port;
    ASSERT_EQ(port.Open("/dev/ptmx"), 1);
    ASSERT_EQ(::unlockpt(port.Descriptor()), 0);
    char name[64];
    ASSERT_EQ(::ptsname_r(port.Descriptor(), name, sizeof name), 0);
    const int other_side = ::open(name, O_RDWR | O_NOCTTY);
    ASSERT_GE(other_side, 0);
    ASSERT_EQ(::write(other_side, "A", 1), 1);
    ASSERT_EQ(port.sgetc(), 'A');
    ::close(other_side);

    const auto start = Clock::now();
    unsigned char raw[4];
    EXPECT_EQ(port.TimedRead(raw, 4), -2);
    char five[5];
    EXPECT_EQ(port.sgetn(five, 5), 0);
    EXPECT_EQ(port.sgetc(), Traits::eof());
    EXPECT_EQ(port.sbumpc(), Traits::eof());
    // Errors end reads at once; only timeouts wait.
    EXPECT_LT(Clock::now() - start, 500ms);
}

TEST_F(SerialPortTest, WriteTheQueueCannotTakeIsAFailure) {
    // Far more than a pty queues: the one write is partial, which counts as
    // a failure, not as a short success.
    Bytes big(1 << 20, 0x55);
    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(big.data()), static_cast<std::streamsize>(big.size())), 0);
}

TEST_F(SerialPortTest, SingleBytesGoOutWithOverflow) {
    EXPECT_EQ(port.sputc('\x7f'), 0x7f);
    EXPECT_EQ(port.sputc('\xff'), 0xff);
    EXPECT_EQ(peer.Read(2), (Bytes{0x7f, 0xff}));
}

TEST(SerialPortClosed, EveryOperationReturnsAtOnce) {
    serialib port;
    const auto start = Clock::now();
    EXPECT_EQ(port.Open("/nonexistent/korvo-port"), -2);
    EXPECT_EQ(port.Descriptor(), -1);
    EXPECT_EQ(port.in_avail(), 0);
    EXPECT_EQ(port.sgetc(), Traits::eof());
    EXPECT_EQ(port.sbumpc(), Traits::eof());
    char buffer[4];
    EXPECT_EQ(port.sgetn(buffer, 4), 0);
    EXPECT_EQ(port.sputn("abcd", 4), 0);
    EXPECT_EQ(port.sputc('a'), Traits::eof());
    EXPECT_LT(Clock::now() - start, 500ms);
}

TEST(SerialPortClosed, CloseIsIdempotent) {
    PtyPeer peer;
    serialib port;
    ASSERT_EQ(port.Open(peer.Path().c_str()), 1);
    port.Close();
    EXPECT_EQ(port.Descriptor(), -1);
    port.Close();
    EXPECT_EQ(port.sputn("a", 1), 0);
}

}  // namespace
