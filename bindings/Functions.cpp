#include "Korvo/HardwareAPI/Version.h"

#include "Bindings.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindModuleFunctions(py::module_& m) {
    m.def("get_cpp_version", [] { return kLibraryVersion; }, "Get the version of the CPP library");
    m.def("print_cpp_version", &PrintLibraryVersion, "Print the version of the CPP library");
}

}  // namespace Korvo::HardwareAPI::Bindings
