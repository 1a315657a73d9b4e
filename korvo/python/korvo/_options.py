"""Words for arguments a korvo constructor refused: the keyword it does not
know (and the one meant), or what it takes."""

from __future__ import annotations

import difflib
import re
from typing import Any, NoReturn

_OVERLOAD = re.compile(r"^\s*(?:\d+\.\s*)?__init__\((.*)\)\s*->\s*None\s*$", re.M)


def parameters(cls: type) -> list[str]:
    """The keyword names of `cls`'s first constructor, from the signature
    pybind11 writes into its docstring."""
    doc = getattr(cls, "__init__").__doc__ or ""
    for match in _OVERLOAD.finditer(doc):
        names = re.findall(r"(?:^|,\s*)(\w+):", match.group(1))
        names = [n for n in names if n != "self"]
        if names or "self" in match.group(1):
            return names
    return []


def refuse(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any], known: list[str] | None = None) -> NoReturn:
    """Raises TypeError for a call of `cls` that its constructor refused
    (whose keywords are `known`, or those of its native constructor)."""
    name = cls.__name__
    if known is None:
        known = parameters(cls)
    for key in kwargs:
        if key not in known:
            close = difflib.get_close_matches(key, known, n=1)
            hint = f"; did you mean {close[0]!r}?" if close else f"; it takes {', '.join(known) or 'none'}"
            raise TypeError(f"{name}() got an unexpected keyword argument {key!r}{hint}")
    given = ", ".join([*(repr(a) for a in args), *(f"{k}={v!r}" for k, v in kwargs.items())])
    raise TypeError(f"{name}({given}): arguments of the wrong kind; it takes {', '.join(known)} (see help({name}))")
