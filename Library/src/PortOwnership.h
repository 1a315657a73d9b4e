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
// until the last stream of the process on that port closes.
//
// Thread safety: every function here may be called from any thread.

#include <sys/types.h>

#include <optional>

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

// Takes the port open on `fd` for this process: true when this process
// holds it now (it did already, or the lock was free); false with errno
// EBUSY when another holder has it. Each success is paired with Release.
bool Acquire(int fd);
// Gives up one hold taken on `fd` by Acquire (before fd is closed).
void Release(int fd);

// Who holds the node: a stream of this process, or any lock in the kernel's
// table (/proc/locks), whether flock, POSIX or open-file-description lock.
// Looks without opening the port.
PortHolder WhoHolds(const NodeId& node);

}  // namespace Korvo::HardwareAPI::IO::PortOwnership
