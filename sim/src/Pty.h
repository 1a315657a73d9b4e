// A pseudo-terminal pair standing in for one device's serial cable.
#pragma once

#include <cstddef>
#include <string>

#include "Fd.h"

namespace korvo::sim {

class Pty {
public:
    // Throws std::system_error when the pair cannot be made.
    static Pty open();

    Pty() = default;

    [[nodiscard]] int master() const noexcept { return master_.get(); }
    [[nodiscard]] const std::string& slavePath() const noexcept { return slavePath_; }
    [[nodiscard]] bool isOpen() const noexcept { return master_.valid(); }

    // Bytes written by the device that the host has not read yet.
    [[nodiscard]] std::size_t unreadByHost() const noexcept;

    // Hangs up: the host's descriptors on the slave see end of file / EIO.
    void close() noexcept;

private:
    Fd master_;
    // Held for the pair's whole life: the master then never reports EIO/HUP while
    // the host closes and reopens the port, and the raw settings made here stay in
    // force until the host applies its own.
    Fd slave_;
    std::string slavePath_;
};

}  // namespace korvo::sim
