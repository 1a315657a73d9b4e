// A program that pushes an arm with 2 N through a servo loop until a signal
// ends it, for the tests of how termination signals end a process:
//
//   korvo_servo_process PORT [own]
//
// It prints "pushing" once the full force is being sent. With "own" it has a
// SIGTERM handler of its own (installed before the loop starts), after which
// it stops the loop, prints "handled" and exits with status 3.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Korvo/Haptics/Servo.h"

namespace {

std::atomic<bool> g_signalled{false};

void Note(int) { g_signalled = true; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool own = argc > 2 && std::strcmp(argv[2], "own") == 0;
    if (own) {
        struct sigaction action {};
        action.sa_handler = &Note;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
    }
    Korvo::Haptics::ServoOptions options;
    options.rate = 500.0;
    options.realtime = false;
    options.exchange_timeout = 0.05;
    options.limits.max_force_step = 1.0;
    options.limits.ramp_time = 0.01;
    Korvo::Haptics::Servo servo(argv[1], options);
    servo.Start();
    servo.SetForce({0.0, 0.0, 2.0});
    while (servo.State().force[2] != 2.0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("pushing\n");
    std::fflush(stdout);
    while (!g_signalled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    servo.Stop();
    std::printf("handled\n");
    std::fflush(stdout);
    return 3;
}
