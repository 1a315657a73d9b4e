#include "Korvo/HardwareAPI/Discovery.h"
#include "Korvo/HardwareAPI/Version.h"

#include <pybind11/stl.h>

#include "Bindings.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindModuleFunctions(py::module_& m) {
    m.def("get_cpp_version", [] { return kLibraryVersion; }, "Get the version of the CPP library");
    m.def("print_cpp_version", &PrintLibraryVersion, "Print the version of the CPP library");

    // Detection keeps the interpreter lock for the whole call; its probe
    // threads never touch Python. Errors of the /dev listing arrive as
    // RuntimeError ("filesystem error: ...").
    m.def("detect_arvenas", &detect_arvenas, "detect available arvena devices");
    m.def("detect_handles", &detect_handles, "detect available handles");
    m.def("detect_wired_handles", &detect_wired_handles, "detect available wired handles");
    m.def("detect_wireless_handles", &detect_wireless_handles, "detect available wireless handles");
}

}  // namespace Korvo::HardwareAPI::Bindings
