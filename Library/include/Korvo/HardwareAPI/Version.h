#pragma once

namespace Korvo::HardwareAPI {

// Version of this library (not of the Python package around it).
inline constexpr const char* kLibraryVersion = "0.2.8";

// Writes "Library version: <version>" and a newline to std::cout and flushes.
void PrintLibraryVersion();

}  // namespace Korvo::HardwareAPI
