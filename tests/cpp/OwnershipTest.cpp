// A port belongs to one user at a time. "Another program" is played by a
// descriptor of the test's own on the same pty, locked with flock as
// pyserial's exclusive mode does: to the kernel, a lock on another open of
// the node is exactly what another process's lock is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "DiscoveryDetail.h"
#include "Korvo/HardwareAPI/Devices/Device.h"
#include "Korvo/HardwareAPI/Discovery.h"
#include "Korvo/HardwareAPI/IO/PortHolder.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using namespace Korvo::HardwareAPI;
using IO::Deadline;
using IO::PortHolder;
using IO::SerialStream;
using IO::WaitResult;
using IO::WhoHoldsPort;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using namespace std::chrono_literals;

// Another program's open of the port, locked or not.
class ForeignOpen {
public:
    explicit ForeignOpen(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~ForeignOpen() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Lock() { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
    void Unlock() { ::flock(fd_, LOCK_UN); }

private:
    int fd_;
};

TEST(PortOwnership, APortLockedElsewhereIsRefusedAsBusyAndLeftUntouched) {
    PtyPeer peer;
    ForeignOpen other(peer.Path());
    ASSERT_TRUE(other.Lock());
    peer.Deliver({1, 2, 3});  // the holder's input: our open must not flush it

    StderrCapture capture;
    SerialStream stream(peer.Path());
    EXPECT_EQ(stream.Descriptor(), -1);
    EXPECT_EQ(peer.PendingForLibrary(), 3);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[err] Library/src/SerialStream:39> unable to open port '" + peer.Path() +
                            "': [16] Device or resource busy");
    EXPECT_EQ(lines[1], "[err] Library/src/SerialStream:18> unable to open stream '" + peer.Path() +
                            "': [16] Device or resource busy");
    EXPECT_EQ(WhoHoldsPort(peer.Path()), PortHolder::Another);

    // Once the other program lets go, the port opens.
    other.Unlock();
    EXPECT_EQ(WhoHoldsPort(peer.Path()), PortHolder::Nobody);
    SerialStream later(peer.Path());
    EXPECT_GE(later.Descriptor(), 0);
}

TEST(PortOwnership, OurHoldBlocksAnotherProgramsLockUntilTheLastStreamCloses) {
    PtyPeer peer;
    ForeignOpen other(peer.Path());
    {
        SerialStream first(peer.Path());
        ASSERT_GE(first.Descriptor(), 0);
        EXPECT_EQ(WhoHoldsPort(peer.Path()), PortHolder::ThisProcess);
        EXPECT_FALSE(other.Lock());
        {
            // The recovery from a failed stream: a new one while the old
            // lives. It opens, and the port stays ours when the old closes.
            SerialStream second(peer.Path());
            EXPECT_GE(second.Descriptor(), 0);
            first.Close();
            EXPECT_FALSE(other.Lock());
            second.Write("\x0a", 1);
            EXPECT_EQ(peer.Read(1), Bytes{0x0A});
        }
        EXPECT_EQ(WhoHoldsPort(peer.Path()), PortHolder::Nobody);
    }
    EXPECT_TRUE(other.Lock());
}

TEST(PortOwnership, StreamsOnOtherPortsAreIndependent) {
    PtyPeer a, b;
    SerialStream on_a(a.Path());
    ForeignOpen other(b.Path());
    EXPECT_TRUE(other.Lock());
    EXPECT_EQ(WhoHoldsPort(a.Path()), PortHolder::ThisProcess);
    EXPECT_EQ(WhoHoldsPort(b.Path()), PortHolder::Another);
    EXPECT_EQ(WhoHoldsPort("/nonexistent/korvo-port"), PortHolder::Nobody);
}

TEST(PortOwnership, DiscoverySkipsEveryHeldPortWithoutOpeningIt) {
    PtyPeer free_port, ours, theirs;
    SerialStream held_here(ours.Path());
    ForeignOpen other(theirs.Path());
    ASSERT_TRUE(other.Lock());
    const std::vector<PortEntry> ports{
        {free_port.Path(), PortKind::ACM}, {ours.Path(), PortKind::ACM}, {theirs.Path(), PortKind::ACM}};
    std::vector<std::string> probed;
    DiscoveryDetail::Detect(
        ports, {PortKind::ACM},
        [&](const char* port) {
            probed.emplace_back(port);
            return 0;
        },
        100ms);
    EXPECT_EQ(probed, std::vector<std::string>{free_port.Path()});
    EXPECT_TRUE(ours.Drain().empty());
    EXPECT_TRUE(theirs.Drain().empty());
}

TEST(PortOwnership, AProbeOfAPortThisProcessHoldsLeavesItsInputAlone) {
    PtyPeer port;
    SerialStream held(port.Path());
    port.Send({0x2B, 0x01, 0x02});
    ASSERT_EQ(held.AwaitBytes(3, Deadline(1.0f)), WaitResult::Ready);
    EXPECT_EQ(ProbeArvena(port.Path().c_str()), 0);
    EXPECT_EQ(ProbeHandle(port.Path().c_str()), 0);
    EXPECT_TRUE(port.Drain().empty());  // no wakeup written
    EXPECT_EQ(held.BytesAvailable(), 3);  // nothing flushed
}

}  // namespace
