"""The layers include only what lies below them, read from the quoted
includes of the C++ sources: the library's IO layer nothing of the devices or
of discovery, the library nothing of the korvo layer, the KorvoHardwareAPI
bindings nothing of korvo, and the simulator nothing of the library or korvo.
Python's headers stay in the bindings."""

from __future__ import annotations

import posixpath
import re
from collections import defaultdict
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
INCLUDE_ROOTS = ["Library/include", "korvo/include"]

# The library's own sources and private headers, by the layer they serve.
LIBRARY_SOURCES = {
    "Library IO": {"ErrorLog.cpp", "serialib.cpp", "SerialStream.cpp", "PortOwnership.cpp", "PortOwnership.h",
                   "Deadline.cpp", "Wait.cpp"},
    "Library devices": {"Device.cpp", "UUID.cpp", "DeviceInfo.cpp", "ArmModel.cpp", "Arvena.cpp", "Handle.cpp",
                        "StylarFrame.cpp", "Version.cpp"},
    "Library discovery": {"Discovery.cpp", "DiscoveryDetail.h", "PortList.cpp", "Probe.cpp"},
}
DISCOVERY_HEADERS = {"Discovery.h", "Probe.h"}

LIBRARY = {"Library IO", "Library devices", "Library discovery"}
# What each layer may include besides itself.
BELOW = {
    "Library IO": set(),
    "Library devices": {"Library IO"},
    "Library discovery": {"Library IO", "Library devices"},
    # Hand-offs between threads, rings, taps and port claims: what every loop
    # of the korvo layer is built from.
    "korvo realtime": {"Library IO"},
    "korvo haptics": LIBRARY | {"korvo realtime"},
    "korvo device tools": LIBRARY | {"korvo realtime"},
    "bindings": LIBRARY,
    # The two modules release the interpreter lock with one guard.
    "korvo bindings": LIBRARY | {"korvo realtime", "korvo haptics", "korvo device tools", "bindings"},
    "sim": set(),
}
PYTHON_HEADERS = re.compile(r'^\s*#\s*include\s*[<"](pybind11/|Python\.h)', re.M)
QUOTED = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path: str) -> str | None:
    """The layer of a source path relative to the root; None for what is no
    layer (tests, examples, benchmarks)."""
    name = path.rsplit("/", 1)[-1]
    if path.startswith("Library/include/Korvo/HardwareAPI/"):
        if path.startswith("Library/include/Korvo/HardwareAPI/IO/"):
            return "Library IO"
        return "Library discovery" if name in DISCOVERY_HEADERS else "Library devices"
    if path.startswith("Library/src/"):
        found = [layer for layer, names in LIBRARY_SOURCES.items() if name in names]
        return found[0] if found else "Library (unplaced)"
    if path.startswith("korvo/bindings/"):
        return "korvo bindings"
    if path.startswith(("korvo/include/Korvo/DeviceTools/", "korvo/src/DeviceTools/")):
        return "korvo device tools"
    if path.startswith(("korvo/include/Korvo/Realtime/", "korvo/src/Realtime/")):
        return "korvo realtime"
    if path.startswith(("korvo/include/", "korvo/src/")):
        return "korvo haptics"
    if path.startswith("bindings/"):
        return "bindings"
    if path.startswith("sim/"):
        return "sim"
    return None


def sources() -> dict[str, Path]:
    found = {}
    for top in ("Library", "korvo", "bindings", "sim"):
        for f in (ROOT / top).rglob("*"):
            if f.suffix in (".h", ".cpp") and f.is_file():
                found[f.relative_to(ROOT).as_posix()] = f
    return found


def include_graph() -> dict[tuple[str, str], list[str]]:
    """(including layer, included layer) -> the includes that make the edge,
    as "file -> header"; an include that names no file of the tree counts
    against the layer "unresolved"."""
    files = sources()
    edges: dict[tuple[str, str], list[str]] = defaultdict(list)
    for path, f in sorted(files.items()):
        layer = layer_of(path)
        here = path.rsplit("/", 1)[0]
        for header in QUOTED.findall(f.read_text()):
            candidates = [posixpath.normpath(f"{here}/{header}")] + [f"{r}/{header}" for r in INCLUDE_ROOTS]
            if layer is not None and layer.startswith(("Library", "korvo haptics", "korvo device", "korvo realtime")):
                candidates += [f"Library/src/{header}", f"korvo/src/{header}"]
            target = next((c for c in candidates if c in files), None)
            target_layer = layer_of(target) if target else "unresolved"
            if target_layer != layer:
                edges[(layer, target_layer)].append(f"{path} -> {header}")
    return edges


def test_every_library_source_has_a_layer():
    unplaced = [p for p in sources() if layer_of(p) == "Library (unplaced)"]
    assert unplaced == [], "add each to LIBRARY_SOURCES under the layer it serves"


@pytest.mark.parametrize("layer", sorted(BELOW))
def test_a_layer_includes_only_what_lies_below_it(layer):
    graph = include_graph()
    wrong = {to: includes for (by, to), includes in graph.items() if by == layer and to not in BELOW[layer]}
    assert wrong == {}


def test_python_stays_in_the_bindings():
    below = [p for p, f in sources().items()
             if layer_of(p) not in ("bindings", "korvo bindings") and PYTHON_HEADERS.search(f.read_text())]
    assert below == []
