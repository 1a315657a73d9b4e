"""korvo: list, inspect and watch Korvo devices from the command line.

    korvo list [--json] [--timeout S]      every arm and handle on this machine
    korvo info PORT [--timeout S]          what the device on PORT says about itself
    korvo monitor PORT [PORT] [--seconds S]   a live view of an arm and/or a handle
    korvo record ARM [HANDLE] --output PATH [--seconds S]   every tick to a rosbag2 recording (MCAP)
    korvo reindex PATH                     finish a recording a killed process left, write its metadata.yaml
    korvo plot FILE [--output PNG]         a recording at a glance, as a picture
    korvo udev [--install]                 a udev rule for the devices
    korvo bridge ARM_PORT [HANDLE_PORT]    the devices as ROS 2 nodes on Zenoh (rmw_zenoh's form)
    korvo teleop leader|follower PORT --peer NS   one end of a teleoperation pair, over the bridge

Expected failures (no such port, no permission, a port another program
holds, no device) are one line on standard error and a non-zero exit
status: 2 for a bad command line (checked before anything is opened), 1 for
the rest. Output to a pipe that closes early (korvo list | head -1) ends the
command quietly, with status 141, as for a program ended by SIGPIPE.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import grp
import json
import math
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from . import _native
from .arguments import TIMEOUT, Parser, number, usb_id

NAME_PATTERN = re.compile(r"ttyACM|ttyUSB|rfcomm")
RULES_FILE = "60-korvo.rules"


class Failure(Exception):
    """An expected failure: its text is the one line the user sees."""


def fail(text: str) -> None:
    raise Failure(text)


# -- ports ------------------------------------------------------------------------------------


@dataclass
class Port:
    path: str                                   # canonical
    names: list[str] = field(default_factory=list)   # every /dev name that leads to it
    kind: str = "nothing"                       # arm, handle, busy, unopenable, nothing
    device: dict[str, Any] = field(default_factory=dict)
    usb: dict[str, str] = field(default_factory=dict)
    note: str = ""


def candidate_ports(dev: str = "/dev") -> list[Port]:
    """Serial nodes whose names show a USB modem, a USB serial adapter or a
    Bluetooth link, each once (with every name that leads to it, from /dev
    and its serial/by-id and by-path links)."""
    ports: dict[str, Port] = {}
    try:
        direct = sorted(Path(e.path) for e in os.scandir(dev) if NAME_PATTERN.search(e.name))
    except OSError:
        direct = []
    links: list[Path] = []
    for sub in ("serial/by-id", "serial/by-path"):
        try:
            links += sorted(Path(e.path) for e in os.scandir(os.path.join(dev, sub)))
        except OSError:
            continue
    for name in direct + links:
        try:
            real = os.path.realpath(name, strict=True)
        except OSError:
            continue
        if name in links and real not in ports:
            continue  # a link to a port of some other kind
        ports.setdefault(real, Port(real)).names.append(str(name))
    return list(ports.values())


def usb_details(path: str) -> dict[str, str]:
    """Vendor, product and serial number from sysfs, for ports on USB."""
    node = Path("/sys/class/tty") / Path(path).name / "device"
    try:
        here = node.resolve(strict=True)
    except OSError:
        return {}
    for directory in [here, *here.parents]:
        if (directory / "idVendor").exists():
            out = {}
            for key, file in (("vendor_id", "idVendor"), ("product_id", "idProduct"), ("vendor", "manufacturer"),
                              ("product", "product"), ("serial", "serial")):
                try:
                    out[key] = (directory / file).read_text().strip()
                except OSError:
                    pass
            return out
    return {}


def permission_text(path: str) -> str:
    try:
        group = grp.getgrgid(os.stat(path).st_gid).gr_name
    except (OSError, KeyError):
        group = "dialout"
    return (f"no permission to open {path}: add yourself to the group '{group}' "
            f"(sudo usermod -aG {group} $USER, then log in again), or install the rule of 'korvo udev'")


def no_device(path: str, kind: str, result: dict[str, Any], listing: bool) -> str:
    """Why a busy, unopenable or silent port is no device: as the rest of a
    line of `korvo list`, after the port's path, or as a line of its own."""
    if kind == "busy":
        return "busy: another program holds it (not probed)" if listing else f"{path} is busy: another program holds it"
    if kind == "unopenable":
        if result.get("error") == 13:
            return "no permission" if listing else permission_text(path)
        return f"cannot open{'' if listing else ' ' + path}: {result.get('reason')}"
    detail = result.get("detail") or "no answer"
    return f"nothing answers ({detail})" if listing else f"no device answers on {path}: {detail}"


def describe(port: Port) -> str:
    d = port.device
    if port.kind in ("arm", "handle"):
        if "device_id" not in d:
            return "handle (streaming status)"
        return f"{port.kind}, device {d['device_id']}, model {d['model']}, hardware {d['hardware']}, firmware {d['firmware']}"
    return no_device(port.path, port.kind, d, listing=True)


def probe_all(ports: list[Port], timeout: float, progress: bool) -> None:
    """Probes every port at once, each on a thread of its own: the whole takes
    about one probe's limit however many ports there are."""
    done = 0
    lock = threading.Lock()

    def one(port: Port) -> None:
        nonlocal done
        result: dict[str, Any] = dict(_native.probe(port.path, timeout))
        port.kind = str(result.pop("kind"))
        port.device = result
        port.usb = usb_details(port.path)
        with lock:
            done += 1
            if progress:
                print(f"\rprobing {len(ports)} ports ... {done} done", end="", file=sys.stderr, flush=True)

    if progress and ports:
        print(f"\rprobing {len(ports)} ports ...", end="", file=sys.stderr, flush=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, len(ports))) as pool:
        list(pool.map(one, ports))
    if progress and ports:
        print("\r" + " " * 40 + "\r", end="", file=sys.stderr, flush=True)


def command_list(args: argparse.Namespace) -> int:
    ports = candidate_ports(args.dev)
    probe_all(ports, args.timeout, progress=sys.stderr.isatty() and not args.json)
    devices = [p for p in ports if p.kind in ("arm", "handle")]
    if args.json:
        print(json.dumps([asdict(p) for p in ports], indent=2))
    else:
        for p in ports:
            links = ", ".join(n for n in p.names if n != p.path) or "-"
            usb = p.usb
            usb_text = (f"USB {usb.get('vendor_id', '?')}:{usb.get('product_id', '?')} {usb.get('vendor', '')} "
                        f"{usb.get('product', '')} serial {usb.get('serial', '-')}".replace("  ", " ")) if usb else ""
            print(f"{p.path:18} {describe(p)}")
            print(f"{'':18} names: {links}" + (f"; {usb_text}" if usb_text else ""))
    if not devices:
        fail("no device found" if ports else "no serial ports (ttyACM, ttyUSB, rfcomm) on this machine")
    return 0


# -- one port -----------------------------------------------------------------------------------


def open_checks(path: str) -> None:
    if not os.path.exists(path):
        fail(f"no such port: {path}")
    if not stat.S_ISCHR(os.stat(path).st_mode):
        fail(f"{path} is not a serial port (not a character device)")


def probed(path: str, timeout: float) -> dict[str, Any]:
    open_checks(path)
    result: dict[str, Any] = dict(_native.probe(path, timeout))
    if result["kind"] not in ("arm", "handle"):
        fail(no_device(path, result["kind"], result, listing=False))
    return result


def command_info(args: argparse.Namespace) -> int:
    import KorvoHardwareAPI as hw

    from ._native import HandleMonitor

    result = probed(args.port, args.timeout)
    identity = [("device id", "device_id"), ("model", "model"), ("hardware", "hardware"), ("firmware", "firmware")]
    if result["kind"] == "arm":
        arm = hw.Arvena(hw.SerialStream(args.port), args.timeout)
        print(f"{args.port}: Arvena arm")
        for title, key in identity + [("identifier", "uuid")]:
            print(f"  {title:16} {result[key]}")
        print(f"  firmware id      {arm.get_firmware_version()}")
        print(f"  powered          {arm.get_power_status()}")
        print(f"  temperature      {arm.get_temperature():.1f} C")
        currents = arm.get_motor_currents()
        print(f"  motor currents   {currents[0]:.3f} {currents[1]:.3f} {currents[2]:.3f} A")
        return 0
    print(f"{args.port}: Handle")
    if "device_id" in result:
        for title, key in identity + [("tool data left", "tool_data_remaining")]:
            print(f"  {title:16} {result[key]}")
    with HandleMonitor(args.port) as monitor:
        deadline = time.monotonic() + args.timeout
        while monitor.status is None and time.monotonic() < deadline:
            time.sleep(0.01)
        status = monitor.status
    if status is None:
        print("  status frames    none (the handle does not stream)")
    else:
        print(f"  battery          {status.battery:.3f} V")
        print(f"  buttons          {status.buttons:03b}")
        print(f"  trigger          {status.trigger}")
        print("  orientation      " + " ".join(f"{q:+.4f}" for q in status.quaternion))
    return 0


class Stopping:
    """Ctrl+C, SIGTERM and SIGHUP (kill, a service manager, a closed terminal)
    while a command runs its devices: the first ends the command's loop at
    its `wait`, which it wakes at once, and the command then cleans up
    (commands withdrawn, each loop's last force zero, a recording finished).

    The handlers only take note. One that raised KeyboardInterrupt would have
    it surface between any two of the loop's instructions, and Python 3.13.0
    has some that no try statement covers (a while loop's jump back): the
    exception would leave the command past its clean-up."""

    def __init__(self) -> None:
        self.signum = 0
        self._signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
        self._previous: dict[int, Any] = {}
        self._wake = -1
        self._woken = -1
        self._previous_wake = -1

    def __enter__(self) -> Stopping:
        if threading.current_thread() is not threading.main_thread():
            return self  # no handlers there: `wait` only waits
        # Written by the interpreter's own handler, in whichever thread the
        # signal lands: a loop's wait wakes even when the main thread is not
        # the one interrupted.
        self._woken, self._wake = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._previous_wake = signal.set_wakeup_fd(self._wake, warn_on_full_buffer=False)
        for signum in self._signals:
            self._previous[signum] = signal.signal(signum, self._take)
        return self

    def _take(self, signum: int, _frame: Any) -> None:
        if not self.signum:
            self.signum = signum

    def wait(self, seconds: float) -> bool:
        """Waits `seconds`, less when a signal comes; True once one has."""
        if self._woken < 0:
            time.sleep(max(0.0, seconds))
            return bool(self.signum)
        if not self.signum:
            ready, _, _ = select.select([self._woken], [], [], max(0.0, seconds))
            if ready:
                # The numbers are in the pipe before the handler has run.
                for number in os.read(self._woken, 64):
                    if number in self._signals and not self.signum:
                        self.signum = number
        return bool(self.signum)

    def __exit__(self, *_: object) -> None:
        for signum, previous in self._previous.items():
            # A handler Python did not install (None) cannot be put back;
            # the default is what the clean-up left to act for.
            signal.signal(signum, signal.SIG_DFL if previous is None else previous)
        self._previous.clear()
        if self._woken >= 0:
            signal.set_wakeup_fd(self._previous_wake)
            os.close(self._woken)
            os.close(self._wake)
            self._woken = self._wake = -1

    @property
    def interrupted(self) -> bool:
        """Ended by Ctrl+C."""
        return self.signum == signal.SIGINT

    def end_by_signal(self) -> None:
        """After the clean-up: a process ended by SIGTERM or SIGHUP ends by
        that signal, as the default would have ended it."""
        if self.signum in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(self.signum, signal.SIG_DFL)
            os.kill(os.getpid(), self.signum)


def command_monitor(args: argparse.Namespace) -> int:
    from ._native import HandleMonitor, Servo

    if len(args.ports) > 2:
        print("korvo: monitor shows one arm and one handle: give at most two ports", file=sys.stderr)
        return 2
    arm: Servo | None = None
    handle: HandleMonitor | None = None
    for port in args.ports:
        kind = probed(port, args.timeout)["kind"]
        if kind == "arm" and arm is None:
            # A zero force, answered at 200 Hz: the arm is free, and watched.
            arm = Servo(port, rate=200.0, realtime=False, max_force=0.5)
            arm.start()
            arm_port = port
        elif kind == "handle" and handle is None:
            handle = HandleMonitor(port)
            handle.start()
            handle_port = port
        else:
            fail(f"{port}: a second {kind}; monitor shows one arm and one handle")
    in_place = sys.stdout.isatty()
    end = time.monotonic() + args.seconds if args.seconds is not None else float("inf")
    reported: set[str] = set()
    with Stopping() as stopping:
        try:
            while time.monotonic() < end:
                parts = []
                if arm is not None:
                    if not arm.running:
                        if "arm" not in reported:
                            reported.add("arm")
                            print(("\n" if in_place else "") + f"arm on {arm_port}: disconnected", file=sys.stderr, flush=True)
                        parts.append("arm disconnected")
                    else:
                        s, st = arm.state, arm.stats
                        parts.append(
                            f"arm pos {s.position[0]:+.4f} {s.position[1]:+.4f} {s.position[2]:+.4f} m "
                            f"vel {s.velocity[0]:+.3f} {s.velocity[1]:+.3f} {s.velocity[2]:+.3f} m/s "
                            f"{st.rate:4.0f} Hz latency p50 {st.exchange_p50 * 1e6:4.0f} us p99 {st.exchange_p99 * 1e6:5.0f} us"
                        )
                if handle is not None:
                    if handle.disconnected:
                        if "handle" not in reported:
                            reported.add("handle")
                            print(("\n" if in_place else "") + f"handle on {handle_port}: disconnected", file=sys.stderr,
                                  flush=True)
                        parts.append("handle disconnected")
                    elif (h := handle.status) is None:
                        parts.append("handle: no frame yet")
                    else:
                        handle.events()
                        parts.append(
                            "handle q " + " ".join(f"{q:+.3f}" for q in h.quaternion)
                            + f" buttons {h.buttons:03b} trigger {h.trigger:2d} battery {h.battery:.2f} V"
                        )
                line = " | ".join(parts)
                print(("\r" + line + " \x1b[K") if in_place else line, end="" if in_place else "\n", flush=True)
                if len(reported) == (arm is not None) + (handle is not None):
                    if in_place:
                        print()
                    return 1
                if stopping.wait(0.1 if in_place else 0.5):
                    break
        finally:
            if arm is not None:
                arm.stop()
            if handle is not None:
                handle.stop()
    if in_place:
        print()
    stopping.end_by_signal()
    return 0


# -- recordings --------------------------------------------------------------------------------------


def ros_modules() -> Any:
    try:
        from .ros import bag
    except ImportError as e:
        fail(f"recordings need the ros extra (pip install 'KorvoHardwareAPI[ros]'): {e}")
    return bag


def command_record(args: argparse.Namespace) -> int:
    from ._native import HandleMonitor, Servo

    bag = ros_modules()
    if args.seconds is not None and not args.seconds > 0:
        fail(f"--seconds must be above 0, not {args.seconds}")
    probed(args.arm, args.timeout)
    if args.handle is not None:
        probed(args.handle, args.timeout)
    # A zero force: the arm is free, and every tick of it recorded.
    servo = Servo(args.arm, rate=args.rate, max_force=0.5)
    monitor = HandleMonitor(args.handle) if args.handle is not None else None
    try:
        # Before the loop starts: a path that cannot be written stops here.
        recorder = servo.record(args.output, monitor=monitor)
    except bag.BagError as e:
        fail(str(e))
    status = 0
    in_place = sys.stdout.isatty()
    # A terminated recording ends as one interrupted by Ctrl+C: complete.
    with Stopping() as stopping:
        try:
            servo.start()
            if monitor is not None:
                monitor.start()
            end = time.monotonic() + args.seconds if args.seconds else float("inf")
            while time.monotonic() < end and servo.running:
                if stopping.wait(min(0.5, end - time.monotonic())) or recorder.error is not None:
                    break
                line = (f"recording {args.output}: {recorder.ticks} ticks, {recorder.ticks_lost} lost"
                        + (f", {recorder.frames} handle frames" if monitor is not None else ""))
                print(("\r" + line + " \x1b[K") if in_place else line, end="" if in_place else "\n", flush=True)
            if not servo.running and servo.end_reason:
                print(("\n" if in_place else "") + f"arm on {args.arm}: {servo.end_reason}", file=sys.stderr)
                status = 1
        finally:
            servo.stop()
            if monitor is not None:
                monitor.stop()
            if in_place:
                print()
            try:
                recorder.stop()
            except bag.BagError as e:
                print(f"korvo: {e}", file=sys.stderr)
                status = 1
    print(f"wrote {args.output}: {recorder.ticks} ticks ({recorder.ticks_lost} lost)"
          + (f", {recorder.frames} handle frames ({recorder.frames_lost} lost)" if monitor is not None else ""))
    return status


def command_reindex(args: argparse.Namespace) -> int:
    bag = ros_modules()
    if not os.path.exists(args.path):
        fail(f"no such recording: {args.path}")
    try:
        found = bag.finish(args.path)
    except bag.BagError as e:
        fail(str(e))
    if found["was_finished"]:
        print(f"{args.path}: complete already ({found['messages']} messages); metadata written")
    else:
        print(f"{args.path}: finished, {found['messages']} messages kept, {found['bytes_cut']} bytes of a torn end cut")
    return 0


def command_plot(args: argparse.Namespace) -> int:
    from . import plot

    if not os.path.exists(args.file):
        fail(f"no such recording: {args.file}")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        fail("plotting needs matplotlib (pip install 'KorvoHardwareAPI[plot]')")
    source = Path(args.file)
    output = Path(args.output) if args.output else source.parent / (source.name.rstrip("/").removesuffix(source.suffix) + ".png")
    try:
        run = plot.load(source)
    except (ValueError, OSError) as e:
        fail(f"cannot read {args.file}: {e}")
    except ImportError as e:
        fail(f"reading {args.file} needs the ros extra (pip install 'KorvoHardwareAPI[ros]'): {e}")
    if len(run.tick) == 0:
        fail(f"{args.file} holds no ticks")
    plot.draw(run, output)
    print(f"wrote {output}")
    return 0


# -- udev -------------------------------------------------------------------------------------------


def udev_rule(group: str, vendor: str | None, product: str | None) -> str:
    lines = [
        "# Korvo devices (Arvena arm, Handle): read and write for the group "
        f"'{group}', and ModemManager leaves them alone",
        "# (it would otherwise probe a new ttyACM port with modem commands).",
    ]
    if vendor and product:
        match = f'ATTRS{{idVendor}}=="{vendor}", ATTRS{{idProduct}}=="{product}", '
    else:
        lines.append("# Every USB modem and serial adapter is matched: give --vendor and --product to match only yours.")
        match = ""
    for kernel in ("ttyACM[0-9]*", "ttyUSB[0-9]*"):
        lines.append(
            f'SUBSYSTEM=="tty", KERNEL=="{kernel}", {match}GROUP="{group}", MODE="0660", ENV{{ID_MM_DEVICE_IGNORE}}="1"'
        )
    lines.append(f'SUBSYSTEM=="tty", KERNEL=="rfcomm[0-9]*", GROUP="{group}", MODE="0660"')
    return "\n".join(lines) + "\n"


def command_udev(args: argparse.Namespace) -> int:
    if (args.vendor is None) != (args.product is None):
        fail("give both --vendor and --product, or neither")
    rule = udev_rule(args.group, args.vendor, args.product)
    if not args.install:
        print(rule, end="")
        return 0
    if os.geteuid() != 0:
        fail("udev --install writes to /etc/udev/rules.d: run it as root (sudo korvo udev --install)")
    target = Path(args.rules_dir) / RULES_FILE
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(rule)
    except OSError as e:
        fail(f"cannot write {target}: {e.strerror}")
    print(f"wrote {target}")
    if shutil.which("udevadm"):
        for command in (["udevadm", "control", "--reload-rules"], ["udevadm", "trigger", "--subsystem-match=tty"]):
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                fail(f"{' '.join(command)} failed: {done.stderr.strip() or done.returncode}")
        print("udev rules reloaded; plug the devices in again if they were connected")
    else:
        print("udevadm not found: the rule applies from the next boot")
    return 0


# -- bridge ---------------------------------------------------------------------------------------------


def default_namespaces(kinds: list[str]) -> list[str]:
    """'arm' and 'handle' for one of each; 'arm_1', 'arm_2', ... for several."""
    return [kind if kinds.count(kind) == 1 else f"{kind}_{kinds[: i + 1].count(kind)}" for i, kind in enumerate(kinds)]


def network_checks(connect: str | None, listen: str | None, namespaces: tuple[str | None, ...]) -> None:
    """The endpoints and namespaces given, before anything is opened."""
    from .ros import zenoh_wire

    try:
        zenoh_wire.session_config(connect, listen)
        for ns in namespaces:
            if ns is not None:
                zenoh_wire.namespace(ns)
    except zenoh_wire.WireError as e:
        fail(str(e))


def command_bridge(args: argparse.Namespace) -> int:
    try:
        from .ros import zenoh_wire
        from .ros.bridge import Bridge
    except ImportError as e:
        fail(f"korvo bridge needs the ROS 2 extra ({e.name} is missing): pip install 'KorvoHardwareAPI[ros]'")
    if args.all == bool(args.arm):
        fail("give an arm's port (and a handle's), or --all for every device of this machine")
    if args.all and (args.namespace or args.handle_namespace):
        fail("--all names every device's namespace itself (arm, handle; arm_1, arm_2, ... for several)")
    network_checks(args.connect, args.listen, (args.namespace, args.handle_namespace))
    if args.all:
        ports = candidate_ports(args.dev)
        probe_all(ports, args.timeout, progress=False)
        found = [(p.path, p.kind) for p in ports if p.kind in ("arm", "handle")]
        if not found:
            fail("no device found")
        namespaces = default_namespaces([kind for _, kind in found])
    else:
        found = [(args.arm, "arm")] + ([(args.handle, "handle")] if args.handle else [])
        namespaces = [args.namespace or "arm", args.handle_namespace or "handle"][: len(found)]
        for port, _ in found:
            open_checks(port)
    if len({zenoh_wire.namespace(ns) for ns in namespaces}) != len(namespaces):
        fail("every device needs a namespace of its own: " + " ".join(namespaces))

    # The bridge ends as at Ctrl+C: commands withdrawn, each loop's last
    # force zero, the nodes gone from the graph.
    stopping = Stopping()

    from ._native import HandleMonitor, Servo

    devices: list[Any] = []
    bridges: list[Any] = []
    session: Any = None
    status = 0
    with stopping:
        try:
            try:
                session = zenoh_wire.open_session(args.connect, args.listen)
            except ConnectionError as e:
                fail(str(e))
            where = f"router listening on {args.listen}" if args.listen else f"client of {args.connect or zenoh_wire.DEFAULT_ROUTER}"
            print(f"korvo bridge: Zenoh session {session.info.zid()}, {where}, domain {args.domain}", flush=True)
            for (port, kind), ns in zip(found, namespaces):
                try:
                    # The bridge checks its options before the device hears anything.
                    if kind == "arm":
                        device: Any = Servo(port, rate=args.rate, max_force=args.max_force)
                        bridge = Bridge(device, namespace=ns, domain=args.domain, session=session, rate=args.publish_rate,
                                        command_timeout=args.command_timeout, fade_time=args.fade_time,
                                        spring_stiffness=args.spring_stiffness, spring_damping=args.spring_damping,
                                        spring_speed=args.spring_speed)
                    else:
                        device = HandleMonitor(port)
                        bridge = Bridge(None, device, handle_namespace=ns, domain=args.domain, session=session)
                    device.start()
                    devices.append(device)
                except (OSError, RuntimeError, ValueError) as e:
                    fail(f"{kind} on {port}: {e}")
                bridge.start()
                bridges.append(bridge)
                print(f"{kind} {port}: {zenoh_wire.namespace(ns)}", flush=True)
            end_at = time.monotonic() + args.seconds if args.seconds else float("inf")
            while time.monotonic() < end_at:
                if stopping.wait(0.1):
                    break
                for (port, kind), device, bridge in zip(found, devices, bridges):
                    gone = (not device.running) if kind == "arm" else device.disconnected
                    if gone:
                        fail(f"{kind} on {port}: {(device.end_reason if kind == 'arm' else '') or 'disconnected'}")
                    if not bridge.running:
                        fail(f"the bridge of {port} ended: {bridge.error!r}")
        except Failure as e:
            print(f"korvo: {e}", file=sys.stderr)
            status = 1
        finally:
            for bridge in bridges:
                bridge.stop()
            for device in devices:
                device.stop()
            if session is not None:
                session.close()
    if stopping.interrupted and status == 0:
        status = 130
    stopping.end_by_signal()
    return status


# -- teleoperation -----------------------------------------------------------------------------------


def teleop_line(role: str, end: Any, servo: Any) -> str:
    r, stats = end.report, servo.stats
    peer = "follower" if role == "leader" else "leader"
    if r.sample_age < 0:
        link = f"{peer}: none yet"
    else:
        link = f"{peer} {r.sample_age * 1e3:5.1f} ms old, {end.status}"
    if role == "leader":
        what = "rendering " + " ".join(f"{f:+.2f}" for f in r.force) + " N"
    else:
        stretch = math.dist(r.anchor, r.position) * 1e3
        what = f"spring {stretch:5.1f} mm, force " + " ".join(f"{f:+.2f}" for f in r.force) + " N"
    return (f"{role} {stats.rate:4.0f} Hz | {link} | {what} | link {r.link:.2f} | "
            f"passivity: dissipated {r.dissipated * 1e3:7.2f} mJ, budget {r.observed * 1e3:+8.2f} mJ")


def command_teleop(args: argparse.Namespace) -> int:
    try:
        from .ros import teleop, zenoh_wire
    except ImportError as e:
        fail(f"korvo teleop needs the ROS 2 extra ({e.name} is missing): pip install 'KorvoHardwareAPI[ros]'")
    from ._native import TeleopCoupling
    from .servo import Servo

    if args.output is not None or args.data is not None:
        for path in (args.output, args.data):
            if path is not None and not Path(path).resolve().parent.is_dir():
                fail(f"cannot write {path}: no such directory")
    if args.output is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            fail("--output needs matplotlib (pip install 'KorvoHardwareAPI[plot]')")
    network_checks(args.connect, args.listen, (args.peer, args.namespace))
    if zenoh_wire.namespace(args.namespace or args.role) == zenoh_wire.namespace(args.peer):
        fail(f"the peer needs a namespace of its own: both are {zenoh_wire.namespace(args.peer)}")
    coupling = dict(stiffness=args.stiffness, damping=args.damping, local_damping=args.local_damping,
                    position_scale=args.position_scale, force_scale=args.force_scale, max_speed=args.max_speed,
                    ramp_time=args.ramp_time, fade_time=args.fade_time)
    try:
        # The coupling's own checks, before anything is opened.
        TeleopCoupling(args.role, **coupling)
    except ValueError as e:
        fail(str(e))
    open_checks(args.port)

    # As the bridge: the coupling withdrawn, the arm's last force zero.
    stopping = Stopping()
    # A thread that wakes for a tick takes the interpreter from a busy one
    # within half a millisecond, not five.
    sys.setswitchinterval(0.0005)

    servo: Any = None
    end: Any = None
    session: Any = None
    status = 0
    in_place = sys.stdout.isatty()
    with stopping:
        try:
            try:
                session = zenoh_wire.open_session(args.connect, args.listen)
            except ConnectionError as e:
                fail(str(e))
            try:
                servo = Servo(args.port, rate=args.rate, max_force=args.max_force)
                end = teleop.Teleop(
                    servo, args.role, args.peer, namespace=args.namespace, session=session, domain=args.domain,
                    passivity=not args.no_passivity, delay=args.delay_ms / 1e3, jitter=args.jitter_ms / 1e3,
                    command_timeout=args.command_timeout, publish_rate=args.publish_rate, history=args.history,
                    **coupling)
                servo.start()
            except (OSError, RuntimeError, ValueError) as e:
                fail(f"arm on {args.port}: {e}")
            end.start()
            where = f"router listening on {args.listen}" if args.listen else f"client of {args.connect or zenoh_wire.DEFAULT_ROUTER}"
            print(f"korvo teleop: {args.role} on {args.port} as {end.namespace}, peer {end.peer}; Zenoh {where}; "
                  f"delay {args.delay_ms:g} ms + up to {args.jitter_ms:g} ms, command timeout {end.command_timeout:g} s, "
                  f"passivity controller {'off' if args.no_passivity else 'on'}", flush=True)
            end_at = time.monotonic() + args.seconds if args.seconds else float("inf")
            shown = 0.0
            while time.monotonic() < end_at:
                if stopping.wait(0.05):
                    break
                end.drain()
                for at, text in end.events():
                    print(("\r\x1b[K" if in_place else "") + f"korvo teleop: {text} (at {at:.3f} s)", flush=True)
                if not servo.running:
                    fail(f"arm on {args.port}: {servo.end_reason or 'the loop ended'}")
                if not end.running or not end.bridge.running:
                    fail(f"the teleoperation link ended: {end.error or end.bridge.error!r}")
                if time.monotonic() - shown >= (0.25 if in_place else 1.0):
                    shown = time.monotonic()
                    line = teleop_line(args.role, end, servo)
                    print(("\r" + line + " \x1b[K") if in_place else line, end="" if in_place else "\n", flush=True)
        except Failure as e:
            print(("\n" if in_place else "") + f"korvo: {e}", file=sys.stderr)
            status = 1
        finally:
            if in_place:
                print()
            if end is not None:
                end.stop()
            if servo is not None:
                servo.stop()
            if session is not None:
                session.close()
    if stopping.interrupted and status == 0:
        status = 130
    if end is not None and end.coupling.writes and (args.output or args.data):
        data = end.data()
        if args.data:
            teleop.save(data, args.data)
            print(f"wrote {args.data}")
        if args.output:
            from . import plot

            try:
                plot.draw_teleop(data, args.output)
                print(f"wrote {args.output}")
            except ValueError as e:
                print(f"korvo: no picture: {e}", file=sys.stderr)
    stopping.end_by_signal()
    return status


# -- the command ------------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = Parser(prog="korvo", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = top.add_subparsers(dest="command", required=True)
    p = sub.add_parser("list", help="every arm and handle on this machine")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.add_argument("--timeout", type=TIMEOUT, default=1.0, help="seconds each port has to answer (all at once)")
    p.add_argument("--dev", default="/dev", help=argparse.SUPPRESS)
    p.set_defaults(run=command_list)
    p = sub.add_parser("info", help="what the device on a port says about itself")
    p.add_argument("port")
    p.add_argument("--timeout", type=TIMEOUT, default=1.0)
    p.set_defaults(run=command_info)
    p = sub.add_parser("monitor", help="a live view of an arm and/or a handle, until Ctrl+C")
    p.add_argument("ports", nargs="+", metavar="PORT")
    p.add_argument("--seconds", type=number("s", above=0), default=None,
                   help="stop after this long (left out: until Ctrl+C)")
    p.add_argument("--timeout", type=TIMEOUT, default=1.0)
    p.set_defaults(run=command_monitor)
    p = sub.add_parser("record", help="every tick (and handle frame) to a rosbag2 recording with MCAP storage")
    p.add_argument("arm", metavar="ARM_PORT")
    p.add_argument("handle", metavar="HANDLE_PORT", nargs="?")
    p.add_argument("--output", "-o", required=True, help="the recording's directory (must not exist)")
    p.add_argument("--seconds", type=number("s", above=0), default=None, help="stop after this long (default: at Ctrl+C)")
    p.add_argument("--rate", type=number("Hz", above=0, at_most=20000), default=1000.0, help="ticks per second")
    p.add_argument("--timeout", type=TIMEOUT, default=1.0)
    p.set_defaults(run=command_record)
    p = sub.add_parser("reindex", help="finish a recording whose writer was killed; write its metadata.yaml")
    p.add_argument("path", help="a recording's directory or .mcap file")
    p.set_defaults(run=command_reindex)
    p = sub.add_parser("plot", help="a recording at a glance, as a PNG")
    p.add_argument("file", help="a recording: rosbag2 directory, .mcap, .csv or .npz")
    p.add_argument("--output", "-o", help="the picture (default: beside the recording, named after it)")
    p.set_defaults(run=command_plot)
    p = sub.add_parser("udev", help="a udev rule: access for a group, ModemManager kept away")
    p.add_argument("--install", action="store_true", help="write it and reload udev (as root)")
    p.add_argument("--group", default="dialout")
    p.add_argument("--vendor", type=usb_id, help="USB vendor id, 4 hex digits")
    p.add_argument("--product", type=usb_id, help="USB product id, 4 hex digits")
    p.add_argument("--rules-dir", default="/etc/udev/rules.d", help=argparse.SUPPRESS)
    p.set_defaults(run=command_udev)
    p = sub.add_parser("bridge", help="the devices as ROS 2 nodes on Zenoh, in rmw_zenoh's wire form")
    p.add_argument("arm", nargs="?", metavar="ARM_PORT")
    p.add_argument("handle", nargs="?", metavar="HANDLE_PORT")
    p.add_argument("--all", action="store_true", help="every arm and handle of this machine, each under its namespace")
    p.add_argument("--namespace", metavar="NS", help="the arm's ROS 2 namespace (default: arm)")
    p.add_argument("--handle-namespace", metavar="NS", help="the handle's (default: handle)")
    p.add_argument("--domain", type=int, default=0, help="ROS 2 domain id (ROS_DOMAIN_ID)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--connect", metavar="ENDPOINT",
                       help="the Zenoh router to join (default: tcp/localhost:7447, rmw_zenoh's)")
    where.add_argument("--listen", metavar="ENDPOINT", help="be the Zenoh router, listening here (e.g. tcp/0.0.0.0:7447)")
    p.add_argument("--rate", type=number("Hz", above=0, at_most=20000), default=1000.0, help="the arm's servo rate, Hz")
    p.add_argument("--publish-rate", type=number("Hz", above=0), default=None, metavar="HZ",
                   help="state messages per second (default: every tick)")
    p.add_argument("--max-force", type=number("N", above=0, at_most=1000), default=4.0, help="N, the safety envelope's limit")
    p.add_argument("--command-timeout", type=number("s", above=0, at_most=10), default=0.05, metavar="S",
                   help="older or silent commands fade out (default 0.05 s)")
    p.add_argument("--fade-time", type=number("s", above=0, at_most=10), default=0.05, metavar="S",
                   help="how long they take to fade (default 0.05 s)")
    p.add_argument("--spring-stiffness", type=float, default=150.0, metavar="N/M", help="servo_cp's spring (default 150)")
    p.add_argument("--spring-damping", type=float, default=4.0, metavar="NS/M", help="its damping (default 4)")
    p.add_argument("--spring-speed", type=float, default=0.1, metavar="M/S",
                   help="how fast its anchor follows the target (default 0.1)")
    p.add_argument("--seconds", type=number("s", above=0), default=None, help="stop after this long (default: until Ctrl+C)")
    p.add_argument("--timeout", type=TIMEOUT, default=1.0, help="seconds each port has to answer the probe")
    p.add_argument("--dev", default="/dev", help=argparse.SUPPRESS)
    p.set_defaults(run=command_bridge)
    p = sub.add_parser("teleop", help="one end of a teleoperation pair: a leader arm, or a follower arm, over ROS 2",
                       description="One end of a position-force teleoperation pair over the ROS 2 bridge: the "
                       "follower's arm follows the leader's through a spring, the leader's renders the follower's "
                       "force; a passivity observer and controller keep a delayed link stable. Start the other end "
                       "with the other role, the peer's namespace and the same Zenoh router.")
    p.add_argument("role", choices=("leader", "follower"))
    p.add_argument("port", metavar="PORT", help="the arm's port")
    p.add_argument("--peer", required=True, metavar="NS", help="the other end's namespace (e.g. follower)")
    p.add_argument("--namespace", metavar="NS", help="this end's namespace (default: its role)")
    p.add_argument("--domain", type=int, default=0, help="ROS 2 domain id (ROS_DOMAIN_ID)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--connect", metavar="ENDPOINT",
                       help="the Zenoh router to join (default: tcp/localhost:7447, rmw_zenoh's)")
    where.add_argument("--listen", metavar="ENDPOINT", help="be the Zenoh router, listening here")
    p.add_argument("--rate", type=number("Hz", above=0, at_most=20000), default=1000.0, help="the servo rate, Hz")
    p.add_argument("--max-force", type=number("N", above=0, at_most=1000), default=4.0,
                   help="N, the safety envelope's limit")
    p.add_argument("--stiffness", type=number("N/m", at_least=0, at_most=1e5), default=150.0, metavar="N/M",
                   help="the follower's spring (default 150)")
    p.add_argument("--damping", type=number("N s/m", at_least=0, at_most=1e4), default=3.0, metavar="NS/M",
                   help="its damping of the velocity difference (default 3)")
    p.add_argument("--local-damping", type=number("N s/m", at_least=0, at_most=1e4), default=0.5, metavar="NS/M",
                   help="damping of this arm's own motion (default 0.5)")
    p.add_argument("--position-scale", type=number("", above=0, at_most=100), default=1.0, metavar="K",
                   help="leader: the follower moves K times the leader's motion (default 1)")
    p.add_argument("--force-scale", type=number("", above=0, at_most=100), default=1.0, metavar="K",
                   help="leader: it renders K times the follower's force (default 1)")
    p.add_argument("--max-speed", type=number("m/s", above=0, at_most=10), default=0.25, metavar="M/S",
                   help="follower: how fast its spring's anchor may travel to the leader (default 0.25)")
    p.add_argument("--ramp-time", type=number("s", above=0, at_most=60), default=0.5, metavar="S",
                   help="how long forces take to come back when the peer does (default 0.5)")
    p.add_argument("--no-passivity", action="store_true",
                   help="the passivity controller off (the observer still counts): for trying, unsafe with delay")
    p.add_argument("--delay-ms", type=number("ms", at_least=0, at_most=5000), default=0.0, metavar="MS",
                   help="one-way delay added to everything this end receives (default 0)")
    p.add_argument("--jitter-ms", type=number("ms", at_least=0, at_most=5000), default=0.0, metavar="MS",
                   help="and up to this much more, at random, order kept (default 0)")
    p.add_argument("--command-timeout", type=number("s", above=0, at_most=10), default=None, metavar="S",
                   help="older or silent peers fade out (default 0.05 s more than the delay and jitter)")
    p.add_argument("--fade-time", type=number("s", above=0, at_most=10), default=0.05, metavar="S",
                   help="how long they take to fade (default 0.05)")
    p.add_argument("--publish-rate", type=number("Hz", above=0), default=100.0, metavar="HZ",
                   help="the arm's ROS 2 state topics per second (the teleop topics go every tick; default 100)")
    p.add_argument("--seconds", type=number("s", above=0), default=None, help="stop after this long (default: until Ctrl+C)")
    p.add_argument("--output", "-o", metavar="PNG", help="at the end, a picture of the run")
    p.add_argument("--data", metavar="NPZ", help="at the end, the run's arrays (numpy .npz)")
    p.add_argument("--history", type=number("s", above=0, at_most=3600), default=120.0, metavar="S",
                   help="how much of the run the picture and the data keep (default: the last 120 s)")
    p.set_defaults(run=command_teleop)
    return top


def output_closed() -> int:
    """The reader of our output has gone: the rest goes nowhere, and Python's
    own flush at exit must not complain about it either."""
    nowhere = os.open(os.devnull, os.O_WRONLY)
    os.dup2(nowhere, sys.stdout.fileno())
    os.close(nowhere)
    return 141


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        result: int = args.run(args)
        sys.stdout.flush()  # a closed pipe shows here, while it can still be handled
        return result
    except Failure as e:
        print(f"korvo: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return output_closed()


if __name__ == "__main__":
    sys.exit(main())
