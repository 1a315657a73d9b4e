#include "PortOwnership.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace Korvo::HardwareAPI::IO::PortOwnership {

namespace {

// One entry per port this process holds: the node, a descriptor of its own
// that carries the lock (a duplicate of the first holder's, so the lock lives
// on when that stream closes first), and how many streams hold it.
struct Held {
    NodeId node;
    int lock_fd;
    int holders;
};

std::mutex g_mutex;
std::vector<Held> g_held;

Held* Find(const NodeId& node) {
    for (Held& held : g_held) {
        if (held.node == node) return &held;
    }
    return nullptr;
}

}  // namespace

std::optional<NodeId> Identify(const char* path) {
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0) return std::nullopt;
    return NodeId{st.st_dev, st.st_ino};
}

std::optional<NodeId> Identify(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return NodeId{st.st_dev, st.st_ino};
}

bool Acquire(int fd) {
    const auto node = Identify(fd);
    if (!node) return false;
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (Held* held = Find(*node)) {
        ++held->holders;
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return false;
    }
    const int lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lock_fd < 0) {
        const int err = errno;
        ::flock(fd, LOCK_UN);
        errno = err;
        return false;
    }
    g_held.push_back({*node, lock_fd, 1});
    return true;
}

void Release(int fd) {
    const auto node = Identify(fd);
    if (!node) return;
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_held.begin(); it != g_held.end(); ++it) {
        if (it->node == *node && --it->holders == 0) {
            ::close(it->lock_fd);  // the last descriptor of the locked open: the lock goes
            g_held.erase(it);
            return;
        }
    }
}

PortHolder WhoHolds(const NodeId& node) {
    {
        const std::lock_guard<std::mutex> lock(g_mutex);
        if (Find(node) != nullptr) return PortHolder::ThisProcess;
    }
    // Lines look like "1: FLOCK  ADVISORY  WRITE 1234 00:05:1234 0 EOF", with
    // "->" before the type for a waiter; the node is the field with two
    // colons, major and minor in hexadecimal.
    std::ifstream table("/proc/locks");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            unsigned major_number = 0, minor_number = 0;
            unsigned long long inode = 0;
            char tail = 0;
            if (std::sscanf(field.c_str(), "%x:%x:%llu%c", &major_number, &minor_number, &inode, &tail) == 3) {
                if (::makedev(major_number, minor_number) == node.device && inode == node.inode) {
                    return PortHolder::Another;
                }
                break;
            }
        }
    }
    return PortHolder::Nobody;
}

}  // namespace Korvo::HardwareAPI::IO::PortOwnership

namespace Korvo::HardwareAPI::IO {

PortHolder WhoHoldsPort(const std::string& path) {
    const auto node = PortOwnership::Identify(path.c_str());
    return node ? PortOwnership::WhoHolds(*node) : PortHolder::Nobody;
}

}  // namespace Korvo::HardwareAPI::IO
