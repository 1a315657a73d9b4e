#pragma once
// Who holds a serial port.
//
// A port belongs to one user at a time. Holding it means an exclusive
// advisory lock (flock) on the open node, the usual way on Linux (pyserial's
// exclusive=True takes the same lock), so that other programs that lock
// respect us and we respect them. A second process that opened the port
// anyway would share its input queue with us: its open flushes it, its reads
// steal bytes our counts rely on, its writes command the arm.
//
// Within one process the lock is shared: a new stream may open a port that an
// older stream of the process still holds (the recovery from a failed stream
// is a new stream, while the old object may live on). The lock then lasts
// until the last stream of the process on that port closes. While a loop of
// the process drives a port (Drive), it is its alone: no other stream of the
// process may open or use it.
//
// A process made by fork() holds no port: the lock belongs to the open file
// description that parent and child share, so a child that used it, or let
// go of it, would act for its parent. In the child every port descriptor
// inherited from the parent is replaced by a descriptor of nothing (reads
// find the end, writes fail) and the hold is forgotten, without unlocking;
// the streams that owned those descriptors see that they were opened in
// another generation (Generation) and refuse to work. The child may open
// ports of its own, but not the parent's: that one is locked, as for any
// other process.
//
// Thread safety: every function here may be called from any thread; those on
// a Port's atomics take no lock.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "Korvo/HardwareAPI/IO/PortHolder.h"

namespace Korvo::HardwareAPI::IO::PortOwnership {

// A port node as the kernel's lock table names it.
struct NodeId {
    dev_t device;
    ino_t inode;
    bool operator==(const NodeId&) const = default;
};

// The node behind `path` (links followed); nothing when it cannot be looked at.
std::optional<NodeId> Identify(const char* path);
std::optional<NodeId> Identify(int fd);

// A port node this process holds, shared by its streams on it. It lives as
// long as one of them holds it.
struct Port {
    NodeId node;
    // A descriptor of its own that carries the lock (a duplicate of the first
    // holder's, so the lock lives on when that stream closes first).
    int lock_fd = -1;
    // Streams holding it; changed under the table's lock.
    int holders = 0;
    // What drives the port ("a servo loop"), null when nothing does, and the
    // stream buffer it drives through. Set together under the table's lock,
    // `driving` first; read without it.
    std::atomic<const char*> driver{nullptr};
    std::atomic<const void*> driving{nullptr};
    // Device operations running on the port, through any of its streams.
    std::atomic<int> operations{0};
};

// An open port, or why there is none.
struct Opened {
    int fd = -1;
    Port* port = nullptr;
    std::uint64_t generation = 0;  // Generation() when it was opened
    const char* driver = nullptr;  // refused because this drives the port
};

// Opens `path` (read-write, non-blocking, no controlling terminal,
// close-on-exec) and takes it for this process. fd -1 with errno when it
// cannot be opened, and EBUSY when another holder has it, or a loop of this
// process drives it (`driver` then names the loop). Each success is paired
// with Close.
Opened Open(const char* path);
// Gives up the hold Open took and closes fd.
void Close(int fd, Port* port);

// How many forks this process is down from the one that began counting: a
// descriptor opened in an older generation is the parent's.
std::uint64_t Generation() noexcept;

// Makes `stream` the only way into `port` for this process, for the loop
// that `what` names (a string literal). Empty when it does; otherwise why
// not, as the rest of a sentence beginning "the port".
std::string Drive(Port& port, const void* stream, const char* what);
// Ends what Drive began for `stream`; nothing when it was not driving.
void StopDriving(Port& port, const void* stream) noexcept;
// Whether the port is driven through another stream than `stream`.
inline bool DrivenElsewhere(const Port& port, const void* stream) noexcept {
    return port.driver.load(std::memory_order_acquire) != nullptr &&
           port.driving.load(std::memory_order_acquire) != stream;
}

// Who holds the node: a stream of this process, or any lock in the kernel's
// table (/proc/locks), whether flock, POSIX or open-file-description lock.
// Looks without opening the port.
PortHolder WhoHolds(const NodeId& node);
// What of this process drives the node, or null.
const char* DriverOf(const NodeId& node);

}  // namespace Korvo::HardwareAPI::IO::PortOwnership
