"""Renders the public C++ headers as reference pages.

The headers are written as the C++ manual: a header opens with a comment
that explains the class or concern, and every declaration is preceded by a
comment saying what it does, what blocks and what each result means. This
extension shows them as they read, in order: comments become prose (with
their tables, diagrams and code examples kept as written), declarations
become highlighted C++.

    ```{cpp-headers} Library/include
    ```

renders every header under that directory (relative to the repository),
one section per header, so that a new header needs no change here.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]

COMMENT = re.compile(r"^(\s*)// ?(.*)$")
# Lines that say nothing a reader of the manual needs.
SKIPPED = re.compile(r"^\s*(#pragma once|#include\b)")
# Aligned columns (tables, annotated examples) or C++ syntax: shown as written.
ALIGNED = re.compile(r"\S {2,}\S")
CODE_LIKE = re.compile(r"[;{}]\s*$|^\s*->|::\w+\(|^\s*#")
INLINE_LITERAL = re.compile(r"`([^`]+)`")


@dataclass
class Block:
    comment: bool
    lines: list[str]


def blocks(text: str) -> list[Block]:
    """The header as alternating comment and code blocks. A comment block is
    a run of whole-line comments; trailing comments stay with their code."""
    out: list[Block] = []
    for raw in text.splitlines():
        if SKIPPED.match(raw):
            continue
        match = COMMENT.match(raw)
        is_comment = match is not None
        line = (match.group(1) + match.group(2)) if match else raw
        if not out or out[-1].comment != is_comment:
            out.append(Block(is_comment, []))
        out[-1].lines.append(line)
    for block in out:
        while block.lines and not block.lines[0].strip():
            block.lines.pop(0)
        while block.lines and not block.lines[-1].strip():
            block.lines.pop()
    return [b for b in out if b.lines]


def indent(line: str) -> int:
    return len(line) - len(line.lstrip())


def paragraphs(lines: list[str]) -> list[list[str]]:
    out: list[list[str]] = [[]]
    for line in lines:
        if line.strip():
            out[-1].append(line)
        elif out[-1]:
            out.append([])
    return [p for p in out if p]


def inline(text: str) -> list[nodes.Node]:
    """Text with its `backticked` names as inline code."""
    out: list[nodes.Node] = []
    position = 0
    for match in INLINE_LITERAL.finditer(text):
        out.append(nodes.Text(text[position:match.start()]))
        out.append(nodes.literal(match.group(1), match.group(1)))
        position = match.end()
    out.append(nodes.Text(text[position:]))
    return out


def literal(lines: list[str], language: str) -> nodes.literal_block:
    base = min(indent(line) for line in lines if line.strip())
    text = "\n".join(line[base:] for line in lines)
    block = nodes.literal_block(text, text)
    block["language"] = language
    return block


def is_literal(paragraph: list[str], base: int) -> bool:
    if all(indent(line) <= base for line in paragraph) or paragraph[0].lstrip().startswith("- "):
        return False
    return any(ALIGNED.search(line.strip()) or CODE_LIKE.search(line) for line in paragraph)


def is_heading(paragraph: list[str], following: list[str] | None, base: int) -> bool:
    if len(paragraph) != 1 or following is None or indent(paragraph[0]) > base:
        return False
    text = paragraph[0].strip()
    return not text.endswith((".", ":", ",", ";")) and len(text.split()) <= 12 and indent(following[0]) > base


def prose(lines: list[str]) -> list[nodes.Node]:
    """A comment block as paragraphs, rubrics, bullet lists and literal blocks."""
    out: list[nodes.Node] = []
    base = min(indent(line) for line in lines)
    parts = paragraphs(lines)
    for number, paragraph in enumerate(parts):
        following = parts[number + 1] if number + 1 < len(parts) else None
        if is_literal(paragraph, base):
            out.append(literal(paragraph, "text"))
        elif is_heading(paragraph, following, base):
            out.append(nodes.rubric(paragraph[0].strip(), paragraph[0].strip()))
        elif paragraph[0].lstrip().startswith("- "):
            items = nodes.bullet_list()
            for line in paragraph:
                if line.lstrip().startswith("- "):
                    items += nodes.list_item("", nodes.paragraph(""))
                    line = line.lstrip()[2:]
                items[-1][0].extend(inline(line.strip() + " "))
            out.append(items)
        else:
            out.append(nodes.paragraph("", "", *inline(" ".join(line.strip() for line in paragraph))))
    return out


def header_section(path: Path, document: nodes.document) -> nodes.section:
    relative = path.relative_to(ROOT)
    # The include path a program writes: from the directory above Korvo/.
    include = "/".join(relative.parts[relative.parts.index("Korvo"):])
    section = nodes.section(ids=[nodes.make_id("header-" + include)], names=[nodes.fully_normalize_name(include)])
    section += nodes.title(include, include)
    directive = f'#include "{include}"'
    section += nodes.paragraph("", "", nodes.literal(directive, directive), nodes.Text(f" (in the repository: {relative})"))
    for block in blocks(path.read_text()):
        if block.comment:
            section.extend(prose(block.lines))
        else:
            section += literal(block.lines, "cpp")
    document.note_explicit_target(section)
    return section


class CppHeaders(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        directory = ROOT / self.arguments[0]
        out: list[nodes.Node] = []
        for path in sorted(directory.rglob("*.h")):
            self.env.note_dependency(str(path))
            out.append(header_section(path, self.state.document))
        return out


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("cpp-headers", CppHeaders)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
