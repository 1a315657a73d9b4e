// The floor of the arm exchange benchmark: the least a client can do with raw
// system calls. One write of the 13-byte force request, one blocking read of
// the 25-byte reply (VMIN = 25 makes the kernel wake the reader once, with
// the whole reply), no framing layer, no checks beyond the reply code.
//
//   korvo-bench-floor PORT
//
// Commands on standard input, one per line:
//   run N     N exchanges; prints one line: the process CPU time spent in
//             nanoseconds, then the N exchange latencies in nanoseconds.
//   quit

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "raw_port.h"

namespace {

using Bench::Nanoseconds;
using Bench::OpenPort;
using Bench::SendZeroForce;

bool Exchange(int fd) {
    if (!SendZeroForce(fd)) return false;
    unsigned char reply[25];
    std::size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = read(fd, reply + got, sizeof reply - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return reply[0] == 0x2B;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    const int fd = OpenPort(argv[1]);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::string command;
    long count = 0;
    while (std::cin >> command && command == "run" && std::cin >> count) {
        std::vector<std::int64_t> latencies(static_cast<std::size_t>(count));
        const std::int64_t cpu_start = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        for (auto& latency : latencies) {
            const std::int64_t start = Nanoseconds(CLOCK_MONOTONIC);
            if (!Exchange(fd)) {
                std::fprintf(stderr, "exchange failed\n");
                return 1;
            }
            latency = Nanoseconds(CLOCK_MONOTONIC) - start;
        }
        std::printf("%lld", static_cast<long long>(Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start));
        for (auto latency : latencies) std::printf(" %lld", static_cast<long long>(latency));
        std::printf("\n");
        std::fflush(stdout);
    }
    close(fd);
    return 0;
}
