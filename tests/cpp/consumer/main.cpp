// Wakes the arm on PORT with one exchange of the library, then lends it to
// the servo loop for half a second and prints what the loop achieved:
//
//   korvo-consumer PORT
//
// Exits non-zero when the arm did not answer or the loop ran no tick.

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "Korvo/Haptics/Servo.h"
#include "Korvo/HardwareAPI/Devices/Arvena.h"
#include "Korvo/HardwareAPI/IO/SerialStream.h"
#include "Korvo/HardwareAPI/Version.h"

namespace hw = Korvo::HardwareAPI;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    try {
        std::printf("headers %s\n", hw::kLibraryVersion);
        std::fflush(stdout);
        hw::PrintLibraryVersion();  // from the shared library itself

        hw::IO::SerialStream stream(argv[1]);
        hw::Devices::Arvena arm(&stream, 0.5f);
        const hw::DeviceInfo info = arm.device_wakeup();
        std::printf("wakeup %u %u\n", static_cast<unsigned>(info.device_id),
                    static_cast<unsigned>(info.device_model_number));
        if (info.device_id == 0) {
            std::fprintf(stderr, "the arm did not answer its wakeup\n");
            return 1;
        }

        Korvo::Haptics::ServoOptions options;
        options.rate = 500.0;
        options.realtime = Korvo::Haptics::RealTimePolicy::Off;  // a test on a shared machine, not a control loop
        Korvo::Haptics::Servo servo(arm, options);
        servo.Start();
        servo.SetForce({0.0, 0.0, 0.2});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        servo.Stop();
        const Korvo::Haptics::ServoStats stats = servo.Stats();
        std::printf("servo %llu ticks %.1f Hz %llu failed\n", static_cast<unsigned long long>(stats.ticks), stats.rate,
                    static_cast<unsigned long long>(stats.failed_exchanges));
        return stats.ticks > 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
