// The port lines on standard output: the only thing korvo-sim ever prints there,
// read by fixtures to learn where each device is.
#pragma once

#include <mutex>
#include <string>

#include "Options.h"

namespace Korvo::Sim {

class Announcer {
public:
    // Writes "<kind> <path>\n" in one piece and flushes it.
    void Announce(DeviceKind kind, const std::string& slave_path);

private:
    std::mutex mutex_;
};

}  // namespace Korvo::Sim
