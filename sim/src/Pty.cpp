#include "Pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <system_error>

namespace Korvo::Sim {

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Pty Pty::Open()
{
    Pty pty;
    pty.master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master_) {
        Fail("posix_openpt");
    }
    if (::grantpt(pty.Master()) != 0) {
        Fail("grantpt");
    }
    if (::unlockpt(pty.Master()) != 0) {
        Fail("unlockpt");
    }
    char name[128];
    if (::ptsname_r(pty.Master(), name, sizeof name) != 0) {
        Fail("ptsname_r");
    }
    pty.slave_path_ = name;

    pty.slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!pty.slave_) {
        Fail("open slave");
    }
    termios tio{};
    if (::tcgetattr(pty.slave_.Get(), &tio) != 0) {
        Fail("tcgetattr");
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(pty.slave_.Get(), TCSANOW, &tio) != 0) {
        Fail("tcsetattr");
    }

    // Replies are written whole; a host that stops reading must not block the
    // thread past a stop request, so writes wait in poll() instead.
    const int flags = ::fcntl(pty.Master(), F_GETFL);
    if (flags < 0 || ::fcntl(pty.Master(), F_SETFL, flags | O_NONBLOCK) != 0) {
        Fail("fcntl O_NONBLOCK");
    }
    return pty;
}

std::size_t Pty::UnreadByHost() const noexcept
{
    int pending = 0;
    if (!slave_ || ::ioctl(slave_.Get(), FIONREAD, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<std::size_t>(pending);
}

void Pty::Close() noexcept
{
    master_.Reset();
    slave_.Reset();
}

}  // namespace Korvo::Sim
