#include "Announcer.h"

#include <unistd.h>

#include <cerrno>

namespace Korvo::Sim {

void Announcer::Announce(DeviceKind kind, const std::string& slave_path)
{
    const std::string line = std::string(KindName(kind)) + ' ' + slave_path + '\n';
    std::lock_guard lock(mutex_);
    // write(2) directly: one call per line, nothing buffered behind a reader's back.
    // A reader that has gone away is not an error worth stopping the devices for.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace Korvo::Sim
