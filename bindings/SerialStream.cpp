#include "Korvo/HardwareAPI/IO/SerialStream.h"

#include <string>

#include "Bindings.h"
#include "GilRelease.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindSerialStream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream>(m, "SerialStream")
        // A name holding a NUL byte is refused by the stream itself
        // (std::invalid_argument, which Python receives as ValueError).
        .def(py::init([](const std::string& port) { return new SerialStream(port, true); }),
             "Initialize the serial stream", py::call_guard<PythonSupport::GilRelease>());
}

}  // namespace Korvo::HardwareAPI::Bindings
