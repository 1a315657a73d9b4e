"""The Python snippets of the README, as files: each ```python block is one
program, except a block made of "# name.py" sections, which is those files
(a conftest.py and a test, for pytest)."""

from __future__ import annotations

import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def snippets() -> list[tuple[str, dict[str, str]]]:
    """(title, {file name: source}) for every Python block, titled by the
    README section it is in."""
    out = []
    section = "top"
    text = README.read_text()
    for match in re.finditer(r"^(#+ [^\n]*)$|^```python\n(.*?)^```$", text, re.M | re.S):
        if match.group(1):
            section = match.group(1).lstrip("# ").strip()
            continue
        code = match.group(2)
        parts = re.split(r"^# (\w+\.py)\n", code, flags=re.M)
        if len(parts) > 1:
            files = {name: body for name, body in zip(parts[1::2], parts[2::2])}
        else:
            files = {"snippet.py": code}
        out.append((f"{section} #{sum(1 for t, _ in out if t.startswith(section)) + 1}", files))
    return out
