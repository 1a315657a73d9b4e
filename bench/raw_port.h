#pragma once
// What the raw-syscall benchmark clients share: the clocks they read, the
// port opened the way a minimal client would, and the force request.

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace Bench {

inline std::int64_t Nanoseconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Raw, 115200 baud, VMIN at the 25-byte reply: a blocking read, or poll(),
// wakes once the whole reply is there. `flags` are added to open()'s.
inline int OpenPort(const char* path, int flags = 0) {
    const int fd = open(path, O_RDWR | O_NOCTTY | flags);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 25;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// The 13-byte force request for a zero force, in one write.
inline bool SendZeroForce(int fd) {
    static const float force[3] = {0.0f, 0.0f, 0.0f};
    unsigned char request[13];
    request[0] = 0x2A;
    std::memcpy(request + 1, force, sizeof force);
    return write(fd, request, sizeof request) == static_cast<ssize_t>(sizeof request);
}

}  // namespace Bench
