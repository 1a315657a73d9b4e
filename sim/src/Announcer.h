// The port lines on standard output: the only thing korvo-sim ever prints there,
// read by fixtures to learn where each device is.
#pragma once

#include <mutex>
#include <string>

#include "Options.h"

namespace korvo::sim {

class Announcer {
public:
    // Writes "<kind> <path>\n" in one piece and flushes it.
    void announce(DeviceKind kind, const std::string& slavePath);

private:
    std::mutex mutex_;
};

}  // namespace korvo::sim
