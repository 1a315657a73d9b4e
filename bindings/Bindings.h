#pragma once
// Registration functions of the KorvoHardwareAPI module, one per bound class
// or group of functions. Module initialisation calls them in a fixed order:
// a class must be registered before any signature that names it is rendered.

#include <pybind11/pybind11.h>

namespace Korvo::HardwareAPI::Bindings {

void BindSerialStream(pybind11::module_& m);
void BindUUID(pybind11::module_& m);
void BindDevice(pybind11::module_& m);
void BindModuleFunctions(pybind11::module_& m);
void BindArvena(pybind11::module_& m);
void BindHandle(pybind11::module_& m);

// Lets Ctrl+C end the library's waits on the main thread (KeyboardInterrupt).
void InstallInterruptCheck();

}  // namespace Korvo::HardwareAPI::Bindings
