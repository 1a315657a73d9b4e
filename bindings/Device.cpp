#include "Korvo/HardwareAPI/Devices/Device.h"

#include "Bindings.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindDevice(py::module_& m) {
    // Known to the module, callable from nowhere: Arvena and Handle are not
    // its Python subclasses.
    py::class_<Devices::Device>(m, "Device");
}

}  // namespace Korvo::HardwareAPI::Bindings
