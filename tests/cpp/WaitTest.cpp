// Waiting without burning a processor, and ending waits early: the sleep
// primitive, cancel tokens, the interrupt check, and the stream's and
// device's waits over real ptys. Time bounds are wide (this machine is shared
// and noisy); the point of each is the order of magnitude: a spin costs as
// much processor time as it waits, a sleep close to none.

#include "Korvo/HardwareAPI/IO/Wait.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "Korvo/HardwareAPI/Devices/Device.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "support/PtyPeer.h"
#include "support/StderrCapture.h"

namespace {

using Korvo::HardwareAPI::Devices::Device;
using Korvo::HardwareAPI::IO::CancelScope;
using Korvo::HardwareAPI::IO::CancelToken;
using Korvo::HardwareAPI::IO::Deadline;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::HardwareAPI::IO::SetInterruptCheck;
using Korvo::HardwareAPI::IO::SleepOnDescriptor;
using Korvo::HardwareAPI::IO::SleepUntil;
using Korvo::HardwareAPI::IO::WaitCancelled;
using Korvo::HardwareAPI::IO::WaitResult;
using Korvo::Testing::Bytes;
using Korvo::Testing::PtyPeer;
using Korvo::Testing::StderrCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Processor time the calling thread used while `work` ran, and the wall time.
template <class Work>
std::pair<std::chrono::nanoseconds, std::chrono::nanoseconds> Costs(Work&& work) {
    const auto cpu = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    };
    const auto cpu_start = cpu();
    const auto wall_start = Clock::now();
    work();
    return {cpu() - cpu_start, Clock::now() - wall_start};
}

// -- the sleep primitive ---------------------------------------------------------------------

TEST(SleepOnDescriptor, EndsWhenTheDescriptorIsReadyOrAtTheDeadline) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const auto [cpu, wall] = Costs([&] { EXPECT_EQ(SleepOnDescriptor(fds[0], POLLIN, Deadline(0.2f)), 0); });
    EXPECT_GE(wall, 200ms);
    EXPECT_LT(wall, 2000ms);
    EXPECT_LT(cpu, 50ms);  // slept, did not spin

    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_EQ(SleepOnDescriptor(fds[0], POLLIN, Deadline(5.0f)) & POLLIN, POLLIN);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(SleepOnDescriptor, NegativeDescriptorJustSleeps) {
    const auto [cpu, wall] = Costs([] { SleepUntil(Deadline(0.1f)); });
    EXPECT_GE(wall, 100ms);
    EXPECT_LT(cpu, 50ms);
}

// -- cancel tokens -------------------------------------------------------------------------------

TEST(CancelToken, EndsAWaitWithoutLimitOnItsThread) {
    CancelToken token;
    EXPECT_FALSE(token.Cancelled());
    auto waiter = std::async(std::launch::async, [&] {
        const CancelScope scope(token);
        SleepUntil(Deadline::Never());
    });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    token.Cancel();
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_THROW(waiter.get(), WaitCancelled);
    EXPECT_TRUE(token.Cancelled());
}

TEST(CancelToken, IsCurrentOnlyInsideItsScopeAndScopesNest) {
    CancelToken outer, inner;
    EXPECT_EQ(CancelScope::Current(), nullptr);
    {
        const CancelScope a(outer);
        {
            const CancelScope b(inner);
            EXPECT_EQ(CancelScope::Current(), &inner);
            // Another thread has no token of its own.
            std::thread([] { EXPECT_EQ(CancelScope::Current(), nullptr); }).join();
        }
        EXPECT_EQ(CancelScope::Current(), &outer);
        outer.Cancel();
        EXPECT_THROW(SleepUntil(Deadline(1.0f)), WaitCancelled);
    }
    EXPECT_EQ(CancelScope::Current(), nullptr);
    EXPECT_NO_THROW(SleepUntil(Deadline(0.01f)));  // a cancelled token out of scope ends nothing
}

// -- the interrupt check -------------------------------------------------------------------------

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

std::atomic<bool> g_interrupt{false};
std::atomic<int> g_checks{0};

void ThrowWhenAsked() {
    ++g_checks;
    if (g_interrupt.exchange(false)) throw Interrupted();
}

class InterruptCheck : public ::testing::Test {
protected:
    void SetUp() override {
        g_interrupt = false;
        g_checks = 0;
        SetInterruptCheck(&ThrowWhenAsked);
        struct sigaction action {};
        action.sa_handler = [](int) {};  // only interrupts system calls
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    void TearDown() override {
        SetInterruptCheck(nullptr);
        ::sigaction(SIGUSR1, &previous_, nullptr);
    }
    struct sigaction previous_ {};
};

TEST_F(InterruptCheck, ASignalEndsAWaitWithoutLimitByTheCheckThrowing) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    std::promise<pthread_t> started;
    auto waiter = std::async(std::launch::async, [&] {
        started.set_value(::pthread_self());
        return stream.AwaitBytes(1, Deadline::Never());
    });
    const pthread_t thread = started.get_future().get();
    std::this_thread::sleep_for(100ms);
    g_interrupt = true;
    ::pthread_kill(thread, SIGUSR1);
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_THROW(waiter.get(), Interrupted);
}

TEST_F(InterruptCheck, IsAskedEverySliceEvenWithoutASignal) {
    // A signal that lands just before the sleep does not interrupt it; the
    // check still runs within a slice.
    SleepUntil(Deadline(0.3f));
    EXPECT_GE(g_checks.load(), 3);
    g_interrupt = true;
    const auto start = Clock::now();
    EXPECT_THROW(SleepUntil(Deadline::Never()), Interrupted);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(InterruptCheck, UninterruptibleWaitsNeverAsk) {
    g_interrupt = true;
    EXPECT_NO_THROW(SleepUntil(Deadline(0.12f), false));
    EXPECT_EQ(g_checks.load(), 0);
}

TEST_F(InterruptCheck, EndsADeviceExchangeWithNothingMoreRead) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    Device device(&stream, 0.0f);  // no limit
    peer.Deliver({0xBA, 0x00});    // a notification whose length never comes
    std::promise<pthread_t> started;
    auto waiter = std::async(std::launch::async, [&] {
        started.set_value(::pthread_self());
        return device.ReadHeaderCode();
    });
    const pthread_t thread = started.get_future().get();
    std::this_thread::sleep_for(100ms);
    g_interrupt = true;
    ::pthread_kill(thread, SIGUSR1);
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_THROW(waiter.get(), Interrupted);
    EXPECT_EQ(peer.PendingForLibrary(), 1);  // the code was consumed, the rest waits
}

// -- the stream's wait over a pty ------------------------------------------------------------------

class StreamWait : public ::testing::Test {
protected:
    PtyPeer peer;
    SerialStream stream{peer.Path()};
};

// Some of the bytes waiting, the rest to come: the wait sleeps rather than
// spins, also when more are missing than a readable threshold (VMIN, one
// byte) can express, and the rest arriving ends it.
struct PartlyThere {
    const char* name;
    std::size_t have, want;
};

class StreamWaitPartly : public StreamWait, public ::testing::WithParamInterface<PartlyThere> {};

TEST_P(StreamWaitPartly, SleepsUntilTheRestArrives) {
    const auto [name, have, want] = GetParam();
    peer.Deliver(Bytes(have, 0x2B));
    const auto [cpu, wall] = Costs([&] { EXPECT_EQ(stream.AwaitBytes(want, Deadline(0.3f)), WaitResult::TimedOut); });
    EXPECT_GE(wall, 300ms);
    EXPECT_LT(cpu, 100ms);
    peer.SendAfter(50ms, Bytes(want - have, 0));
    EXPECT_EQ(stream.AwaitBytes(want, Deadline(5.0f)), WaitResult::Ready);
    EXPECT_EQ(stream.BytesAvailable(), static_cast<int>(want));
}

INSTANTIATE_TEST_SUITE_P(Waits, StreamWaitPartly,
                         ::testing::Values(PartlyThere{"PartOfAReply", 10, 24},
                                           PartlyThere{"MoreMissingThanAThresholdCanExpress", 300, 1024}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(StreamWait, ThresholdLeftBehindDoesNotBreakLaterReads) {
    // The wait for 24 leaves the port's VMIN at 24; a read of fewer bytes,
    // or of none waiting, must behave as before.
    EXPECT_EQ(stream.AwaitBytes(24, Deadline(0.05f)), WaitResult::TimedOut);
    peer.Deliver({1, 2, 3});
    char got[3];
    stream.read(got, 3);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{1, 2, 3}));
    peer.SendAfter(50ms, {4});
    stream.read(got, 1);  // nothing waiting at first: the stream's own read waits for it
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(got[0], 4);
}

TEST_F(StreamWait, HangUpEndsTheWaitAtOnce) {
    std::thread pull([&] {
        std::this_thread::sleep_for(100ms);
        peer.HangUp();
    });
    const auto start = Clock::now();
    EXPECT_EQ(stream.AwaitBytes(1, Deadline(5.0f)), WaitResult::HungUp);
    EXPECT_LT(Clock::now() - start, 2s);
    pull.join();
}

TEST_F(StreamWait, FailedStreamIsReadyAtOnceSoItsReadFails) {
    stream.setstate(std::ios::failbit);
    const auto start = Clock::now();
    EXPECT_EQ(stream.AwaitBytes(1, Deadline(5.0f)), WaitResult::Ready);
    EXPECT_LT(Clock::now() - start, 1s);
}

// -- the device's waits --------------------------------------------------------------------------------

TEST(DeviceWaits, AfterAHangUpEveryLaterWaitEndsAtOnceAndSaysWhy) {
    PtyPeer peer;
    SerialStream stream(peer.Path());
    Device device(&stream, 2.0f);
    peer.HangUp();
    StderrCapture capture;
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(24), 0);
    char raw[4];
    EXPECT_EQ(device.read_raw(raw, 4, 2.0f), 0u);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_LT(Clock::now() - start, 1s);  // each would otherwise take 2 s
    const auto lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "[err] Library/src/Device:94> unable to read header code from stream: [5] Input/output error");
}

TEST(DeviceWaits, ChatterBeforeALongPayloadIsHeldToOneLimitFromTheFirstNotification) {
    // Each notification announces 8 bytes and delivers them one at a time,
    // each well within a limit of its own: without a cap on the whole the
    // device could hold the caller for good.
    PtyPeer peer;
    SerialStream stream(peer.Path());
    Device device(&stream, 0.2f);
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        const auto begin = Clock::now();
        while (!stop && Clock::now() - begin < 3s) {
            peer.Send({0xBB, 0x00, 0x08});
            for (int i = 0; i < 8 && !stop; ++i) {
                std::this_thread::sleep_for(15ms);
                peer.Send({0x11});
            }
        }
    });
    StderrCapture capture;
    const auto [cpu, wall] = Costs([&] { EXPECT_EQ(device.ReadHeaderCode(), 0); });
    stop = true;
    chatter.join();
    EXPECT_LT(wall, 1000ms);
    EXPECT_LT(cpu, 100ms);
    EXPECT_EQ(capture.Lines().size(), 1u);
}

}  // namespace
