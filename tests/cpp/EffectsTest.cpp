// Haptic effects against their closed forms at chosen points (inside,
// outside, on the boundary, moving), parameter checks, and the stack's
// fades.

#include "Korvo/Haptics/Effects.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace {

using namespace Korvo::Haptics;

TickInput At(const Vector3d& position, const Vector3d& velocity = kZero, double dt = 0.001) {
    TickInput in;
    in.position = position;
    in.velocity = velocity;
    in.dt = dt;
    in.fresh = true;
    return in;
}

void ExpectNear(const Vector3d& got, const Vector3d& want) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << "component " << i;
}

TEST(Effects, ConstantAndDamper) {
    Constant constant(Constant::Params{{1.0, -2.0, 0.5}});
    ExpectNear(constant.Force(At({0.3, 0.2, 0.1}, {1, 1, 1})), {1.0, -2.0, 0.5});
    Damper damper(Damper::Params{4.0});
    ExpectNear(damper.Force(At(kZero, {0.1, -0.2, 0.0})), {-0.4, 0.8, 0.0});
}

TEST(Effects, PlanePushesOutOfItsSideOnlyAndNeverPulls) {
    // The wall fills z > 0.2 (normal (0, 0, -2): any length, pointing out of it).
    Plane wall(Plane::Params{{0, 0, 0.2}, {0, 0, -2}, 1000.0, 10.0});
    EXPECT_EQ(wall.GetParams().normal, (Vector3d{0, 0, -1}));
    ExpectNear(wall.Force(At({0.1, 0.0, 0.19})), kZero);                      // free space
    ExpectNear(wall.Force(At({0.1, 0.0, 0.2})), kZero);                       // on the surface
    ExpectNear(wall.Force(At({0.1, 0.0, 0.203})), {0, 0, -3.0});              // 3 mm in: 3 N out
    ExpectNear(wall.Force(At({0.1, 0.0, 0.203}, {0, 0, 0.1})), {0, 0, -4.0});  // going in: damped
    ExpectNear(wall.Force(At({0.1, 0.0, 0.203}, {0, 0, -0.1})), {0, 0, -2.0});  // coming out
    ExpectNear(wall.Force(At({0.1, 0.0, 0.203}, {0, 0, -1.0})), kZero);        // fast out: no pull
}

TEST(Effects, SphereKeepsInsideOrOutside) {
    Sphere inside(Sphere::Params{{0, 0, 0}, 0.1, 100.0, 0.0, true});
    ExpectNear(inside.Force(At({0.05, 0, 0})), kZero);
    ExpectNear(inside.Force(At({0.1, 0, 0})), kZero);
    ExpectNear(inside.Force(At({0.0, 0.12, 0})), {0, -2.0, 0});
    Sphere outside(Sphere::Params{{0, 0, 0}, 0.1, 100.0, 20.0, false});
    ExpectNear(outside.Force(At({0.0, 0.0, 0.15})), kZero);
    ExpectNear(outside.Force(At({0.0, 0.0, 0.08})), {0, 0, 2.0});
    ExpectNear(outside.Force(At({0.0, 0.0, 0.08}, {0, 0, -0.05})), {0, 0, 3.0});  // moving further in
    const Vector3d centre = outside.Force(At(kZero));  // any direction, full depth
    EXPECT_NEAR(Norm(centre), 10.0, 1e-9);
}

TEST(Effects, BoxInsideAxisByAxisOutsideThroughTheNearestFace) {
    Box inside(Box::Params{{-0.1, -0.1, 0.1}, {0.1, 0.1, 0.3}, 100.0, 0.0, true});
    ExpectNear(inside.Force(At({0.0, 0.0, 0.2})), kZero);
    ExpectNear(inside.Force(At({0.12, -0.11, 0.35})), {-2.0, 1.0, -5.0});
    Box outside(Box::Params{{-0.1, -0.1, 0.1}, {0.1, 0.1, 0.3}, 100.0, 0.0, false});
    ExpectNear(outside.Force(At({0.2, 0.0, 0.2})), kZero);
    ExpectNear(outside.Force(At({0.09, 0.0, 0.2})), {1.0, 0, 0});   // 1 cm from the +x face
    ExpectNear(outside.Force(At({0.0, 0.0, 0.105})), {0, 0, -0.5});  // 5 mm from the bottom face
}

TEST(Effects, SpringAnchorStartsAtTheArmAndFollowsTheTargetAtBoundedSpeed) {
    Spring spring(Spring::Params{{0.1, 0.0, 0.0}, 200.0, 5.0, 1.0});  // 1 m/s: 1 mm per 1 ms tick
    ExpectNear(spring.Force(At(kZero)), {0.2, 0.0, 0.0});  // anchor moved 1 mm from the arm
    for (int i = 0; i < 9; ++i) spring.Force(At(kZero));
    ExpectNear(spring.Anchor(), {0.01, 0.0, 0.0});
    ExpectNear(spring.Force(At(kZero, {0.0, 0.1, 0.0})), {2.2, -0.5, 0.0});
    for (int i = 0; i < 200; ++i) spring.Force(At(kZero));
    ExpectNear(spring.Anchor(), {0.1, 0.0, 0.0});  // arrived, and stays
}

struct BadParams {
    const char* name;
    void (*make)();
};

class EffectParams : public ::testing::TestWithParam<BadParams> {};

TEST_P(EffectParams, AreRefusedNamingTheParameterAndNothingChanges) {
    try {
        GetParam().make();
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(GetParam().name, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, EffectParams,
    ::testing::Values(BadParams{"stiffness", [] { Spring(Spring::Params{kZero, -1.0, 0.0, 0.1}); }},
                      BadParams{"damping", [] { Plane(Plane::Params{kZero, {0, 0, 1}, 1.0, NAN}); }},
                      BadParams{"normal", [] { Plane(Plane::Params{kZero, kZero, 1.0, 0.0}); }},
                      BadParams{"max_speed", [] { Spring(Spring::Params{kZero, 1.0, 0.0, 0.0}); }},
                      BadParams{"target", [] { Spring(Spring::Params{{0, INFINITY, 0}, 1.0, 0.0, 0.1}); }},
                      BadParams{"radius", [] { Sphere(Sphere::Params{kZero, 0.0, 1.0, 0.0, true}); }},
                      BadParams{"min", [] { Box(Box::Params{{0, 0, 0.2}, {1, 1, 0.1}, 1.0, 0.0, true}); }},
                      BadParams{"viscosity", [] { Damper(Damper::Params{-0.1}); }},
                      BadParams{"force", [] { Constant(Constant::Params{{NAN, 0, 0}}); }}),
    [](const auto& p) { return std::string(p.param.name) + std::to_string(p.index); });

TEST(Effects, ARefusedUpdateLeavesTheOldParameters) {
    Spring spring(Spring::Params{{0.1, 0, 0}, 100.0, 1.0, 0.5});
    EXPECT_THROW(spring.SetParams(Spring::Params{{0.2, 0, 0}, 200.0, -1.0, 0.5}), std::invalid_argument);
    EXPECT_EQ(spring.GetParams().stiffness, 100.0);
    EXPECT_EQ(spring.GetParams().target, (Vector3d{0.1, 0, 0}));
}

// -- the stack ------------------------------------------------------------------------------------

TEST(EffectStack, AddRemoveEnableFadeOverTheFadeTime) {
    EffectStack stack(0.01);  // ten 1 ms ticks
    stack.SetLive(true);
    auto push = std::make_shared<Constant>(Constant::Params{{1.0, 0, 0}});
    stack.Add(push);
    const TickInput in = At(kZero);
    for (int i = 1; i <= 12; ++i) EXPECT_NEAR(stack.Force(in)[0], std::min(1.0, i * 0.1), 1e-9) << i;
    EXPECT_TRUE(stack.Enable(push.get(), false));
    EXPECT_NEAR(stack.Force(in)[0], 0.9, 1e-9);
    EXPECT_TRUE(stack.Enable(push.get(), true));
    EXPECT_NEAR(stack.Force(in)[0], 1.0, 1e-9);
    EXPECT_TRUE(stack.Remove(push.get()));
    EXPECT_FALSE(stack.Contains(push.get()));
    for (int i = 1; i <= 10; ++i) EXPECT_NEAR(stack.Force(in)[0], 1.0 - i * 0.1, 1e-9) << i;
    stack.Force(in);                        // faded out: let go of
    EXPECT_EQ(stack.Weight(push.get()), -1.0);
    EXPECT_EQ(push.use_count(), 1);         // the test's own reference only, once reaped
    EXPECT_FALSE(stack.Remove(push.get()));
}

TEST(EffectStack, WithoutALoopARemovedEffectGoesAtOnce) {
    EffectStack stack;
    auto e = std::make_shared<Damper>();
    stack.Add(e);
    EXPECT_THROW(stack.Add(e), std::invalid_argument);
    EXPECT_TRUE(stack.Remove(e.get()));
    EXPECT_EQ(e.use_count(), 1);
    EXPECT_EQ(stack.Size(), 0u);
}

TEST(EffectStack, IsFullAtItsCapacity) {
    EffectStack stack;
    std::vector<std::shared_ptr<Effect>> kept;
    for (std::size_t i = 0; i < EffectStack::kCapacity; ++i) {
        kept.push_back(std::make_shared<Damper>());
        stack.Add(kept.back());
    }
    EXPECT_THROW(stack.Add(std::make_shared<Damper>()), std::length_error);
    EXPECT_EQ(stack.Size(), EffectStack::kCapacity);
}

}  // namespace
