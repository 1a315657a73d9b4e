"""The Python snippets of the README and of the documentation's pages, as
files: each ```python block is one program, except a block made of
"# name.py" sections, which is those files (a conftest.py and a test, for
pytest). Blocks written as {code-block} directives are shown, not run."""

from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def snippets() -> list[tuple[str, dict[str, str]]]:
    """(title, {file name: source}) for every Python block, titled by its
    document and the section it is in."""
    out: list[tuple[str, dict[str, str]]] = []
    for document in DOCUMENTS:
        name = str(document.relative_to(ROOT))
        section = "top"
        counts: dict[str, int] = {}
        for match in re.finditer(r"^(#+ [^\n]*)$|^```python\n(.*?)^```$", document.read_text(), re.M | re.S):
            if match.group(1):
                section = match.group(1).lstrip("# ").strip()
                continue
            code = match.group(2)
            parts = re.split(r"^# (\w+\.py)\n", code, flags=re.M)
            files = dict(zip(parts[1::2], parts[2::2])) if len(parts) > 1 else {"snippet.py": code}
            counts[section] = counts.get(section, 0) + 1
            out.append((f"{name}: {section} #{counts[section]}", files))
    return out
