#pragma once
// Discovery: which serial ports under /dev have a device of a given kind.
//
// ListPorts lists the entries of /dev whose names contain "ttyACM" (USB
// modem-class ports), "ttyUSB" (USB serial adapters) or "rfcomm" (Bluetooth
// serial links), each resolved to its canonical path, in the directory's own
// order. An error while listing or resolving (a dangling link, say) is thrown
// as std::filesystem::filesystem_error; no partial list is returned.
//
// The detect functions probe the ports of their kinds one at a time, each on
// a thread of its own: the probe opens the port, sends the wakeup byte 0x0A
// and checks the first reply. A port that anyone holds (a stream of this
// process, or another program's lock on it, see IO/PortHolder.h) is skipped
// without being opened: discovery never disturbs a port in use. A port is
// listed when its probe answered correctly within the limit (3 s for arms,
// 5 s for handles). Blocking: the limit decides which answers count but does
// not shorten the call, which waits for every probe to end: a silent port
// costs about 10 s (arm) or 5 s (handle). Probes construct an Arvena, which
// resets the process-wide arm model (see ArmModel): do not detect while
// another thread uses an arm.
//
//   function                  ports probed         answer accepted
//   detect_arvenas            ttyACM               0x0B + 21 bytes, model 4
//   detect_handles            all three kinds      0xDA (status) or 0xD0 (info)
//   detect_wired_handles      ttyUSB               as detect_handles
//   detect_wireless_handles   rfcomm               as detect_handles

#include <string>
#include <vector>

namespace Korvo::HardwareAPI {

enum class PortKind : int {
    ACM = 1,
    USB = 2,
    RFCOMM = 3,
};

struct PortEntry {
    std::string path;  // canonical
    PortKind kind;
};

std::vector<PortEntry> ListPorts();

std::vector<std::string> detect_arvenas();
std::vector<std::string> detect_handles();
std::vector<std::string> detect_wired_handles();
std::vector<std::string> detect_wireless_handles();

// One probe each: nonzero when the expected device answered the wakeup.
// Each opens, and closes again, a port of its own; a port someone holds
// (see IO/PortHolder.h) is left alone and gives 0.
int ProbeArvena(const char* port);
int ProbeHandle(const char* port);

}  // namespace Korvo::HardwareAPI
