// A pseudo-terminal pair standing in for one device's serial cable.
#pragma once

#include <cstddef>
#include <string>

#include "Fd.h"

namespace Korvo::Sim {

class Pty {
public:
    // Throws std::system_error when the pair cannot be made.
    static Pty Open();

    Pty() = default;

    [[nodiscard]] int Master() const noexcept { return master_.Get(); }
    [[nodiscard]] const std::string& SlavePath() const noexcept { return slave_path_; }
    [[nodiscard]] bool IsOpen() const noexcept { return master_.Valid(); }

    // Bytes written by the device that the host has not read yet.
    [[nodiscard]] std::size_t UnreadByHost() const noexcept;

    // Hangs up: the host's descriptors on the slave see end of file / EIO.
    void Close() noexcept;

private:
    Fd master_;
    // Held for the pair's whole life: the master then never reports EIO/HUP while
    // the host closes and reopens the port, and the raw settings made here stay in
    // force until the host applies its own.
    Fd slave_;
    std::string slave_path_;
};

}  // namespace Korvo::Sim
