// The servo loop: the envelope's rules one by one (pure arithmetic), then the
// loop itself against a scripted arm on a pty: faults cost one tick, late
// replies are never taken, every way of ending sends a zero force last, the
// state is never torn. These tests also run under ThreadSanitizer.

#include "Korvo/Haptics/Servo.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Envelope.h"
#include "Korvo/Realtime/SeqLock.h"
#include "Korvo/HardwareAPI/Devices/ArmModel.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Realtime/Rings.h"
#include "support/ArmPeer.h"

namespace {

using namespace Korvo::Haptics;
using namespace Korvo::Realtime;
using Korvo::HardwareAPI::Devices::Arvena;
using Korvo::HardwareAPI::Devices::DeviceLent;
using Korvo::HardwareAPI::IO::SerialStream;
using Korvo::Testing::ArmPeer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kDt = 0.001;

// -- the envelope ----------------------------------------------------------------------------

Envelope::Tick At(double now, bool ok = true, double speed = 0.0, double since_call_in = 0.0) {
    return {now, kDt, ok, speed, since_call_in};
}

SafetyLimits Loose() {
    SafetyLimits l;
    l.max_force = 4.0;
    l.max_force_step = 100.0;
    l.ramp_time = 1e-9;
    l.max_speed = 1.0;
    return l;
}

// Limits above and below 1 N, forces over and under them: a clamp that
// compared the squared length with the limit would lengthen a force under a
// limit above 1 N, and let one over a limit below 1 N through.
struct Clamp {
    const char* name;
    double limit, asked, sent;
};

class EnvelopeClamp : public ::testing::TestWithParam<Clamp> {};

TEST_P(EnvelopeClamp, ShortensOnlyAForceOverTheLimitAndKeepsItsDirection) {
    const Clamp c = GetParam();
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.max_force = c.limit;
    const Vector3d asked{0.6 * c.asked, 0.0, 0.8 * c.asked};
    const Vector3d f = e.Next(asked, At(1.0), l);
    if (c.asked <= c.limit) {
        EXPECT_EQ(f, asked);
    } else {
        EXPECT_NEAR(Norm(f), c.sent, 1e-12);
        EXPECT_NEAR(f[0] / f[2], 0.75, 1e-12);
        EXPECT_EQ(f[1], 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Envelope, EnvelopeClamp,
                         ::testing::Values(Clamp{"OverALimitAbove1N", 2.5, 5.0, 2.5},
                                           Clamp{"UnderALimitAbove1N", 4.0, 3.0, 3.0},
                                           Clamp{"AtALimitAbove1N", 4.0, 4.0, 4.0},
                                           Clamp{"OverALimitBelow1N", 0.5, 0.6, 0.5},
                                           Clamp{"UnderALimitBelow1N", 0.5, 0.4, 0.4}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Envelope, ForceGrowsAtMostOneStepPerTickAndNeverWaitsToShrink) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.max_force_step = 0.1;
    Vector3d previous = kZero;
    int ticks = 0;
    for (double now = 1.0; Norm(previous - Vector3d{2.0, -2.0, 1.0}) > 1e-9; now += kDt, ++ticks) {
        const Vector3d f = e.Next({2.0, -2.0, 1.0}, At(now), l);
        ASSERT_LE(Norm(f - previous), 0.1 + 1e-12);
        ASSERT_LE(Norm(f), Norm(previous) + 0.1 + 1e-12);
        previous = f;
    }
    EXPECT_EQ(ticks, 30);  // |(2, -2, 1)| = 3 N at 0.1 N per tick
    // Toward zero at once, part of the way or all of it.
    EXPECT_NEAR(Norm(e.Next({1.0, -1.0, 0.5}, At(2.0), l)), 1.5, 1e-12);
    EXPECT_EQ(e.Next(kZero, At(2.001), l), kZero);
    // A turn is a shrink toward zero and a step out: never longer than a step
    // beyond the part of the last force that points the new way.
    for (int i = 0; i < 40; ++i) e.Next({3.0, 0.0, 0.0}, At(3.0 + i * kDt), l);
    const Vector3d turned = e.Next({0.0, 3.0, 0.0}, At(4.0), l);
    EXPECT_NEAR(turned[0], 0.0, 1e-12);
    EXPECT_NEAR(turned[1], 0.1, 1e-12);
    // The opposite way: through zero, then growing a step a tick.
    for (int i = 0; i < 40; ++i) e.Next({3.0, 0.0, 0.0}, At(5.0 + i * kDt), l);
    EXPECT_NEAR(e.Next({-3.0, 0.0, 0.0}, At(6.0), l)[0], -0.1, 1e-12);
}

TEST(Envelope, ALoweredLimitActsAtTheNextTick) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.max_force_step = 0.05;
    Vector3d f = kZero;
    for (int i = 0; i < 200; ++i) f = e.Next({0.0, 3.9, 0.0}, At(1.0 + i * kDt), l);
    ASSERT_NEAR(Norm(f), 3.9, 1e-9);
    l.max_force = 0.5;
    f = e.Next({0.0, 3.9, 0.0}, At(2.0), l);
    EXPECT_NEAR(f[1], 0.5, 1e-12);  // not 3.85: the step limit never holds a force above a limit
    for (int i = 0; i < 10; ++i) EXPECT_LE(Norm(e.Next({0.0, 3.9, 0.0}, At(2.001 + i * kDt), l)), 0.5 + 1e-12);
}

TEST(Envelope, AHugeFiniteForceIsShortenedWithItsDirectionKept) {
    for (const double huge : {1e154, 1e200, 1.7e308}) {
        Envelope e;
        e.Start(0.0);
        SafetyLimits l = Loose();
        l.max_force = 2.0;
        const Vector3d f = e.Next({huge, 0.0, -huge}, At(1.0), l);
        EXPECT_NEAR(Norm(f), 2.0, 1e-9) << huge;
        EXPECT_NEAR(f[0], -f[2], 1e-9) << huge;
        EXPECT_EQ(e.Faults(), kNoFault) << huge;
    }
}

TEST(Envelope, DisabledSendsZeroAtOnceAndEnabledRampsIn) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.ramp_time = 0.1;
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(1.0), l)[0], 1.0, 1e-12);
    Envelope::Tick off = At(1.001);
    off.enabled = false;
    EXPECT_EQ(e.Next({1.0, 0.0, 0.0}, off, l), kZero);
    EXPECT_EQ(e.Faults(), kNoFault);  // disabled is a state, not a fault
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(1.002), l)[0], 0.0, 1e-12);  // enabled again: the ramp starts
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(1.052), l)[0], 0.5, 1e-12);
}

TEST(Envelope, RampsFromZeroAtStartAndAfterAFaultClears) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.ramp_time = 0.1;
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(0.025), l)[0], 0.25, 1e-12);
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(0.05), l)[0], 0.5, 1e-12);
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(0.2), l)[0], 1.0, 1e-12);
    // A fault (speed) takes the force away at once; once cleared it ramps in.
    EXPECT_EQ(e.Next({1.0, 0.0, 0.0}, At(0.3, true, 2.0), l), kZero);
    EXPECT_EQ(e.Faults(), kSpeed);
    EXPECT_EQ(e.Next({1.0, 0.0, 0.0}, At(0.4, true, 0.1), l), kZero);  // cleared this tick: the ramp starts at 0
    EXPECT_EQ(e.Faults(), kNoFault);
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(0.45, true, 0.1), l)[0], 0.5, 1e-12);
}

TEST(Envelope, SpeedFaultClearsOnlyWellBelowTheLimit) {
    Envelope e;
    e.Start(0.0);
    const SafetyLimits l = Loose();  // 1 m/s
    e.Next({1.0, 0.0, 0.0}, At(1.0, true, 1.01), l);
    EXPECT_EQ(e.Faults(), kSpeed);
    EXPECT_DOUBLE_EQ(e.FaultTime(), 1.0);
    e.Next({1.0, 0.0, 0.0}, At(1.1, true, 0.9), l);
    EXPECT_EQ(e.Faults(), kSpeed);  // below the limit, not below half of it
    e.Next({1.0, 0.0, 0.0}, At(1.2, false, 5.0), l);
    EXPECT_EQ(e.Faults(), kSpeed);  // no reply: no speed to judge by
    e.Next({1.0, 0.0, 0.0}, At(1.3, true, 0.49), l);
    EXPECT_EQ(e.Faults(), kNoFault);
}

TEST(Envelope, HeartbeatLapseFadesTheForceToZeroLinearly) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.heartbeat = 0.1;
    l.fade_time = 0.004;  // four ticks
    // Called in exactly one heartbeat ago: not lapsed yet.
    EXPECT_NEAR(e.Next({2.0, 0.0, 0.0}, At(1.0, true, 0.0, 0.1), l)[0], 2.0, 1e-12);
    EXPECT_EQ(e.Faults(), kNoFault);
    std::vector<double> faded;
    for (int i = 0; i < 5; ++i) faded.push_back(e.Next({2.0, 0.0, 0.0}, At(1.1 + i * kDt, true, 0.0, 0.2), l)[0]);
    EXPECT_EQ(e.Faults(), kHeartbeat);
    EXPECT_NEAR(faded[0], 1.5, 1e-9);
    EXPECT_NEAR(faded[1], 1.0, 1e-9);
    EXPECT_NEAR(faded[2], 0.5, 1e-9);
    EXPECT_NEAR(faded[3], 0.0, 1e-9);
    EXPECT_NEAR(faded[4], 0.0, 1e-9);
    // The program calls in again: the fault clears and the force ramps in.
    l.ramp_time = 0.01;
    EXPECT_EQ(e.Next({2.0, 0.0, 0.0}, At(1.2, true, 0.0, 0.0), l), kZero);
    EXPECT_EQ(e.Faults(), kNoFault);
    EXPECT_NEAR(e.Next({2.0, 0.0, 0.0}, At(1.205, true, 0.0, 0.0), l)[0], 1.0, 1e-9);
}

// A lapsed heartbeat fades what was sent, but a force asked for that falls
// below the fade (effects that bring it down themselves) is not held up.
TEST(Envelope, AHeartbeatFadeNeverSendsMoreThanIsAskedFor) {
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.heartbeat = 0.1;
    l.fade_time = 0.01;
    EXPECT_NEAR(e.Next({2.0, 0.0, 0.0}, At(1.0, true, 0.0, 0.1), l)[0], 2.0, 1e-12);
    EXPECT_NEAR(e.Next({2.0, 0.0, 0.0}, At(1.001, true, 0.0, 0.2), l)[0], 1.8, 1e-9);  // fading
    EXPECT_NEAR(e.Next({0.5, 0.0, 0.0}, At(1.002, true, 0.0, 0.2), l)[0], 0.5, 1e-9);  // asked for less
    EXPECT_NEAR(e.Next({0.5, 0.0, 0.0}, At(1.003, true, 0.0, 0.2), l)[0], 0.5, 1e-9);  // under the fade: kept
    EXPECT_EQ(e.Next({0.0, 0.0, 0.0}, At(1.004, true, 0.0, 0.2), l), kZero);           // nothing: nothing
    EXPECT_EQ(e.Faults(), kHeartbeat);
    // And never more than the fade allows.
    EXPECT_NEAR(e.Next({2.0, 0.0, 0.0}, At(1.005, true, 0.0, 0.2), l)[0], 1.0, 1e-9);
}

class FailedExchangesInARow : public ::testing::TestWithParam<bool> {};

TEST_P(FailedExchangesInARow, RaiseTheFaultAndMayStop) {
    const bool stop = GetParam();
    Envelope e;
    e.Start(0.0);
    SafetyLimits l = Loose();
    l.max_failed_exchanges = 3;
    l.stop_on_failure = stop;
    e.Next({1.0, 0.0, 0.0}, At(1.0, false), l);
    e.Next({1.0, 0.0, 0.0}, At(1.001, false), l);
    EXPECT_EQ(e.Faults(), kNoFault);
    EXPECT_EQ(e.Next({1.0, 0.0, 0.0}, At(1.002, false), l), kZero);
    EXPECT_EQ(e.Faults(), kExchanges);
    EXPECT_EQ(e.StopRequested(), stop);
    e.Next({1.0, 0.0, 0.0}, At(1.003, true), l);
    EXPECT_EQ(e.Faults(), kNoFault);
}

INSTANTIATE_TEST_SUITE_P(Envelope, FailedExchangesInARow, ::testing::Bool(),
                         [](const auto& p) { return std::string(p.param ? "StopOnFailure" : "KeepRunning"); });

TEST(Envelope, AForceThatIsNotFiniteIsNeverSent) {
    Envelope e;
    e.Start(0.0);
    const SafetyLimits l = Loose();
    EXPECT_NEAR(e.Next({1.0, 0.0, 0.0}, At(1.0), l)[0], 1.0, 1e-12);
    EXPECT_EQ(e.Next({NAN, 0.0, 0.0}, At(1.001), l), kZero);
    EXPECT_EQ(e.Faults(), kBadForce);
    EXPECT_EQ(e.Next({INFINITY, 0.0, 0.0}, At(1.002), l), kZero);
    EXPECT_EQ(e.Next({1.0, 0.0, 0.0}, At(1.003), l), kZero);  // cleared: ramps in again from zero
    EXPECT_EQ(e.Faults(), kNoFault);
}

// -- options ------------------------------------------------------------------------------------------

struct BadOption {
    const char* name;
    void (*spoil)(ServoOptions&);
};

class ServoOptionsCheck : public ::testing::TestWithParam<BadOption> {};

TEST_P(ServoOptionsCheck, RefusesNamingTheOption) {
    ServoOptions options;
    GetParam().spoil(options);
    try {
        Servo::Check(options);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(GetParam().name, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ServoOptionsCheck,
    ::testing::Values(BadOption{"rate", [](ServoOptions& o) { o.rate = 0.0; }},
                      BadOption{"rate", [](ServoOptions& o) { o.rate = -1.0; }},
                      BadOption{"rate", [](ServoOptions& o) { o.rate = NAN; }},
                      BadOption{"rate", [](ServoOptions& o) { o.rate = 1e6; }},
                      BadOption{"exchange_timeout", [](ServoOptions& o) { o.exchange_timeout = -0.1; }},
                      BadOption{"exchange_timeout", [](ServoOptions& o) { o.exchange_timeout = INFINITY; }},
                      BadOption{"realtime_priority", [](ServoOptions& o) { o.realtime_priority = 0; }},
                      BadOption{"max_force", [](ServoOptions& o) { o.limits.max_force = 0.0; }},
                      BadOption{"max_force", [](ServoOptions& o) { o.limits.max_force = NAN; }},
                      BadOption{"max_force_step", [](ServoOptions& o) { o.limits.max_force_step = -1.0; }},
                      BadOption{"ramp_time", [](ServoOptions& o) { o.limits.ramp_time = 0.0; }},
                      BadOption{"max_speed", [](ServoOptions& o) { o.limits.max_speed = INFINITY; }},
                      BadOption{"heartbeat", [](ServoOptions& o) { o.limits.heartbeat = -1.0; }},
                      BadOption{"fade_time", [](ServoOptions& o) { o.limits.fade_time = NAN; }},
                      BadOption{"max_failed_exchanges", [](ServoOptions& o) { o.limits.max_failed_exchanges = 0; }}),
    [](const auto& p) { return std::string(p.param.name) + std::to_string(p.index); });

TEST(ServoOpen, APortThatCannotBeOpenedThrowsWithItsPath) {
    try {
        Servo servo("/nonexistent/korvo-arm");
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/korvo-arm"), std::string::npos);
    }
}

// -- the loop against a scripted arm ---------------------------------------------------------------------

// Tests that are not about deadlines give each exchange far more time than a
// reply takes on a loaded machine (a sanitizer build, other builds beside
// it), and the loop real-time priority where it may have it: no tick fails
// on its own there.
ServoOptions Patient(double rate = 1000.0) {
    ServoOptions o;
    o.rate = rate;
    o.realtime = RealTimePolicy::Prefer;
    o.exchange_timeout = 1.0;
    o.limits.ramp_time = 0.01;
    o.limits.max_force_step = 1.0;
    return o;
}

// What the loop says of its own timing, and the machine's load: the context
// of a failure that timing could explain.
std::string Load(const Servo& servo) {
    const ServoStats s = servo.Stats();
    double load[3] = {0.0, 0.0, 0.0};
    static_cast<void>(::getloadavg(load, 3));
    std::ostringstream out;
    out << "(the loop: " << s.ticks << " ticks, " << s.overruns << " over 1.5 periods, period p99 "
        << s.period_p99 * 1e3 << " ms, max " << s.period_max * 1e3 << " ms, exchange max " << s.exchange_max * 1e3
        << " ms, " << s.failed_exchanges << " failed; load average " << load[0] << ")";
    return out.str();
}

// Runs until the scripted arm has seen `n` force requests.
void RunFor(ArmPeer& arm, std::size_t n) { ASSERT_TRUE(arm.AwaitForces(n, 8s)) << "only " << arm.ForceCount(); }

// Runs until the loop has counted `n` ticks.
void RunTicks(const Servo& servo, std::uint64_t n) {
    for (int i = 0; i < 4000 && servo.Running() && servo.State().tick < n; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_GE(servo.State().tick, n) << Load(servo);
}

// The last force a stopped loop wrote: its first exchange's, one a tick, and
// the zero force of its last exchange are in the pty, but the peer's thread
// may not have read them all yet.
ArmPeer::Force LastForce(const ArmPeer& arm, const Servo& servo) {
    const std::size_t written = servo.Stats().ticks + 2;
    EXPECT_TRUE(arm.AwaitForces(written, 5s)) << arm.ForceCount() << " of " << written << " forces came";
    const auto forces = arm.Forces();
    return forces.empty() ? ArmPeer::Force{-1.0f, -1.0f, -1.0f} : forces.back();
}

TEST(ServoLoop, SendsTheCommandedForceEveryTickAndZeroLast) {
    ArmPeer arm;
    Servo servo(arm.Path(), Patient());
    servo.Start();
    servo.SetForce({0.5, -0.25, 1.0});
    RunFor(arm, 100);
    const ServoState state = servo.State();
    EXPECT_TRUE(state.exchange_ok);
    EXPECT_EQ(state.force, (Vector3d{0.5, -0.25, 1.0}));
    EXPECT_EQ(state.commanded, (Vector3d{0.5, -0.25, 1.0}));
    servo.Stop();
    const auto forces = arm.Forces();
    EXPECT_EQ(forces.back(), (ArmPeer::Force{0.0f, 0.0f, 0.0f}));
    EXPECT_FALSE(servo.Running());
    const ServoStats stats = servo.Stats();
    EXPECT_GE(stats.ticks, 90u);
    EXPECT_EQ(stats.failed_exchanges, 0u);
}

enum class Broken { Dropped, Corrupt, Late };

class OneBadReply : public ::testing::TestWithParam<Broken> {};

TEST_P(OneBadReply, CostsOneTickAndIsNeverTakenForALaterAnswer) {
    ArmPeer arm;
    arm.NumberReplies(true);
    const std::size_t bad = 60;  // the force request the fault hits
    switch (GetParam()) {
        case Broken::Dropped:
            arm.Inject(bad, ArmPeer::Fault::Drop);
            break;
        case Broken::Corrupt:
            arm.Inject(bad, ArmPeer::Fault::Corrupt);
            break;
        case Broken::Late:
            arm.Inject(bad, ArmPeer::Fault::Late, 750ms);  // after its tick gave up, within the next one
            break;
    }
    // Deadlines long enough that a busy machine fails no tick on its own,
    // and lets a late reply come a whole 250 ms late.
    ServoOptions options = Patient();
    options.exchange_timeout = 0.5;
    Servo servo(arm.Path(), options);
    servo.Start();
    RunFor(arm, 150);
    servo.Stop();
    const Recording rec = servo.Drain();
    std::vector<std::uint64_t> failed;
    for (const TickRecord& r : rec.ticks) {
        if (!r.exchange_ok) {
            failed.push_back(r.tick);
            continue;
        }
        // Every reply taken answers its own tick's request: the first
        // exchange was request 0, so tick t sent request t + 1.
        ASSERT_NEAR(r.position[0], static_cast<float>(r.tick + 1) * 1e-4f, 1e-7f) << "tick " << r.tick;
    }
    // The bad reply answers request 60, sent at tick 59: it costs that tick
    // and not the next. A stall that keeps the peer's replies back for whole
    // exchange limits in a row (a loaded run's: load average 11) may add one
    // run of failed ticks elsewhere, never next to it.
    const auto has = [&](std::uint64_t tick) { return std::find(failed.begin(), failed.end(), tick) != failed.end(); };
    EXPECT_TRUE(has(59) && !has(58) && !has(60)) << Load(servo);
    std::size_t runs = 0;
    for (std::size_t i = 0; i < failed.size(); ++i) {
        if (failed[i] != 59 && (i == 0 || failed[i - 1] + 1 != failed[i])) ++runs;
    }
    EXPECT_LE(runs, 1u) << Load(servo);
    EXPECT_EQ(servo.Stats().failed_exchanges, failed.size());
}

INSTANTIATE_TEST_SUITE_P(Faults, OneBadReply, ::testing::Values(Broken::Dropped, Broken::Corrupt, Broken::Late),
                         [](const auto& p) {
                             return std::string(p.param == Broken::Dropped   ? "Dropped"
                                                : p.param == Broken::Corrupt ? "Corrupt"
                                                                             : "Late");
                         });

TEST(ServoLoop, AStallThatOutlastsEveryMarkerEndsWhenItsRepliesCome) {
    ArmPeer arm;
    arm.NumberReplies(true);
    // The reply to request 60, and every one after it, held back longer than
    // the deadlines of its own tick and of four resynchronising ticks (one
    // per kind of marker, 250 ms in all): the loop has been sending blind
    // for a while when they all come at once. The markers in flight are
    // given up 500 ms after the first was sent.
    ServoOptions options = Patient();
    options.exchange_timeout = 0.05;
    arm.Inject(60, ArmPeer::Fault::Late, 300ms);
    Servo servo(arm.Path(), options);
    servo.Start();
    RunFor(arm, 400);
    servo.Stop();
    const Recording rec = servo.Drain();
    // From the tick whose reply was held back (tick 59 sent request 60) to
    // the first one in step again; a tick that a loaded machine fails
    // elsewhere is not the stall's.
    double stalled = -1.0, recovered = -1.0;
    for (const TickRecord& r : rec.ticks) {
        if (r.tick == 59) {
            ASSERT_FALSE(r.exchange_ok);
            stalled = r.time;
        }
        if (!r.exchange_ok) continue;
        ASSERT_NEAR(r.position[0], static_cast<float>(r.tick + 1) * 1e-4f, 1e-7f) << "tick " << r.tick;
        if (stalled >= 0.0 && recovered < 0.0) recovered = r.time;
    }
    ASSERT_GE(stalled, 0.0);
    ASSERT_GE(recovered, 0.0);
    // Back in step with the first tick after the replies came (300 ms), not
    // once the markers in flight are given up (550 ms); the margins are for
    // a loaded machine.
    const double failing = recovered - stalled;
    EXPECT_GT(failing, 0.2) << Load(servo);
    EXPECT_LT(failing, 0.45) << Load(servo);
}

TEST(ServoLoop, SpeedAboveTheLimitTakesTheForceAway) {
    ArmPeer arm;
    ServoOptions options = Patient();
    options.limits.max_speed = 0.5;
    Servo servo(arm.Path(), options);
    servo.Start();
    servo.SetForce({1.0, 0.0, 0.0});
    RunFor(arm, 50);
    arm.SetState({0.0f, 0.02f, 0.2f}, {0.0f, 0.6f, 0.0f});
    const std::size_t from = arm.ForceCount();
    RunFor(arm, from + 20);
    const ServoState state = servo.State();
    EXPECT_EQ(state.faults, kSpeed);
    EXPECT_EQ(state.force, kZero);
    arm.SetState({0.0f, 0.02f, 0.2f}, {0.0f, 0.1f, 0.0f});
    RunFor(arm, arm.ForceCount() + 50);
    EXPECT_EQ(servo.State().faults, kNoFault);
    EXPECT_EQ(servo.State().force, (Vector3d{1.0, 0.0, 0.0}));
    servo.Stop();
}

TEST(ServoLoop, ASilentArmRaisesTheFailureFaultAndMayStopTheLoop) {
    ArmPeer arm;
    ServoOptions options = Patient();
    options.exchange_timeout = 0.02;  // failures are what this test is about
    options.limits.max_failed_exchanges = 5;
    options.limits.stop_on_failure = true;
    Servo servo(arm.Path(), options);
    servo.Start();
    servo.SetForce({1.0, 0.0, 0.0});
    RunFor(arm, 30);
    arm.Mute(true);
    for (int i = 0; i < 1000 && servo.Running(); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_FALSE(servo.Running());
    EXPECT_EQ(servo.State().faults, kExchanges);
    EXPECT_EQ(servo.EndReason().rfind("stopped after repeated failed exchanges at tick ", 0), 0u) << servo.EndReason();
    servo.Stop();
    EXPECT_EQ(LastForce(arm, servo), (ArmPeer::Force{0.0f, 0.0f, 0.0f}));  // written, even unanswered
}

TEST(ServoLoop, APulledCableIsAFaultAndAnEndNotACrash) {
    ArmPeer arm;
    Servo servo(arm.Path(), Patient());
    servo.Start();
    RunFor(arm, 20);
    arm.HangUp();
    for (int i = 0; i < 1000 && servo.Running(); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_FALSE(servo.Running());
    EXPECT_NE(servo.State().faults & kDisconnected, 0u);
    EXPECT_EQ(servo.EndReason().rfind("disconnected: the arm's port hung up at tick ", 0), 0u) << servo.EndReason();
    servo.Stop();
    // A new loop on a new port works.
    ArmPeer other;
    Servo fresh(other.Path(), Patient());
    fresh.Start();
    RunFor(other, 20);
    fresh.Stop();
}

TEST(ServoLoop, ABorrowedArmIsRefusedToOthersWhileTheLoopRuns) {
    ArmPeer peer;
    SerialStream stream(peer.Path());
    Arvena arm(&stream, 0.5f);
    {
        Servo servo(arm, Patient());
        servo.Start();
        RunFor(peer, 10);
        EXPECT_THROW(arm.end_effector_force({0.0f, 0.0f, 0.0f}), DeviceLent);
        EXPECT_THROW(arm.get_temperature(), DeviceLent);
        Servo second(arm, Patient());
        EXPECT_THROW(second.Start(), std::runtime_error);
    }
    // Lent back, in step: the next exchange is answered.
    const auto state = arm.end_effector_force({0.0f, 0.0f, 0.0f});
    EXPECT_FLOAT_EQ(state.position[2], 0.2f);
}

TEST(ServoLoop, ReadersOnOtherThreadsNeverSeeATornTick) {
    ArmPeer arm;
    Servo servo(arm.Path(), Patient(2000.0));
    // The hook's force is a function of the tick: a state whose commanded
    // force does not match its own tick number was put together from two.
    servo.SetForceHook([](const TickInput& in) {
        const double t = static_cast<double>(in.tick % 1000) * 1e-3;
        return Vector3d{t, 2.0 * t, -t};
    });
    servo.Start();
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const ServoState s = servo.State();
                const double t = static_cast<double>(s.tick % 1000) * 1e-3;
                if (s.tick > 0 && (s.commanded != Vector3d{t, 2.0 * t, -t})) ++torn;
                ++reads;
            }
        });
    }
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) servo.SetForce({0.0, 0.0, 0.0});
    });
    RunFor(arm, 600);
    stop = true;
    for (auto& r : readers) r.join();
    writer.join();
    servo.Stop();
    EXPECT_GT(reads.load(), 100);
    EXPECT_EQ(torn.load(), 0);
}

TEST(ServoLoop, AFullRecordingKeepsTheNewestTicksAndCountsWhatItLost) {
    ArmPeer arm;
    ServoOptions options = Patient();
    options.recording = 64;
    Servo servo(arm.Path(), options);
    servo.Start();
    RunTicks(servo, 40);
    Recording first = servo.Drain();
    ASSERT_FALSE(first.ticks.empty());
    // The ring overflows by the loop's own count, however slowly it runs.
    RunTicks(servo, first.ticks.back().tick + 200);
    servo.Stop();
    Recording second = servo.Drain();
    for (const Recording* rec : {&first, &second}) {
        for (std::size_t i = 1; i < rec->ticks.size(); ++i) {
            ASSERT_EQ(rec->ticks[i].tick, rec->ticks[i - 1].tick + 1);
        }
    }
    ASSERT_EQ(second.ticks.size(), 64u);
    // The ring kept the end of the run, the last tick included.
    EXPECT_EQ(second.ticks.back().tick + 1, servo.Stats().ticks) << Load(servo);
    EXPECT_GT(second.ticks.front().tick, first.ticks.back().tick + 1);
    // What it lost lies between the two drains, each tick counted.
    EXPECT_EQ(first.ticks.front().tick, first.dropped);
    EXPECT_EQ(second.dropped, second.ticks.front().tick - first.ticks.back().tick - 1);
}

TEST(ServoLoop, ATickOverOneAndAHalfPeriodsIsAnOverrun) {
    ArmPeer arm;
    ServoOptions options = Patient(100.0);
    Servo servo(arm.Path(), options);
    // Every fourth tick holds the servo thread until 1.75 periods after it
    // began, so the tick after it comes that late.
    servo.SetForceHook([&servo](const TickInput& in) {
        if (in.tick % 4 == 1) {
            const Seconds until(servo.StartedAt() + in.time + 1.75 * in.dt);
            std::this_thread::sleep_until(Clock::time_point(std::chrono::duration_cast<Clock::duration>(until)));
        }
        return kZero;
    });
    servo.Start();
    // The load of the machine decides how long a held tick really lasts:
    // enough of them to see some end between 1.5 and 2 periods.
    std::vector<TickRecord> ticks;
    std::size_t between = 0;
    for (int i = 0; i < 400 && between < 3; ++i) {
        std::this_thread::sleep_for(10ms);
        for (const TickRecord& r : servo.Drain().ticks) {
            ticks.push_back(r);
            between += r.period > 0.015 && r.period <= 0.02;
        }
    }
    servo.Stop();
    for (const TickRecord& r : servo.Drain().ticks) ticks.push_back(r);
    std::uint64_t over = 0;
    std::ostringstream periods;
    for (const TickRecord& r : ticks) {
        over += r.period > 0.015;
        if (r.tick % 4 == 2) periods << " " << r.period * 1e3;
    }
    ASSERT_GE(between, 1u) << "the held ticks lasted (ms):" << periods.str() << " " << Load(servo);
    EXPECT_EQ(servo.Stats().overruns, over) << "the recording has " << over << " periods over 15 ms " << Load(servo);
    EXPECT_EQ(servo.Stats().ticks, ticks.size());
}

TEST(ServoLoop, StopAllEndsEveryLoopWithAZeroForce) {
    ArmPeer a, b;
    Servo one(a.Path(), Patient());
    Servo two(b.Path(), Patient());
    one.Start();
    two.Start();
    one.SetForce({1.0, 0.0, 0.0});
    two.SetForce({0.0, 1.0, 0.0});
    RunFor(a, 50);
    RunFor(b, 50);
    Servo::StopAll();
    EXPECT_FALSE(one.Running());
    EXPECT_FALSE(two.Running());
    EXPECT_EQ(LastForce(a, one), (ArmPeer::Force{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(LastForce(b, two), (ArmPeer::Force{0.0f, 0.0f, 0.0f}));
}

TEST(ServoLoop, WhatTheLoopGotIsReadableFromAnyThreadWhileItStartsAndStops) {
    ArmPeer arm;
    ServoOptions options = Patient();  // real-time priority, granted or not: the answers must be readable
    Servo servo(arm.Path(), options);
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        // Under ThreadSanitizer, any of these racing with Start() or Stop()
        // is a finding.
        while (!stop) {
            static_cast<void>(servo.Running());
            static_cast<void>(servo.RealTime());
            static_cast<void>(servo.MemoryLocked());
            static_cast<void>(servo.LowCpuLatency());
            ++reads;
        }
    });
    for (int round = 0; round < 2; ++round) {
        servo.Start();
        RunFor(arm, arm.ForceCount() + 20);
        servo.Stop();
        EXPECT_FALSE(servo.LowCpuLatency());  // the request ends with the loop
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

// -- faults leave a record; disabled means zero -----------------------------------------------------

TEST(ServoLoop, AFaultThatEndsTheLoopLeavesAFlightRecordAndEvents) {
    ArmPeer arm;
    ServoOptions options = Patient();
    options.flight_record = 50;
    options.limits.max_failed_exchanges = 5;
    options.limits.stop_on_failure = true;
    // Each unanswered tick waits this long; five of them end the loop.
    options.exchange_timeout = 0.2;
    Servo servo(arm.Path(), options);
    servo.Start();
    RunFor(arm, 100);
    arm.Mute(true);
    for (int i = 0; i < 1000 && servo.Running(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(servo.Running());
    const std::string reason = servo.EndReason();
    EXPECT_NE(reason.find("of the last 100 exchanges succeeded"), std::string::npos) << reason;
    const Recording flight = servo.FlightRecord();
    ASSERT_EQ(flight.ticks.size(), 50u);
    // The ticks up to the end: the failures that ended it are the last ones.
    const ServoState last = servo.State();
    EXPECT_EQ(flight.ticks.back().tick, last.tick);
    for (std::size_t i = flight.ticks.size() - 5; i < flight.ticks.size(); ++i) EXPECT_EQ(flight.ticks[i].exchange_ok, 0u);
    EXPECT_LT(servo.Stats().success_rate, 1.0);
    const auto events = servo.TakeEvents();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().kind, ServoEvent::Kind::FaultRaised);
    EXPECT_EQ(events.front().changed, static_cast<std::uint32_t>(kExchanges));
    EXPECT_EQ(events.back().kind, ServoEvent::Kind::Ended);
    EXPECT_EQ(events.back().changed, static_cast<std::uint32_t>(kExchanges));
    EXPECT_TRUE(servo.TakeEvents().empty());
}

TEST(ServoLoop, DisabledSendsZeroAndKeepsItsStateEnabledRampsBackIn) {
    ArmPeer arm;
    ServoOptions options = Patient();
    options.limits.ramp_time = 0.05;
    Servo servo(arm.Path(), options);
    servo.SetForce({0.0, 1.0, 0.0});
    servo.Start();
    RunFor(arm, 100);
    servo.SetEnabled(false);
    const std::size_t off_from = arm.ForceCount() + 2;  // one tick decided before it may still go out
    RunFor(arm, off_from + 30);
    EXPECT_FALSE(servo.State().enabled);
    EXPECT_TRUE(servo.State().exchange_ok);
    servo.SetEnabled(true);
    const std::size_t on_from = arm.ForceCount();
    RunFor(arm, on_from + 100);
    servo.Stop();
    const auto forces = arm.Forces();
    for (std::size_t i = off_from; i < off_from + 30; ++i) EXPECT_EQ(forces[i][1], 0.0f) << i;
    // Back with the ramp: no step up to the full force at once.
    EXPECT_LT(forces[on_from + 2][1], 0.2f);
    EXPECT_NEAR(forces[on_from + 90][1], 1.0f, 1e-6);
}

// -- other arms of the process -----------------------------------------------------------------------

TEST(ServoLoop, LeavesEveryArmsKinematicModelAlone) {
    using Korvo::HardwareAPI::Devices::SharedArmModel;
    ArmPeer arm;
    SharedArmModel().gear_ratio = {1.5f, 0.5f, 2.0f};
    SharedArmModel().inner_arm_1 = 0.2f;
    Servo servo(arm.Path(), Patient());
    servo.Start();
    RunFor(arm, 10);
    servo.Stop();
    EXPECT_EQ(SharedArmModel().gear_ratio, (std::array<float, 3>{1.5f, 0.5f, 2.0f}));
    EXPECT_EQ(SharedArmModel().inner_arm_1, 0.2f);
    SharedArmModel().Reset();
}

// -- real time, required -----------------------------------------------------------------------------

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// A process that may not have real-time priority (no CAP_SYS_NICE, an
// RLIMIT_RTPRIO of 0) and asks for it: Start() throws with the reason, and
// the arm hears nothing.
TEST(ServoLoop, RequiredRealTimeThatIsRefusedFailsStartBeforeAnythingIsSent) {
    if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer cannot follow a process that forks and starts threads";
    // The child is made before the peer's thread exists: a fork while
    // another thread holds the allocator's lock leaves the child waiting on
    // it for ever. It learns the peer's path through a pipe.
    int path_pipe[2];
    ASSERT_EQ(::pipe(path_pipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(path_pipe[1]);
        ::alarm(8);  // a hang ends the child by a signal, which fails the test
        std::string path;
        char c = 0;
        while (::read(path_pipe[0], &c, 1) == 1 && c != '\n') path += c;
        if (path.empty()) ::_exit(5);
        // Drop the capability (root has it) and the limit that let a process
        // have the real-time class.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (auto& d : data) d.effective = d.permitted = d.inheritable = 0;
            ::syscall(SYS_capset, &header, data);
        }
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_RTPRIO, &none);
        ServoOptions options = Patient();
        options.realtime = RealTimePolicy::Require;
        Servo servo(path, options);
        try {
            servo.Start();
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            ::_exit(text.find("real-time priority refused") != std::string::npos ? 0 : 2);
        }
        ::_exit(servo.RealTime() ? 3 : 4);
    }
    ::close(path_pipe[0]);
    ArmPeer arm;
    const std::string line = arm.Path() + "\n";
    EXPECT_EQ(::write(path_pipe[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(path_pipe[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "this machine grants real-time priority even so";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(arm.ForceCount(), 0u);
}

// -- the ring the recording passes through ------------------------------------------------------------

TEST(DropRing, RefusesTheNewestWhenFullAndWrapsAfterADrain) {
    Korvo::Realtime::DropRing<int> ring(3);
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(ring.Push(i));
    EXPECT_FALSE(ring.Push(4));  // never written over what is unread
    std::vector<int> out{0};
    ring.DrainInto(out);
    EXPECT_EQ(out, (std::vector<int>{0, 1, 2, 3}));  // appended, oldest first
    for (int i = 5; i <= 7; ++i) EXPECT_TRUE(ring.Push(i));
    out.clear();
    ring.DrainInto(out);
    EXPECT_EQ(out, (std::vector<int>{5, 6, 7}));
    ring.DrainInto(out);
    EXPECT_EQ(out.size(), 3u);
}

// -- the SeqLock the state is published through -----------------------------------------------------------

TEST(SeqLock, ConcurrentReadersSeeWholeValues) {
    struct Pair {
        std::uint64_t a, b;
    };
    SeqLock<Pair> shared(Pair{0, ~0ull});
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::thread reader([&] {
        while (!stop) {
            const Pair p = shared.Load();
            if (p.b != ~p.a) ++bad;
        }
    });
    for (std::uint64_t i = 1; i < 200000; ++i) shared.Store(Pair{i, ~i});
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(shared.Writes(), 200000u);
}

}  // namespace
