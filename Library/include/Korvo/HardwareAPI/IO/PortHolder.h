#pragma once
// Who holds a serial port, asked without opening it.
//
// A port belongs to one user at a time: a SerialStream holds its port with an
// exclusive advisory lock (flock, as pyserial's exclusive=True does), shared
// by the streams of one process. Opening a port someone holds would flush
// the holder's input, so discovery and probing ask first and leave such a
// port alone. A process made by fork() holds none of its parent's ports.
//
// Thread safety: may be called from any thread.

#include <string>

namespace Korvo::HardwareAPI::IO {

enum class PortHolder { Nobody, ThisProcess, Another };

// Who holds the port at `path` (links followed): a stream of this process,
// another program (any lock on the node in the kernel's lock table), or
// nobody. A path that cannot be looked at is held by nobody.
PortHolder WhoHoldsPort(const std::string& path);

// What of this process drives the port at `path` ("a servo loop", "a handle
// monitor": see SerialStream::Drive), or null. While something does, no
// other stream of the process may open the port.
const char* PortDriver(const std::string& path);

}  // namespace Korvo::HardwareAPI::IO
