// A C client for the paced-loop benchmark: a fixed-rate loop of force
// exchanges with raw system calls, waiting for each reply one of two ways.
//
//   korvo-bench-paced PORT spin|sleep|timer
//
//   spin    polls the count of waiting bytes (FIONREAD) until the reply is
//           there, never sleeping: a wait that never leaves the processor
//   sleep   polls the count for 50 us, then sleeps in poll() with VMIN set
//           to the reply's length: how the library's waits run
//   timer   no exchange at all, at SCHED_FIFO 80 with /dev/cpu_dma_latency
//           held where permitted, as the native servo loop runs: how steady
//           a loop that only sleeps can be on this machine
//
// The loop sleeps to each tick's absolute deadline (clock_nanosleep on the
// monotonic clock). Commands on standard input, one per line:
//   run N HZ  N ticks at HZ; prints one line: the process CPU time in
//             nanoseconds, then N exchange latencies, then N-1 tick-to-tick
//             periods, all in nanoseconds
//   quit

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "raw_port.h"

namespace {

using Bench::Nanoseconds;
using Bench::OpenPort;
using Bench::SendZeroForce;

int Waiting(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool AwaitReply(int fd, bool sleep) {
    const std::int64_t spin_until = Nanoseconds(CLOCK_MONOTONIC) + 50'000;
    const std::int64_t give_up = Nanoseconds(CLOCK_MONOTONIC) + 1'000'000'000;
    for (;;) {
        if (Waiting(fd) >= 25) return true;
        const std::int64_t now = Nanoseconds(CLOCK_MONOTONIC);
        if (now > give_up) return false;
        if (sleep && now > spin_until) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1000);
        }
    }
}

bool Exchange(int fd, bool sleep) {
    if (!SendZeroForce(fd)) return false;
    if (!AwaitReply(fd, sleep)) return false;
    unsigned char reply[25];
    return read(fd, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply) && reply[0] == 0x2B;
}

void SleepUntil(std::int64_t ns) {
    const timespec t{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[2] : "";
    if (mode != "spin" && mode != "sleep" && mode != "timer") {
        std::fprintf(stderr, "usage: %s PORT spin|sleep|timer\n", argv[0]);
        return 2;
    }
    const bool sleep = mode == "sleep";
    const bool exchange = mode != "timer";
    if (!exchange) {
        sched_param param{};
        param.sched_priority = 80;
        sched_setscheduler(0, SCHED_FIFO, &param);  // at normal priority where refused
        const int qos = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);  // held until exit
        const std::int32_t zero = 0;
        if (qos >= 0 && write(qos, &zero, sizeof zero) != sizeof zero) close(qos);
    }
    const int fd = OpenPort(argv[1], O_NONBLOCK);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::string command;
    long count = 0;
    double hz = 0;
    while (std::cin >> command && command == "run" && std::cin >> count >> hz) {
        std::vector<std::int64_t> latencies(static_cast<std::size_t>(count));
        std::vector<std::int64_t> ticks(static_cast<std::size_t>(count));
        const auto period = static_cast<std::int64_t>(1e9 / hz);
        const std::int64_t cpu_start = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        std::int64_t next = Nanoseconds(CLOCK_MONOTONIC);
        for (long i = 0; i < count; ++i) {
            SleepUntil(next);
            const std::int64_t start = Nanoseconds(CLOCK_MONOTONIC);
            ticks[static_cast<std::size_t>(i)] = start;
            if (exchange && !Exchange(fd, sleep)) {
                std::fprintf(stderr, "exchange failed\n");
                return 1;
            }
            latencies[static_cast<std::size_t>(i)] = Nanoseconds(CLOCK_MONOTONIC) - start;
            next += period;
            if (next < Nanoseconds(CLOCK_MONOTONIC)) next = Nanoseconds(CLOCK_MONOTONIC);  // no catching up
        }
        std::printf("%lld", static_cast<long long>(Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start));
        for (auto latency : latencies) std::printf(" %lld", static_cast<long long>(latency));
        for (std::size_t i = 1; i < ticks.size(); ++i) std::printf(" %lld", static_cast<long long>(ticks[i] - ticks[i - 1]));
        std::printf("\n");
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
