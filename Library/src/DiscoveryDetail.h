#pragma once
// The seams of discovery: the directory, the probes' time limits and the
// answer limit are parameters here, fixed values in the public functions.

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "Korvo/HardwareAPI/Discovery.h"

namespace Korvo::HardwareAPI::DiscoveryDetail {

inline constexpr std::chrono::seconds kArvenaAnswerLimit{3};
inline constexpr std::chrono::seconds kHandleAnswerLimit{5};
inline constexpr float kProbeReadTimeout = 5.0f;

std::vector<PortEntry> ListPorts(const std::filesystem::path& directory);

// The probes of Discovery.h, with the device's read_timeout a parameter (see
// Probe.cpp).
int ProbeArvena(const char* port, float read_timeout);
int ProbeHandle(const char* port, float read_timeout);

// Probes each port of `kinds` in list order, one probe thread at a time, and
// keeps those whose probe returned nonzero within `limit`.
std::vector<std::string> Detect(const std::vector<PortEntry>& ports, std::initializer_list<PortKind> kinds,
                                const std::function<int(const char*)>& probe, std::chrono::milliseconds limit);

}  // namespace Korvo::HardwareAPI::DiscoveryDetail
