#include "Korvo/HardwareAPI/IO/SerialStream.h"

#include <string>

#include "Bindings.h"

namespace py = pybind11;

namespace Korvo::HardwareAPI::Bindings {

void BindSerialStream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream>(m, "SerialStream")
        .def(py::init([](const std::string& port) {
                 // Cut at the NUL, the name would open (and the arm would
                 // write to) another port than the one asked for.
                 if (port.find('\0') != std::string::npos) {
                     throw py::value_error("port name contains a NUL byte: " + py::repr(py::bytes(port)).cast<std::string>());
                 }
                 py::gil_scoped_release release;
                 return new SerialStream(port, true);
             }),
             "Initialize the serial stream");
}

}  // namespace Korvo::HardwareAPI::Bindings
