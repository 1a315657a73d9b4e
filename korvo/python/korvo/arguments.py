"""The korvo command's parser and argument types, for every subcommand: a bad
value is refused while the command line is read, as one line on standard
error (``korvo info: error: argument --timeout: ...``) with exit status 2,
before anything is opened or sent."""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable
from typing import NoReturn


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line (no usage dump):
    the line says what was wrong; ``--help`` shows the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def number(unit: str, *, above: float | None = None, at_most: float | None = None,
           at_least: float | None = None) -> Callable[[str], float]:
    """A type for a finite number in `unit` (or none: "") within the bounds
    given: ``number("s", above=0, at_most=60)`` for a time limit. NaN and
    the infinities are refused whatever the bounds."""
    rules = [f"above {above:g} {unit}" if above is not None else "",
             f"at least {at_least:g} {unit}" if at_least is not None else "",
             f"at most {at_most:g} {unit}" if at_most is not None else ""]
    wanted = " and ".join(r.rstrip() for r in rules if r) or "a number"

    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if (not math.isfinite(value) or (above is not None and value <= above)
                or (at_least is not None and value < at_least) or (at_most is not None and value > at_most)):
            raise argparse.ArgumentTypeError(f"must be {wanted}, not {text!r}")
        return value

    convert.__name__ = f"number in {unit}"
    return convert


#: A time limit for a device to answer; the probes take at most a minute.
TIMEOUT = number("s", above=0, at_most=60)

_HEX4 = re.compile(r"^[0-9a-fA-F]{4}$")


def usb_id(text: str) -> str:
    """A USB vendor or product id: four hexadecimal digits, as lsusb shows them."""
    if not _HEX4.match(text):
        raise argparse.ArgumentTypeError(f"must be four hexadecimal digits (as lsusb shows it), not {text!r}")
    return text.lower()
