// The handle monitor against a scripted handle on a pty: frames, button
// edges, bad frames, the loan of a Handle and a pulled cable.

#include "Korvo/DeviceTools/HandleMonitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StatusFrames.h"

namespace {

using Korvo::DeviceTools::HandleMonitor;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using namespace std::chrono_literals;

Bytes Frame(std::uint8_t buttons, std::uint8_t trigger = 7,
            const std::function<void(Bytes&)>& mangle = {}) {
    const auto byte3 = static_cast<std::uint8_t>((buttons << 5) | trigger);
    return Korvo::Testing::StatusFrame(Korvo::Testing::FrameFields(0, byte3, 0x42, 0x4000, 0, 0, 0x4000, 200), mangle);
}

// A monitor reading a handle whose other end the test plays.
class MonitoredHandle : public ::testing::Test {
protected:
    void SetUp() override { monitor.Start(); }

    PtyPeer peer;
    Korvo::HardwareAPI::IO::SerialStream stream{peer.Path()};
    Korvo::HardwareAPI::Devices::Handle handle{&stream};
    HandleMonitor monitor{handle};
};

TEST_F(MonitoredHandle, KeepsTheLatestFrameAndEveryButtonEdgeAndSkipsBadFrames) {
    try {
        handle.Receive();
        ADD_FAILURE() << "a lent handle read a message";
    } catch (const Korvo::HardwareAPI::Devices::DeviceLent& lent) {
        EXPECT_STREQ(lent.what(), "the device is lent to a handle monitor: stop it before using the device directly");
    }
    const Bytes bad = Frame(0x7, 7, [](Bytes& body) { body.back() ^= 0x55; });  // a wrong checksum
    for (const Bytes& frame : {Frame(0), Frame(1), bad, Frame(1), Frame(3), Frame(2), Frame(0, 31)}) peer.Send(frame);
    for (int i = 0; i < 500 && monitor.GetCounts().frames < 6; ++i) std::this_thread::sleep_for(2ms);
    const auto counts = monitor.GetCounts();
    EXPECT_EQ(counts.frames, 6u);
    EXPECT_EQ(counts.bad_frames, 1u);
    EXPECT_EQ(monitor.Latest().trigger, 31);
    const auto events = monitor.TakeEvents();
    ASSERT_EQ(events.size(), 4u);  // 1 down, 2 down, 1 up, 2 up
    EXPECT_TRUE(events[0].button == 1 && events[0].pressed);
    EXPECT_TRUE(events[1].button == 2 && events[1].pressed);
    EXPECT_TRUE(events[2].button == 1 && !events[2].pressed);
    EXPECT_TRUE(events[3].button == 2 && !events[3].pressed);
    EXPECT_TRUE(monitor.TakeEvents().empty());
    monitor.Stop();
    // Lent back, in step: the handle reads its next message itself.
    peer.Deliver({0xDF, 0x42, 0x00, 0x01});
    EXPECT_EQ(handle.Receive(), 3);
}

TEST_F(MonitoredHandle, AHangUpIsAFaultNotACrash) {
    peer.Send(Frame(1));
    for (int i = 0; i < 500 && monitor.GetCounts().frames < 1; ++i) std::this_thread::sleep_for(2ms);
    peer.HangUp();
    for (int i = 0; i < 1000 && monitor.Running(); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_FALSE(monitor.Running());
    EXPECT_TRUE(monitor.Disconnected());
    EXPECT_EQ(monitor.Latest().buttons, 1);
    monitor.Stop();
}

}  // namespace
