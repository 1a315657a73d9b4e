// A spring that holds the arm where it was when the loop started, rendered by
// the native servo loop at 1 kHz; the program only reads the state now and
// then. Run it against a simulated arm:
//
//   korvo-sim arm --link /tmp/arm &
//   korvo-servo-example /tmp/arm 2        # port, seconds
//
// The force law is a hook: it runs on the servo thread, every tick, so it
// must be quick and must not block, allocate or throw.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "Korvo/Haptics/Servo.h"

using namespace Korvo::Haptics;

int main(int argc, char** argv) {
    const bool help = argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (help || argc < 2) {
        std::fprintf(help ? stdout : stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
        return help ? 0 : 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    try {
        ServoOptions options;
        options.rate = 1000.0;
        options.limits.max_force = 3.0;
        Servo servo(argv[1], options);

        Vector3d rest{};
        bool have_rest = false;
        servo.SetForceHook([&](const TickInput& in) {
            if (!have_rest && in.fresh) {  // only the servo thread touches these
                rest = in.position;
                have_rest = true;
            }
            // 200 N/m toward the rest point, 5 N s/m of damping.
            return 200.0 * (rest - in.position) - 5.0 * in.velocity;
        });
        servo.Start();
        std::printf("servo loop at %.0f Hz, %s priority\n", options.rate, servo.RealTime() ? "real-time" : "normal");
        servo.SetForce({0.0, 0.0, 0.5});  // a steady push the spring resists
        for (double t = 0.0; t < seconds; t += 0.5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const ServoState s = servo.State();
            std::printf("tick %6llu  position %+.4f %+.4f %+.4f  force %+.3f %+.3f %+.3f  faults '%s'\n",
                        static_cast<unsigned long long>(s.tick), s.position[0], s.position[1], s.position[2],
                        s.force[0], s.force[1], s.force[2], FaultNames(s.faults).c_str());
        }
        servo.Stop();
        const ServoStats st = servo.Stats();
        std::printf("%llu ticks at %.1f Hz, period p99 %.0f us, exchange p99 %.0f us, %llu failed\n",
                    static_cast<unsigned long long>(st.ticks), st.rate, st.period_p99 * 1e6, st.exchange_p99 * 1e6,
                    static_cast<unsigned long long>(st.failed_exchanges));
        return st.ticks > 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
