// Taps: every item a loop thread produces, for readers of their own. Full
// taps refuse the newest and count it; taps open and close while the
// producer runs, which never waits for them; a servo loop's tap holds the
// same ticks as its recording, a handle monitor's every good frame. These
// tests also run under ThreadSanitizer.

#include "Korvo/Realtime/Tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Korvo/DeviceTools/HandleMonitor.h"
#include "Korvo/Haptics/Servo.h"
#include "Korvo/HardwareAPI/Devices/Handle.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Realtime/Taps.h"
#include "support/ArmPeer.h"
#include "support/PtyPeer.h"
#include "support/StatusFrames.h"

namespace {

using namespace Korvo::Haptics;
using namespace Korvo::Realtime;
using Korvo::DeviceTools::HandleMonitor;
using namespace std::chrono_literals;

using Slots = TapSlots<std::uint64_t>;

std::shared_ptr<Slots> MakeSlots() { return std::make_shared<Slots>(); }

TEST(Tap, EveryOpenTapGetsEveryItemAndAFullOneCountsWhatItRefuses) {
    auto slots = MakeSlots();
    auto big = slots->Open(100);
    auto small = slots->Open(3);
    for (std::uint64_t i = 0; i < 5; ++i) slots->Publish(i);
    auto all = big->Drain();
    auto few = small->Drain();
    EXPECT_EQ(all.items, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(all.refused, 0u);
    EXPECT_EQ(few.items, (std::vector<std::uint64_t>{0, 1, 2}));  // the newest were refused, not the oldest
    EXPECT_EQ(few.refused, 2u);
    slots->Publish(5);
    few = small->Drain();
    EXPECT_EQ(few.items, (std::vector<std::uint64_t>{5}));  // the numbers show the gap
    EXPECT_EQ(few.refused, 0u);                            // counted once, at the drain after it
}

TEST(Tap, AClosedTapKeepsWhatItHoldsAndItsSlotIsFreeAgain) {
    auto slots = MakeSlots();
    std::vector<std::shared_ptr<Tap<std::uint64_t>>> taps;
    for (std::size_t i = 0; i < kMaxTaps; ++i) taps.push_back(slots->Open(8));
    EXPECT_THROW(slots->Open(8), std::runtime_error);
    slots->Publish(7);
    taps[1]->Close();
    taps[1]->Close();  // idempotent
    EXPECT_FALSE(taps[1]->IsOpen());
    slots->Publish(8);
    EXPECT_EQ(taps[1]->Drain().items, (std::vector<std::uint64_t>{7}));
    EXPECT_EQ(taps[0]->Drain().items, (std::vector<std::uint64_t>{7, 8}));
    auto again = slots->Open(8);
    slots->Publish(9);
    EXPECT_EQ(again->Drain().items, (std::vector<std::uint64_t>{9}));
    // Letting the last reference go closes too.
    taps.clear();
    again.reset();
    for (std::size_t i = 0; i < kMaxTaps; ++i) taps.push_back(slots->Open(8));
}

TEST(Tap, CapacityOutOfRangeIsRefused) {
    auto slots = MakeSlots();
    EXPECT_THROW(slots->Open(0), std::invalid_argument);
    EXPECT_THROW(slots->Open(kMaxTapCapacity + 1), std::invalid_argument);
}

TEST(Tap, OutlivesItsProducer) {
    auto slots = MakeSlots();
    auto tap = slots->Open(4);
    slots->Publish(1);
    slots.reset();
    EXPECT_EQ(tap->Drain().items, (std::vector<std::uint64_t>{1}));
    tap->Close();
}

TEST(Tap, OpenedAndClosedWhileTheProducerRunsEachSeesAnUnbrokenCountedRun) {
    auto slots = MakeSlots();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> produced{0};
    std::thread producer([&] {
        for (std::uint64_t i = 0; !stop; ++i) {
            slots->Publish(i);
            produced = i + 1;
        }
    });
    std::atomic<int> bad{0}, runs{0};
    // 200 rounds take a third of a second on a quiet machine; on a busy one
    // every yield below can cost a time slice, so after 3 s a reader stops
    // once it has seen a run of its own.
    const auto until = std::chrono::steady_clock::now() + 3s;
    auto reader = [&] {
        int mine = 0;
        for (int round = 0; round < 200 && (mine == 0 || std::chrono::steady_clock::now() < until); ++round) {
            auto tap = slots->Open(64);
            std::vector<std::uint64_t> seen;
            std::uint64_t refused = 0;
            for (int drains = 0; drains < 5; ++drains) {
                auto batch = tap->Drain();
                seen.insert(seen.end(), batch.items.begin(), batch.items.end());
                refused += batch.refused;
                std::this_thread::yield();
            }
            tap->Close();
            const std::uint64_t after_close = produced.load();
            auto rest = tap->Drain();
            seen.insert(seen.end(), rest.items.begin(), rest.items.end());
            refused += rest.refused;
            if (seen.empty()) continue;
            ++runs;
            ++mine;
            // In order, and every item missing between the first and the
            // last was counted as refused.
            for (std::size_t i = 1; i < seen.size(); ++i) bad += seen[i] <= seen[i - 1];
            bad += seen.back() - seen.front() + 1 > seen.size() + refused;
            // Nothing arrives once Close() has returned.
            bad += seen.back() > after_close;
        }
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    stop = true;
    producer.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(runs.load(), 0);
}

// -- the servo loop's and the handle monitor's taps --------------------------------------------------------

ServoOptions Fast() {
    ServoOptions o;
    o.realtime = RealTimePolicy::Off;
    o.exchange_timeout = 0.02;  // far above the pty's turnaround
    return o;
}

TEST(ServoTap, HoldsTheTicksTheRecordingHoldsAndClosesWhileTheLoopRuns) {
    Korvo::Testing::ArmPeer arm;
    Servo servo(arm.Path(), Fast());
    auto tap = servo.OpenTap(4096);  // before the start: from tick 0 on
    servo.Start();
    auto late = servo.OpenTap(4096);
    ASSERT_TRUE(arm.AwaitForces(150, 10s));
    late->Close();
    const auto closed_at = servo.State().tick;
    ASSERT_TRUE(arm.AwaitForces(arm.ForceCount() + 50, 10s));
    servo.Stop();
    const Recording recording = servo.Drain();
    const auto ticks = tap->Drain();
    ASSERT_EQ(ticks.items.size(), recording.ticks.size());
    EXPECT_EQ(ticks.refused, 0u);
    for (std::size_t i = 0; i < ticks.items.size(); ++i) {
        EXPECT_EQ(ticks.items[i].tick, i);
        EXPECT_EQ(ticks.items[i].tick, recording.ticks[i].tick);
        EXPECT_EQ(ticks.items[i].time, recording.ticks[i].time);
        EXPECT_EQ(ticks.items[i].position, recording.ticks[i].position);
        EXPECT_EQ(ticks.items[i].force, recording.ticks[i].force);
    }
    const auto part = late->Drain();
    ASSERT_FALSE(part.items.empty());
    EXPECT_LE(part.items.back().tick, closed_at);  // at most the tick in hand when it closed
    EXPECT_LT(part.items.back().tick, ticks.items.back().tick);
}

TEST(MonitorTap, HoldsEveryGoodFrameWithItsNumber) {
    Korvo::Testing::PtyPeer peer;
    Korvo::HardwareAPI::IO::SerialStream stream{peer.Path()};
    Korvo::HardwareAPI::Devices::Handle handle{&stream};
    HandleMonitor monitor{handle};
    auto tap = monitor.OpenTap(16);
    monitor.Start();
    const auto frame = [](std::uint8_t buttons, const std::function<void(Korvo::Testing::Bytes&)>& mangle = {}) {
        return Korvo::Testing::StatusFrame(
            Korvo::Testing::FrameFields(0, static_cast<std::uint8_t>((buttons << 5) | 9), 0x42, 0x4000, 0, 0, 0x4000, 200),
            mangle);
    };
    for (const auto& f : {frame(0), frame(1), frame(3, [](Korvo::Testing::Bytes& b) { b.back() ^= 0x55; }), frame(2)}) {
        peer.Send(f);
    }
    for (int i = 0; i < 500 && monitor.GetCounts().frames < 3; ++i) std::this_thread::sleep_for(2ms);
    monitor.Stop();
    const auto frames = tap->Drain();
    ASSERT_EQ(frames.items.size(), 3u);  // the corrupt one is not a frame
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frames.items[i].frame, i + 1);
    EXPECT_EQ(frames.items[1].buttons, 1);
    EXPECT_EQ(frames.items[2].buttons, 2);
    EXPECT_EQ(frames.items[2].trigger, 9);
    EXPECT_LE(frames.items[0].time, frames.items[2].time);
}

}  // namespace
