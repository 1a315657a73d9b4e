// korvo._native.probe: what answers on a port, for the korvo command.

#include "Korvo/HardwareAPI/Probe.h"

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>

#include "Native.h"

namespace py = pybind11;
using namespace py::literals;

namespace Korvo::Haptics::Python {

void BindProbe(py::module_& m) {
    m.def(
        "probe",
        [](const std::string& path, double timeout) {
            if (!(std::isfinite(timeout) && timeout > 0.0 && timeout <= 60.0)) {
                throw py::value_error("timeout must be above 0 and at most 60 s");
            }
            using HardwareAPI::ProbeResult;
            ProbeResult r;
            {
                const GilRelease release;
                r = HardwareAPI::ProbePort(path, timeout);
            }
            static constexpr const char* kKinds[] = {"nothing", "arm", "handle", "busy", "unopenable"};
            py::dict out("kind"_a = kKinds[static_cast<int>(r.kind)], "error"_a = r.error,
                         "reason"_a = r.error != 0 ? std::strerror(r.error) : "", "detail"_a = r.detail);
            if (r.kind == ProbeResult::Kind::Arm) {
                out["device_id"] = r.arm.device_id;
                out["model"] = r.arm.device_model_number;
                out["hardware"] = r.arm.hardware_version;
                out["firmware"] = r.arm.firmware_version;
                out["uuid"] = r.arm.device_id_ext.Hex();
            } else if (r.kind == ProbeResult::Kind::Handle && r.handle_info) {
                out["device_id"] = r.handle.device_id;
                out["model"] = r.handle.device_model_number;
                out["hardware"] = r.handle.hardware_version;
                out["firmware"] = r.handle.firmware_version;
                out["tool_data_remaining"] = r.handle.tool_data_remaining;
            }
            return out;
        },
        "path"_a, "timeout"_a = 1.0,
        "What answers on a port, from one wakeup byte: a dict whose 'kind' is arm, handle, busy (held by another "
        "program; not opened), unopenable (see 'error' and 'reason') or nothing (see 'detail').");
}

}  // namespace Korvo::Haptics::Python
