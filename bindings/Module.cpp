// Entry point of the KorvoHardwareAPI extension module.
//
// PYBIND11_MODULE refuses any interpreter but the one the module was compiled
// for ("Python version mismatch: ...") before anything else runs, creates the
// module in single-phase form and turns initialisation failures into
// ImportError.

#include "Bindings.h"
#include "GilRelease.h"

namespace bindings = Korvo::HardwareAPI::Bindings;

PYBIND11_MODULE(KorvoHardwareAPI, m) {
    m.doc() = "Python Implementation of the Korvo Hardware API";

    bindings::BindSerialStream(m);
    bindings::BindUUID(m);
    bindings::BindDevice(m);
    bindings::BindModuleFunctions(m);
    bindings::BindArvena(m);
    bindings::BindHandle(m);

    m.attr("__version__") = "dev";

    bindings::InstallInterruptCheck();
    Korvo::PythonSupport::RememberMainThread();
}
