#include "Korvo/HardwareAPI/UUID.h"

#include "Bindings.h"
#include <pybind11/stl.h>

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindUUID(py::module_& m) {
    // No comparison, hashing or text form of its own: results meant for
    // comparison are handed to Python as uuid.UUID instead.
    py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", &UUID::bytes);
}

}  // namespace Korvo::HardwareAPI::Bindings
