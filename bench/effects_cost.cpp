// The servo thread's cost of evaluating effects: an EffectStack of 0, 4 and
// 16 effects (springs, walls, spheres, boxes, dampers, constant forces, at
// full weight), evaluated as the loop does once per tick, a million times.
//
//   korvo-bench-effects        prints: effects, nanoseconds per tick
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "Korvo/Haptics/Effects.h"

using namespace Korvo::Haptics;

namespace {

std::shared_ptr<Effect> Make(int i) {
    switch (i % 6) {
        case 0: return std::make_shared<Spring>(Spring::Params{{0.0, 0.02, 0.2}, 150.0, 4.0, 0.2});
        case 1: return std::make_shared<Plane>(Plane::Params{{0.0, 0.0, 0.21}, {0, 0, -1}, 1500.0, 8.0});
        case 2: return std::make_shared<Sphere>(Sphere::Params{{0.0, 0.02, 0.2}, 0.05, 500.0, 2.0, true});
        case 3: return std::make_shared<Box>(Box::Params{{-0.05, -0.03, 0.15}, {0.05, 0.07, 0.25}, 500.0, 2.0, true});
        case 4: return std::make_shared<Damper>(Damper::Params{3.0});
        default: return std::make_shared<Constant>(Constant::Params{{0.0, 0.0, 0.1}});
    }
}

}  // namespace

int main() {
    constexpr int kTicks = 1'000'000;
    for (const int n : {0, 4, 16}) {
        EffectStack stack(1e-6);
        stack.SetLive(true);
        std::vector<std::shared_ptr<Effect>> effects;
        for (int i = 0; i < n; ++i) {
            effects.push_back(Make(i));
            stack.Add(effects.back());
        }
        TickInput in;
        in.dt = 0.001;
        in.position = {0.01, 0.02, 0.205};
        in.velocity = {0.01, -0.02, 0.03};
        double sink = 0.0;
        for (int i = 0; i < 1000; ++i) sink += stack.Force(in)[0];  // weights reach 1
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTicks; ++i) {
            in.position[0] = 0.01 + 1e-9 * i;
            sink += stack.Force(in)[2];
        }
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        std::printf("%d %.1f %g\n", n, ns / kTicks, sink);
    }
    return 0;
}
