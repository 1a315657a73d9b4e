// The teleoperation coupling: its law against closed forms, the link's
// fade and ramp, the anchor after a lapse, the passivity observer and
// controller (on arbitrary inputs, and in a closed loop of two model arms
// over a delayed link, stable with the controller and not without it), and
// the coupling fed from other threads while a servo loop runs it (also
// under ThreadSanitizer).

#include "Korvo/Haptics/Teleop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <random>
#include <stdexcept>
#include <thread>

#include "Korvo/Haptics/Servo.h"
#include "support/ArmPeer.h"

namespace {

using namespace Korvo::Haptics;
using namespace std::chrono_literals;
using Role = TeleopCoupling::Role;

constexpr double kTickSeconds = 0.001;

TickInput At(std::uint64_t tick, const Vector3d& position, const Vector3d& velocity = kZero) {
    TickInput in;
    in.tick = tick;
    in.time = static_cast<double>(tick) * kTickSeconds;
    in.dt = kTickSeconds;
    in.position = position;
    in.velocity = velocity;
    in.fresh = true;
    return in;
}

TeleopCoupling::Sample Sample(std::uint64_t sequence, double stamp, const Vector3d& position,
                              const Vector3d& velocity = kZero, const Vector3d& force = kZero) {
    return TeleopCoupling::Sample{position, velocity, force, stamp, sequence};
}

void ExpectVectorNear(const Vector3d& got, const Vector3d& want, double tolerance = 1e-9) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

// Parameters without the controller, the ramp nearly instant: the law alone.
TeleopCoupling::Params Plain() {
    TeleopCoupling::Params p;
    p.stiffness = 100.0;
    p.damping = 2.0;
    p.local_damping = 0.5;
    p.ramp_time = kTickSeconds;
    p.max_speed = 10.0;
    p.passivity = false;
    return p;
}

TEST(Teleop, TheFollowerIsHeldByASpringTowardTheLeaderIndexedAtItsFirstSample) {
    TeleopCoupling follower(Role::Follower, Plain());
    EXPECT_EQ(follower.Force(At(0, {0.1, 0.2, 0.3})), kZero);  // no sample yet: nothing
    // The first sample maps the leader at (1, 1, 1) onto the arm where it is.
    follower.SetSample(Sample(1, 0.0, {1.0, 1.0, 1.0}));
    ExpectVectorNear(follower.Force(At(1, {0.1, 0.2, 0.3})), kZero);
    // The leader moves 5 mm along x at 0.1 m/s; the follower has not moved.
    follower.SetSample(Sample(2, 0.001, {1.005, 1.0, 1.0}, {0.1, 0.0, 0.0}));
    const Vector3d f = follower.Force(At(2, {0.1, 0.2, 0.3}, {0.0, 0.05, 0.0}));
    // 100 N/m * 5 mm + 2 N s/m * 0.1 m/s along x; -2 * 0.05 - 0.5 * 0.05 along y.
    ExpectVectorNear(f, {0.7, -0.125, 0.0});
    const auto report = follower.Latest();
    ExpectVectorNear(report.anchor, {0.105, 0.2, 0.3});
    ExpectVectorNear(report.channel, {0.7, -0.1, 0.0});
    EXPECT_EQ(report.sample_sequence, 2u);
}

TEST(Teleop, TheLeaderRendersTheFollowersForceScaledAndShowsItsMotionScaled) {
    auto p = Plain();
    p.position_scale = 0.5;
    p.force_scale = 2.0;
    TeleopCoupling leader(Role::Leader, p);
    leader.SetSample(Sample(1, 0.0, kZero, kZero, {1.0, -0.5, 0.0}));
    const Vector3d f = leader.Force(At(0, {0.2, 0.0, 0.0}, {0.0, 0.0, 0.1}));
    ExpectVectorNear(f, {-2.0, 1.0, -0.05});  // the reaction, doubled, and 0.5 N s/m of its own
    const auto report = leader.Latest();
    ExpectVectorNear(report.port_position, {0.1, 0.0, 0.0});
    ExpectVectorNear(report.port_velocity, {0.0, 0.0, 0.05});
    ExpectVectorNear(report.peer_force, {1.0, -0.5, 0.0});
}

TEST(Teleop, AStalePeerFadesTheForceAndAFreshOneRampsItBack) {
    auto p = Plain();
    p.timeout = 0.05;
    p.fade_time = 0.02;
    p.ramp_time = 0.1;
    TeleopCoupling leader(Role::Leader, p);
    leader.SetSample(Sample(1, 0.0, kZero, kZero, {-1.0, 0.0, 0.0}));
    std::uint64_t tick = 0;
    for (; tick < 100; ++tick) leader.Force(At(tick, kZero));
    EXPECT_NEAR(leader.Latest().link, 0.0, 1e-9);  // 0.05 s fresh (ramping), then stale and faded
    // Fresh for 0.1 s: each tick's sample stamped at its own time.
    std::uint64_t sequence = 2;
    double peak = 0.0;
    for (std::uint64_t end = tick + 100; tick < end; ++tick) {
        leader.SetSample(Sample(sequence++, static_cast<double>(tick) * kTickSeconds, kZero, kZero, {-1.0, 0.0, 0.0}));
        const double f = leader.Force(At(tick, kZero))[0];
        EXPECT_LE(f, peak + kTickSeconds / p.ramp_time + 1e-9);  // never faster than the ramp
        peak = f;
    }
    EXPECT_NEAR(peak, 1.0, 1e-9);
    // Silent from here: the last sample ages past the timeout, then fades.
    const double last = static_cast<double>(tick - 1) * kTickSeconds;
    for (std::uint64_t end = tick + 100; tick < end; ++tick) {
        const double now = static_cast<double>(tick) * kTickSeconds;
        const double f = leader.Force(At(tick, kZero))[0];
        if (now - last <= p.timeout) {
            EXPECT_NEAR(f, 1.0, 1e-9);
        }
        if (now - last >= p.timeout + p.fade_time + kTickSeconds) {
            EXPECT_EQ(f, 0.0);
        }
        EXPECT_EQ(leader.Latest().fresh, now - last <= p.timeout ? 1u : 0u);
    }
}

TEST(Teleop, ALoopThatFallsBehindStillFadesOutByTheTimeoutAndTheFade) {
    auto p = Plain();
    p.timeout = 0.05;
    p.fade_time = 0.02;
    TeleopCoupling leader(Role::Leader, p);
    leader.SetSample(Sample(1, 0.0, kZero, kZero, {-1.0, 0.0, 0.0}));
    EXPECT_NEAR(leader.Force(At(0, kZero))[0], 1.0, 1e-9);
    // Ticks 30 ms apart: 60 ms after the stamp, half of the fade is left;
    // 90 ms after it, none.
    TickInput late = At(1, kZero);
    late.time = 0.06;
    EXPECT_NEAR(leader.Force(late)[0], 0.5, 1e-9);
    late.tick = 2;
    late.time = 0.09;
    EXPECT_EQ(leader.Force(late)[0], 0.0);
}

TEST(Teleop, AfterALapseTheAnchorTravelsFromTheArmAtMaxSpeed) {
    auto p = Plain();
    p.max_speed = 0.1;  // 0.1 mm per tick
    TeleopCoupling follower(Role::Follower, p);
    follower.SetSample(Sample(1, 0.0, kZero));
    follower.Force(At(0, kZero));
    std::uint64_t tick = 1;
    for (; tick < 200; ++tick) follower.Force(At(tick, {0.0, 0.0, 0.01}));  // lapsed; the arm moved 1 cm
    EXPECT_EQ(follower.Latest().link, 0.0);
    ExpectVectorNear(follower.Latest().anchor, {0.0, 0.0, 0.01});
    // The leader is back, 5 cm away from where the arm now is.
    for (int i = 0; i < 100; ++i, ++tick) {
        follower.SetSample(Sample(tick, static_cast<double>(tick) * kTickSeconds, {0.05, 0.0, 0.0}));
        follower.Force(At(tick, {0.0, 0.0, 0.01}));
    }
    const Vector3d anchor = follower.Latest().anchor;
    EXPECT_NEAR(Norm(anchor - Vector3d{0.0, 0.0, 0.01}), 100 * 0.1 * kTickSeconds, 1e-9);  // 1 cm in 100 ticks
}

TEST(Teleop, ParametersAndSamplesOutOfRangeAreRefusedAndChangeNothing) {
    TeleopCoupling coupling(Role::Follower, Plain());
    for (auto bad : {&TeleopCoupling::Params::position_scale, &TeleopCoupling::Params::timeout,
                     &TeleopCoupling::Params::max_speed, &TeleopCoupling::Params::ramp_time}) {
        auto p = Plain();
        p.*bad = 0.0;
        EXPECT_THROW(coupling.SetParams(p), std::invalid_argument);
    }
    auto p = Plain();
    p.stiffness = NAN;
    EXPECT_THROW(coupling.SetParams(p), std::invalid_argument);
    EXPECT_EQ(coupling.GetParams().stiffness, 100.0);
    EXPECT_THROW(coupling.SetSample(Sample(1, 0.0, {NAN, 0.0, 0.0})), std::invalid_argument);
    EXPECT_THROW(coupling.SetSample(Sample(1, INFINITY, kZero)), std::invalid_argument);
    EXPECT_THROW(coupling.SetPeerEnergy({-1.0, 1}), std::invalid_argument);
    EXPECT_EQ(coupling.Force(At(0, kZero)), kZero);  // nothing refused arrived
}

// -- the observer and the controller --------------------------------------------------------------

// Arbitrary motion, forces and energy reports: with the controller, what
// leaves the port never exceeds what the peer reported to have put in since
// its first report; the controller never does more than stop the output.
TEST(Teleop, WithTheControllerThePortNeverGivesOutMoreThanThePeerPutIn) {
    for (Role role : {Role::Leader, Role::Follower}) {
        auto p = Plain();
        p.passivity = true;
        p.ramp_time = 0.01;
        p.position_scale = 1.5;
        TeleopCoupling coupling(role, p);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> any(-1.0, 1.0);
        double peer = 0.0;
        for (std::uint64_t tick = 0; tick < 20000; ++tick) {
            const double now = static_cast<double>(tick) * kTickSeconds;
            if (tick % 3 == 0) {
                coupling.SetSample(Sample(tick + 1, now, {0.05 * any(rng), 0.05 * any(rng), 0.05 * any(rng)},
                                          {any(rng), any(rng), any(rng)}, {3 * any(rng), 3 * any(rng), any(rng)}));
            }
            if (tick % 7 == 0 && tick > 500) {
                peer += 0.002 * (any(rng) + 1.0);
                coupling.SetPeerEnergy({peer, 42});
            }
            const Vector3d velocity{0.2 * any(rng), 0.2 * any(rng), 0.2 * any(rng)};
            coupling.Force(At(tick, {0.01 * any(rng), 0.0, 0.0}, velocity));
            const auto r = coupling.Latest();
            ASSERT_GE(r.observed, -1e-12) << "tick " << tick;
            // The damper's force is at most the channel force's own component along u.
            ASSERT_LE(r.alpha * Norm(r.port_velocity), Norm(r.channel) + 1e-9) << "tick " << tick;
        }
        const auto r = coupling.Latest();
        EXPECT_LE(r.energy_out, r.peer_energy + 1e-12);
        EXPECT_GT(r.dissipated, 0.0);
        EXPECT_GT(r.energy_out, 0.0);  // it did give out what it was given
    }
}

TEST(Teleop, WithoutTheControllerTheObserverCountsWhatTheChannelMade) {
    auto p = Plain();
    TeleopCoupling leader(Role::Leader, p);
    leader.SetPeerEnergy({0.0, 9});
    // The follower's force pushes the leader along its motion: output, and
    // nothing came in at the other end.
    for (std::uint64_t tick = 0; tick < 100; ++tick) {
        leader.SetSample(Sample(tick + 1, static_cast<double>(tick) * kTickSeconds, kZero, kZero, {-1.0, 0.0, 0.0}));
        leader.Force(At(tick, kZero, {0.1, 0.0, 0.0}));
    }
    const auto r = leader.Latest();
    EXPECT_NEAR(r.observed, -r.energy_out, 1e-12);
    EXPECT_NEAR(r.energy_out, 0.1 * kTickSeconds * 100, 1e-12);  // 1 N at 0.1 m/s
    EXPECT_EQ(r.dissipated, 0.0);
}

TEST(Teleop, ANewPeerStartsTheBudgetOver) {
    auto p = Plain();
    p.passivity = true;
    TeleopCoupling leader(Role::Leader, p);
    leader.SetPeerEnergy({5.0, 1});  // a peer that has been counting long: its first report is the base
    auto step = [&](std::uint64_t tick) {
        leader.SetSample(Sample(tick + 1, static_cast<double>(tick) * kTickSeconds, kZero, kZero, {-1.0, 0.0, 0.0}));
        leader.Force(At(tick, kZero, {0.1, 0.0, 0.0}));
        return leader.Latest();
    };
    for (std::uint64_t tick = 0; tick < 10; ++tick) EXPECT_NEAR(step(tick).energy_out, 0.0, 1e-15);
    leader.SetPeerEnergy({5.001, 1});  // 1 mJ more: that much may go out
    std::uint64_t tick = 10;
    for (; tick < 200; ++tick) step(tick);
    EXPECT_NEAR(leader.Latest().energy_out, 0.001, 1e-12);
    leader.SetPeerEnergy({100.0, 2});  // another peer: its account starts here too
    const double before = leader.Latest().energy_out;
    for (std::uint64_t end = tick + 100; tick < end; ++tick) step(tick);
    EXPECT_NEAR(leader.Latest().energy_out, before, 1e-15);
    EXPECT_NEAR(leader.Latest().observed, 0.0, 1e-12);
}

// Two model arms (mass 0.05 kg, damping 10 s^-1 per kg like the simulator's
// joints), the leader held loosely by a hand that moves it along a line,
// coupled over 50 ms each way; forces act one tick after they are decided
// and are limited to 4 N, as a servo loop's envelope does.
struct Loop {
    static constexpr double kMass = 0.05;
    double delay;
    bool passivity;

    struct Result {
        double late_error;      // m, RMS over the last 4 s, of follower - leader
        double peak_speed;      // m/s, over the last 4 s
        double observed_min;    // J, the lower of both observers' minima
        double dissipated;      // J, both controllers
    };

    Result Run() const {
        TeleopCoupling::Params p;
        p.passivity = passivity;
        p.timeout = delay + 0.05;
        TeleopCoupling leader(Role::Leader, p);
        TeleopCoupling follower(Role::Follower, p);
        const std::size_t lag = static_cast<std::size_t>(std::lround(delay / kTickSeconds)) + 1;
        std::deque<std::pair<TeleopCoupling::Report, double>> to_follower, to_leader;
        double xl = 0.0, vl = 0.0, xf = 0.0, vf = 0.0, fl = 0.0, ff = 0.0;
        double error2 = 0.0, peak = 0.0, observed = 0.0;
        std::size_t counted = 0;
        const std::uint64_t ticks = 10000;
        auto limit = [](double f) { return std::clamp(f, -4.0, 4.0); };
        for (std::uint64_t tick = 0; tick < ticks; ++tick) {
            const double t = static_cast<double>(tick) * kTickSeconds;
            for (int half = 0; half < 2; ++half) {  // the arms, in half steps
                const double h = kTickSeconds / 2;
                const double hand = 30.0 * (0.02 * std::sin(2 * M_PI * 0.5 * t) - xl) - 0.3 * vl;
                vl = (vl + h * (fl + hand) / kMass) / (1 + h * 10);
                xl += h * vl;
                vf = (vf + h * ff / kMass) / (1 + h * 10);
                xf += h * vf;
            }
            if (to_follower.size() >= lag) {
                const auto& [r, stamp] = to_follower.front();
                follower.SetSample(Sample(r.tick + 1, stamp, r.port_position, r.port_velocity));
                follower.SetPeerEnergy({r.energy_in, 1});
                to_follower.pop_front();
            }
            if (to_leader.size() >= lag) {
                const auto& [r, stamp] = to_leader.front();
                leader.SetSample(Sample(r.tick + 1, stamp, kZero, kZero, r.channel));
                leader.SetPeerEnergy({r.energy_in, 2});
                to_leader.pop_front();
            }
            const double next_l = leader.Force(At(tick, {xl, 0, 0}, {vl, 0, 0}))[0];
            const double next_f = follower.Force(At(tick, {xf, 0, 0}, {vf, 0, 0}))[0];
            fl = limit(next_l);
            ff = limit(next_f);
            to_follower.emplace_back(leader.Latest(), t);
            to_leader.emplace_back(follower.Latest(), t);
            observed = std::min({observed, leader.Latest().observed, follower.Latest().observed});
            if (t >= 6.0) {
                error2 += (xf - xl) * (xf - xl);
                ++counted;
                peak = std::max({peak, std::fabs(vl), std::fabs(vf)});
            }
        }
        return {std::sqrt(error2 / static_cast<double>(counted)), peak, observed,
                leader.Latest().dissipated + follower.Latest().dissipated};
    }
};

TEST(Teleop, OverAFiftyMillisecondLinkTheControllerKeepsTheLoopStable) {
    const auto with = Loop{0.05, true}.Run();
    const auto without = Loop{0.05, false}.Run();
    const auto near = Loop{0.0, true}.Run();
    // The hand moves the leader at 63 mm/s at most; the controller's
    // chatter stays below 0.25 m/s.
    EXPECT_LT(with.peak_speed, 0.25);
    EXPECT_LT(with.late_error, 0.008);
    EXPECT_GE(with.observed_min, -1e-9);
    EXPECT_GT(with.dissipated, 0.0);
    // Without it the loop oscillates, grows and saturates at 4 N.
    EXPECT_GT(without.peak_speed, 0.4);
    EXPECT_GT(without.late_error, 2 * with.late_error);
    EXPECT_LT(without.observed_min, -0.5);  // joules the channel made
    // Without delay the coupling tracks, and the controller has next to
    // nothing to do.
    EXPECT_LT(near.late_error, 0.001);
    EXPECT_LT(near.dissipated, 0.005);
}

// -- other threads ------------------------------------------------------------------------------------

TEST(Teleop, FedFromOtherThreadsWhileAServoLoopRunsIt) {
    Korvo::Testing::ArmPeer arm;
    ServoOptions options;
    options.realtime = RealTimePolicy::Off;
    options.limits.ramp_time = 0.01;
    Servo servo(arm.Path(), options);
    auto p = Plain();
    p.passivity = true;
    auto coupling = std::make_shared<TeleopCoupling>(Role::Leader, p);
    auto tap = coupling->OpenTap(4096);
    servo.Effects().Add(coupling);
    servo.Start();
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::uint64_t sequence = 0;
        while (!stop.load()) {
            const double now = servo.State().time;
            coupling->SetSample(Sample(++sequence, now, kZero, kZero, {0.0, 0.0, -0.5}));
            coupling->SetPeerEnergy({1e-3 * static_cast<double>(sequence), 5});
            std::this_thread::sleep_for(200us);
        }
    });
    std::thread tuner([&] {
        auto q = p;
        for (int i = 0; i < 200 && !stop.load(); ++i) {
            q.force_scale = 1.0 + (i % 2);
            coupling->SetParams(q);
            std::this_thread::sleep_for(500us);
        }
    });
    std::size_t drained = 0;
    std::uint64_t last_tick = 0;
    bool ordered = true;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (drained < 300 && std::chrono::steady_clock::now() < until) {
        for (const auto& r : tap->Drain().items) {
            ordered = ordered && (drained == 0 || r.tick == last_tick + 1);
            last_tick = r.tick;
            ++drained;
        }
        const auto latest = coupling->Latest();
        EXPECT_TRUE(latest.link >= 0.0 && latest.link <= 1.0);
        std::this_thread::sleep_for(2ms);
    }
    stop = true;
    feeder.join();
    tuner.join();
    servo.Stop();
    for (const auto& r : tap->Drain().items) {
        ordered = ordered && r.tick == last_tick + 1;
        last_tick = r.tick;
        ++drained;
    }
    EXPECT_GE(drained, 300u);
    EXPECT_EQ(drained, last_tick + 1);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(coupling->Writes(), last_tick + 1);
    // The rendered force (0.5 N up, or 1 N) reached the arm.
    bool pushed = false;
    for (const auto& f : arm.Forces()) pushed = pushed || f[2] > 0.4f;
    EXPECT_TRUE(pushed);
}

}  // namespace
