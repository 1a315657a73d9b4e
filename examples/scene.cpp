// A small haptic scene on the native loop, in C++: a wall, a spring steered
// by the handle, and a damper that button 2 switches on and off.
//
//   korvo-sim arm --link /tmp/arm handle --link /tmp/handle &
//   korvo-scene-example /tmp/arm /tmp/handle 3       # ports, seconds
//
// The loop and the effects run on the servo thread at 1 kHz; this program
// only moves their parameters, at 50 Hz, from what the handle monitor says.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "Korvo/DeviceTools/HandleMonitor.h"
#include "Korvo/Haptics/Effects.h"
#include "Korvo/Haptics/Servo.h"

using namespace Korvo::Haptics;
using Korvo::DeviceTools::HandleMonitor;

int main(int argc, char** argv) {
    const bool help = argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (help || argc < 3) {
        std::fprintf(help ? stdout : stderr, "usage: %s ARM_PORT HANDLE_PORT [SECONDS]\n", argv[0]);
        return help ? 0 : 2;
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
    try {
        ServoOptions options;
        options.limits.max_force = 4.0;
        Servo servo(argv[1], options);
        HandleMonitor handle(argv[2]);
        servo.Start();
        handle.Start();

        const Vector3d rest = servo.State().position;
        auto wall = std::make_shared<Plane>(Plane::Params{rest + Vector3d{0, 0, 0.01}, {0, 0, -1}, 1500.0, 8.0});
        auto spring = std::make_shared<Spring>(Spring::Params{rest, 150.0, 4.0, 0.1});
        auto damper = std::make_shared<Damper>(Damper::Params{20.0});
        servo.Effects().Add(wall);
        servo.Effects().Add(spring);
        servo.Effects().Add(damper, false);

        bool damped = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            const HandleMonitor::Status status = handle.Latest();
            if (status.frame > 0) {
                // Tilt the handle to move the spring's target up to 2 cm.
                Spring::Params p = spring->GetParams();
                p.target = rest + Vector3d{0.02 * status.quaternion[2], 0.0, 0.02 * status.quaternion[1]};
                spring->SetParams(p);
            }
            for (const auto& event : handle.TakeEvents()) {
                if (event.button == 2 && event.pressed) {
                    damped = !damped;
                    servo.Effects().Enable(damper.get(), damped);  // fades in or out
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        handle.Stop();
        servo.Stop();
        const ServoStats st = servo.Stats();
        const HandleMonitor::Counts counts = handle.GetCounts();
        std::printf("%llu ticks at %.1f Hz, period p99 %.0f us; handle: %llu frames, %llu button events\n",
                    static_cast<unsigned long long>(st.ticks), st.rate, st.period_p99 * 1e6,
                    static_cast<unsigned long long>(counts.frames), static_cast<unsigned long long>(counts.events));
        return st.ticks > 0 && counts.frames > 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
