#include "PortOwnership.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace Korvo::HardwareAPI::IO::PortOwnership {

namespace {

// Guards the tables below, and is held across fork() so that a child never
// sees them half changed.
std::mutex g_mutex;
std::vector<Port*> g_held;
// Every descriptor of an open stream, for the child of a fork to replace.
std::vector<int> g_port_fds;
std::atomic<std::uint64_t> g_generation{0};
std::once_flag g_fork_handlers;

Port* Find(const NodeId& node) {
    for (Port* port : g_held) {
        if (port->node == node) return port;
    }
    return nullptr;
}

void BeforeFork() noexcept { g_mutex.lock(); }

void AfterForkInParent() noexcept { g_mutex.unlock(); }

// Only async-signal-safe calls: the parent may have had other threads.
void AfterForkInChild() noexcept {
    // The child's references to the parent's open ports go. The lock itself
    // is never touched: it is the parent's.
    for (Port* port : g_held) ::close(port->lock_fd);
    // Closing a stream's descriptor would leave a number that the stream
    // could close again after reuse, so each is replaced in place by the
    // read end of a pipe with no writer: reads find the end, writes fail,
    // it is no terminal. (Without a pipe to spare, they stay as they are.)
    int ends[2];
    if (!g_port_fds.empty() && ::pipe2(ends, O_CLOEXEC) == 0) {
        ::close(ends[1]);
        for (const int fd : g_port_fds) ::dup3(ends[0], fd, O_CLOEXEC);
        ::close(ends[0]);
    }
    // Forgotten, not freed: the inherited streams still point to their Port
    // (and look at their generation first).
    g_held.clear();
    g_port_fds.clear();
    g_generation.fetch_add(1);
    g_mutex.unlock();
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

Opened Open(const char* path) {
    std::call_once(g_fork_handlers, [] { ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); });
    Opened opened;
    // The open, the lock and the record are one step for a fork: a child
    // never inherits a port descriptor that its tables do not know.
    const std::lock_guard<std::mutex> lock(g_mutex);
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NDELAY | O_CLOEXEC);
    if (fd < 0) return opened;
    const auto refuse = [&](int err) {
        ::close(fd);
        errno = err;
        return opened;
    };
    const auto node = Identify(fd);
    if (!node) return refuse(errno);
    Port* port = Find(*node);
    if (port != nullptr) {
        if (const char* driver = port->driver.load()) {
            opened.driver = driver;
            return refuse(EBUSY);
        }
        ++port->holders;
    } else {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
        const int lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (lock_fd < 0) {
            const int err = errno;
            ::flock(fd, LOCK_UN);
            return refuse(err);
        }
        port = new Port;
        port->node = *node;
        port->lock_fd = lock_fd;
        port->holders = 1;
        g_held.push_back(port);
    }
    g_port_fds.push_back(fd);
    opened.fd = fd;
    opened.port = port;
    opened.generation = g_generation.load();
    return opened;
}

void Close(int fd, Port* port) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_port_fds.erase(std::remove(g_port_fds.begin(), g_port_fds.end(), fd), g_port_fds.end());
    if (port != nullptr && --port->holders == 0) {
        // With fd, the last descriptor of the locked open goes, and the lock.
        ::close(port->lock_fd);
        g_held.erase(std::remove(g_held.begin(), g_held.end(), port), g_held.end());
        delete port;
    }
    // Under the lock: a fork meanwhile would otherwise replace a number that
    // is no longer ours.
    ::close(fd);
}

std::uint64_t Generation() noexcept { return g_generation.load(std::memory_order_relaxed); }

std::string Drive(Port& port, const void* stream, const char* what) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (const char* driver = port.driver.load()) return std::string("is driven by ") + driver + " of this process";
    port.driving.store(stream);
    port.driver.store(what);
    // A device operation that began before this still runs: no driving then.
    if (port.operations.load() > 0) {
        port.driver.store(nullptr);
        port.driving.store(nullptr);
        return "is in use on another thread";
    }
    return {};
}

void StopDriving(Port& port, const void* stream) noexcept {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (port.driving.load() != stream) return;
    port.driver.store(nullptr);
    port.driving.store(nullptr);
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

const char* DriverOf(const NodeId& node) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    const Port* port = Find(node);
    return port != nullptr ? port->driver.load() : nullptr;
}

}  // namespace Korvo::HardwareAPI::IO::PortOwnership

namespace Korvo::HardwareAPI::IO {

PortHolder WhoHoldsPort(const std::string& path) {
    const auto node = PortOwnership::Identify(path.c_str());
    return node ? PortOwnership::WhoHolds(*node) : PortHolder::Nobody;
}

const char* PortDriver(const std::string& path) {
    const auto node = PortOwnership::Identify(path.c_str());
    return node ? PortOwnership::DriverOf(*node) : nullptr;
}

}  // namespace Korvo::HardwareAPI::IO
