#include "Pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <system_error>

namespace korvo::sim {

namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Pty Pty::open()
{
    Pty pty;
    pty.master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master_) {
        fail("posix_openpt");
    }
    if (::grantpt(pty.master()) != 0) {
        fail("grantpt");
    }
    if (::unlockpt(pty.master()) != 0) {
        fail("unlockpt");
    }
    char name[128];
    if (::ptsname_r(pty.master(), name, sizeof name) != 0) {
        fail("ptsname_r");
    }
    pty.slavePath_ = name;

    pty.slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!pty.slave_) {
        fail("open slave");
    }
    termios tio{};
    if (::tcgetattr(pty.slave_.get(), &tio) != 0) {
        fail("tcgetattr");
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(pty.slave_.get(), TCSANOW, &tio) != 0) {
        fail("tcsetattr");
    }

    // Replies are written whole; a host that stops reading must not block the
    // thread past a stop request, so writes wait in poll() instead.
    const int flags = ::fcntl(pty.master(), F_GETFL);
    if (flags < 0 || ::fcntl(pty.master(), F_SETFL, flags | O_NONBLOCK) != 0) {
        fail("fcntl O_NONBLOCK");
    }
    return pty;
}

std::size_t Pty::unreadByHost() const noexcept
{
    int pending = 0;
    if (!slave_ || ::ioctl(slave_.get(), FIONREAD, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<std::size_t>(pending);
}

void Pty::close() noexcept
{
    master_.reset();
    slave_.reset();
}

}  // namespace korvo::sim
