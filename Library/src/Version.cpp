#include "Korvo/HardwareAPI/Version.h"

#include <iostream>

namespace Korvo::HardwareAPI {

void PrintLibraryVersion() { std::cout << "Library version: " << kLibraryVersion << std::endl; }

}  // namespace Korvo::HardwareAPI
