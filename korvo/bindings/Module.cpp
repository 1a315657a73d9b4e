// korvo._native: the C++ haptics layer, for the `korvo` package (which
// imports KorvoHardwareAPI first, so that an Arvena made there is known
// here: both modules use the same library, loaded once).

#include "Native.h"

PYBIND11_MODULE(_native, m) {
    m.doc() = "The native part of korvo: the servo loop and what runs on its thread.";
    // Effects before the servo, whose methods take them.
    Korvo::Haptics::Python::BindEffects(m);
    Korvo::Haptics::Python::BindTeleop(m);
    Korvo::Haptics::Python::BindServo(m);
    Korvo::Haptics::Python::BindMonitor(m);
    Korvo::Haptics::Python::BindProbe(m);
    Korvo::Haptics::Python::BindErrors(m);
    // After the servo and the monitor, whose classes it adds a method to.
    Korvo::Haptics::Python::BindTaps(m);
    Korvo::PythonSupport::RememberMainThread();
}
