"""Reading IAR ILINK map files (EWARM 6 and later) as build models.

An ILINK map has parts headed ``*** NAME``; three are read:

* PLACEMENT SUMMARY.  The placement directives (``"P1":  place in [from
  0x0800'0000 to 0x080f'ffff] { ro };``) give the memory regions: one per
  address range, named after the directive (a range that several directives
  share is one region).  A region is RAM when it holds writable, zeroed or
  uninitialised contents (or its directive asks for ``rw``, ``zi`` or a
  block), flash otherwise.  What a ``place at`` directive places falls in the
  region that holds its address; outside every range, the directive gets a
  region exactly as large as what it placed.

  The table below the directives lists what each directive placed, in
  parts (``"P2", part 1 of 3:``).  Its rows become output sections: the rows
  of one part run together by kind into ``"<directive> ro"``, ``"<directive>
  rw"``, ``"<directive> zi"`` or ``"<directive> noinit"`` (the gaps between
  rows, which ILINK counts as "Gaps", are inside them); a ``<Block>`` row
  (``CSTACK``, ``HEAP``, blocks of the configuration file) is a section of its
  own, and so is an ``<Init block>`` (initialised data), whose load address is
  that of its ``Initializer bytes ... <for BLOCK>`` row.  Packed initializers
  (a size other than the block's) stay a flash section of their own.  Zeroed
  and uninitialised contents have no load image.  The gap between two
  sections of one part is ``padding_before``.
* MODULE SUMMARY: the modules of every object directory and library with
  their ``ro code``/``ro data``/``rw data`` byte counts, used to tell archives
  from directories and to check the placement rows (a mismatch is reported
  as an issue).
* ENTRY LIST: symbols with their addresses and sizes.  Each row of the
  placement table yields the entries of its module inside it; an entry
  without a size reaches the next entry or the row's end; the bytes of a row
  that no entry covers (literal pools, static data, a row without entries)
  take the row's section name, so that every placed byte has a symbol.
  Thumb code addresses lose their low bit.

Numbers may carry digit separators (``0x800'0491``, ``1'614``, ``1 074``).
Other parts (RUNTIME MODEL ATTRIBUTES, INIT TABLE, CALL GRAPH, STACK USAGE)
are skipped.  XLINK maps (the linker of older IAR toolchains) are recognised
and refused.  A map without its placement summary, cut inside a placement
part, or without the closing ``Errors:`` line raises ``MapFormatError``.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from pathlib import Path

from ..analysis import components_by_archive
from ..model_io import INT_MAX
from ..records import (
    BuildInput,
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    SectionPlacement,
    SymbolEntry,
)
from .findings import unplaced_section
from .rules import MapFormatError, decode_map_bytes, looks_demangled, region_category, region_for

_ILINK_MARKER = "IAR ELF Linker"
_XLINK_MARKERS = ("IAR Universal Linker", "XLINK")

_HEADING = re.compile(r"^\*\*\* (\S.*)$")
_NUMBER = r"0x[0-9A-Fa-f][0-9A-Fa-f']*"
_DIRECTIVE = re.compile(r'^"([^"]+)":\s+(.*)$')
_RANGE = re.compile(rf"\[\s*from\s+({_NUMBER}|\d[\d']*)\s+(to|size)\s+({_NUMBER}|\d[\d']*)\s*\]")
_PART = re.compile(rf'^"([^"]+)"(?:, part (\d+) of \d+)?:\s+({_NUMBER})\s*$')
_PART_END = re.compile(rf"^\s+-\s+({_NUMBER})\s+({_NUMBER})\s*$")
_ONE_WORD_KINDS = frozenset({"const", "inited", "zero", "uninit", "noinit", "code", "data", "ro", "rw", "zi"})
_TWO_WORD_KINDS = frozenset({"ro code", "ro data", "rw code", "rw data"})
_NUMBER_TOKEN = re.compile(_NUMBER)
_ENTRY_TYPES = frozenset({"Code", "Data", "--"})
_ENTRY_SCOPES = frozenset({"Gb", "Lc", "Wk"})
_WORD = re.compile(r"\S+")
_MODULE_GROUP = re.compile(r"^(\S.*):\s*\[(\d+)\]$")
_MODULE_NUMBER = re.compile(r"\d{1,3}(?:['\u00a0 ]\d{3})+(?!\d)|\d+")
_FILE_KEY = re.compile(r"^\[(\d+)\] = (.*)$")
_OBJECT_KEY = re.compile(r"^(.*) \[(\d+)\]$")
_CLASS_OF_KIND = {
    "ro code": "ro", "ro data": "ro", "const": "ro", "code": "ro", "ro": "ro", "data": "ro",
    "rw code": "rw", "rw data": "rw", "inited": "rw", "rw": "rw",
    "zero": "zi", "zi": "zi",
    "uninit": "noinit", "noinit": "noinit",
}
_RAM_SELECTORS = re.compile(r"\b(?:rw|readwrite|zi|zeroinit|block|noinit)\b", re.IGNORECASE)


def _words(line: str) -> list[re.Match[str]]:
    # Rows are split into words, not matched by one pattern: a pattern with
    # optional parts backtracks over the blanks of a long damaged line.
    return list(_WORD.finditer(line))


def _is_number(word: str) -> bool:
    return _NUMBER_TOKEN.fullmatch(word) is not None


def _placement_row(line: str) -> tuple[int, str | None, str | None, str, str, str] | None:
    """(indent, name, kind, address, size, object) of a placement table row."""
    words = _words(line)
    if not words or words[0].start() == 0:
        return None
    at = next(
        (i for i in range(len(words) - 2) if _is_number(words[i].group()) and _is_number(words[i + 1].group())),
        None,
    )
    if at is None:
        return None
    before = words[:at]
    kind = None
    if len(before) >= 2 and f"{before[-2].group()} {before[-1].group()}" in _TWO_WORD_KINDS:
        kind = f"{before[-2].group()} {before[-1].group()}"
        before = before[:-2]
    elif before and before[-1].group() in _ONE_WORD_KINDS and len(before) > 1:
        kind = before[-1].group()
        before = before[:-1]
    elif len(before) == 1 and before[0].group() in _ONE_WORD_KINDS and before[0].start() > 8:
        kind, before = before[0].group(), []  # the row of a wrapped name
    name = line[before[0].start():before[-1].end()] if before else None
    return (words[0].start(), name, kind, words[at].group(), words[at + 1].group(), line[words[at + 2].start():].rstrip())


def _entry_row(line: str) -> tuple[str | None, str, str | None, str, str, str] | None:
    """(name, address, size, type, scope, object) of an entry list row."""
    words = _words(line)
    at = next((i for i, word in enumerate(words) if _is_number(word.group())), None)
    if at is None or (at > 0 and words[0].start() != 0):
        return None
    size = None
    rest = at + 1
    if rest < len(words) and _is_number(words[rest].group()):
        size, rest = words[rest].group(), rest + 1
    if rest + 2 >= len(words):
        return None
    kind, scope = words[rest].group(), words[rest + 1].group()
    if kind not in _ENTRY_TYPES or scope not in _ENTRY_SCOPES:
        return None
    name = line[:words[at].start()].strip() or None
    return name, words[at].group(), size, kind, scope, line[words[rest + 2].start():].rstrip()


def looks_like_iar_map(text: str) -> bool:
    """True for an ILINK map: its banner names the IAR ELF Linker."""
    return _ILINK_MARKER in text[:4096]


def looks_like_xlink_map(text: str) -> bool:
    """True for a map of IAR's older XLINK linker."""
    head = text[:4096]
    return _ILINK_MARKER not in head and "IAR" in head and any(marker in head for marker in _XLINK_MARKERS)


@dataclass
class _Row:
    name: str
    kind: str | None
    address: int
    size: int
    object: str
    line: int
    children: list[_Row] = field(default_factory=list)


@dataclass
class _Part:
    label: str
    number: int
    size: int
    line: int
    rows: list[_Row] = field(default_factory=list)
    closed: bool = False


@dataclass
class _Entry:
    name: str
    address: int
    size: int | None
    code: bool
    scope: str
    object: str


@dataclass
class _Section:
    name: str
    label: str
    cls: str
    vma: int
    end: int
    rows: list[_Row]
    part: int = 0
    lma: int | None = None


@dataclass
class IarReadResult:
    """The model of one ILINK map, the module summary and what the reader noticed."""

    model: NormalizedBuildModel
    source: str
    # (group name, module) -> column -> bytes, from MODULE SUMMARY
    modules: dict[tuple[str, str], dict[str, int]]
    mismatched_modules: list[str]
    unplaced_sections: list[str]

    def issues(self) -> list[Issue]:
        issues = []
        for name in self.mismatched_modules:
            issues.append(
                Issue(
                    id=f"map:module-summary:{name}",
                    title=f"Placement rows of {name} disagree with the module summary",
                    description=(
                        f"The code bytes that the placement summary of {self.source} lists for {name} "
                        "differ from its MODULE SUMMARY figure; part of the map may be misread."
                    ),
                    severity=IssueSeverity.WARNING,
                    category=IssueCategory.OTHER,
                    affected_entities=[name],
                )
            )
        for name in self.unplaced_sections:
            issues.append(unplaced_section(name, f"The address of {name} falls in no range of a placement directive."))
        return issues


class _Reader:
    def __init__(self, source: str) -> None:
        self.source = source
        self.line_no = 0
        self.directives: list[tuple[str, str, int]] = []  # label, text, line
        self.parts: list[_Part] = []
        self.modules: dict[tuple[str, str], dict[str, int]] = {}
        self.groups: dict[str, str] = {}  # "[n]" key -> directory or library
        self.entries: list[_Entry] = []
        self.arm = False
        self.seen: set[str] = set()
        self.closed = False

    def error(self, problem: str, line: int | None = None) -> MapFormatError:
        return MapFormatError(self.source, problem, line=self.line_no if line is None else line)

    def number(self, text: str) -> int:
        digits = text.replace("'", "")
        if len(digits) > 40:
            raise self.error(f"number {digits[:20]}... is too large")
        value = int(digits, 16) if digits[:2] in ("0x", "0X") else int(digits)
        if value > INT_MAX:
            raise self.error(f"number {text} exceeds {INT_MAX}")
        return value

    def read(self, text: str) -> None:
        if "\r" in text:
            text = text.replace("\r\n", "\n")
        lines = text.split("\n")
        self.arm = " for ARM" in text[:4096]
        part_name: str | None = None
        body: list[tuple[int, str]] = []
        for index, line in enumerate(lines):
            match = _HEADING.match(line)
            if match and line.startswith("*** "):
                self.finish_part(part_name, body)
                part_name, body = match.group(1).rstrip(), []
                continue
            if line.startswith("Errors: "):
                self.closed = True
            body.append((index + 1, line))
        self.finish_part(part_name, body)
        self.line_no = len(lines) - 1 if lines[-1] == "" else len(lines)
        if "PLACEMENT SUMMARY" not in self.seen:
            raise self.error("no PLACEMENT SUMMARY part in this IAR map; is it truncated?")
        if not self.closed:
            raise self.error("the map ends before its closing 'Errors:' line; is it truncated?")

    def finish_part(self, name: str | None, body: list[tuple[int, str]]) -> None:
        if name is None:
            return
        self.seen.add(name)
        if name == "PLACEMENT SUMMARY":
            self.read_placement(body)
        elif name == "MODULE SUMMARY":
            self.read_modules(body)
        elif name == "ENTRY LIST":
            self.read_entries(body)

    # -- PLACEMENT SUMMARY ----------------------------------------------------

    def read_placement(self, body: list[tuple[int, str]]) -> None:
        directive: list[str] | None = None
        directive_label = ""
        directive_line = 0
        part: _Part | None = None
        pending_name: str | None = None
        stack: list[tuple[int, _Row]] = []  # open <Block> / <Init block> rows by indent
        for line_no, line in body:
            self.line_no = line_no
            if directive is not None:
                directive.append(line.strip())
                if line.rstrip().endswith(";"):
                    self.directives.append((directive_label, " ".join(directive), directive_line))
                    directive = None
                continue
            if part is None or part.closed:
                match = _PART.match(line)
                if match:
                    # number() bounds the digits: int() refuses a text of thousands of them.
                    index = self.number(match.group(2) or "1")
                    part = _Part(match.group(1), index, self.number(match.group(3)), line_no)
                    self.parts.append(part)
                    stack = []
                    pending_name = None
                    continue
                match = _DIRECTIVE.match(line)
                if match and part is None:
                    directive_label, directive_line = match.group(1), line_no
                    directive = [match.group(2)]
                    if line.rstrip().endswith(";"):
                        self.directives.append((directive_label, match.group(2), line_no))
                        directive = None
                continue
            end = _PART_END.match(line)
            if end:
                last = self.number(end.group(1))
                size = self.number(end.group(2))
                if size != part.size:
                    raise self.error(f"placement \"{part.label}\" closes with size {size:#x}, not {part.size:#x}")
                for row in part.rows:
                    if row.address + row.size > last:
                        raise self.error(f"{row.name} runs past the end of placement \"{part.label}\"", row.line)
                part.closed = True
                continue
            parsed = _placement_row(line)
            if parsed is None:
                stripped = line.strip()
                if stripped and " " not in stripped and not stripped.startswith("-"):
                    pending_name = stripped  # a long name; its row follows
                continue
            indent, name, kind, address_text, size_text, object_text = parsed
            if name is None:
                if pending_name is None:
                    raise self.error(f"placement row without a name: {line.strip()[:80]!r}")
                name = pending_name
            pending_name = None
            row = _Row(name, kind, self.number(address_text), self.number(size_text), object_text, line_no)
            if row.address + row.size > INT_MAX:
                raise self.error(f"{row.name} ends past {INT_MAX}")
            while stack and stack[-1][0] >= indent:
                stack.pop()
            if stack:
                parent = stack[-1][1]
                if row.address < parent.address or row.address + row.size > parent.address + parent.size:
                    raise self.error(f"{row.name} runs past the end of block {parent.name}")
                parent.children.append(row)
            else:
                part.rows.append(row)
            if object_text.startswith("<Block") or object_text.startswith("<Init block"):
                stack.append((indent, row))
        if directive is not None:
            raise self.error("the placement summary ends inside a placement directive; is it truncated?")
        if part is not None and not part.closed:
            raise self.error(f"the map ends inside placement \"{part.label}\"; is it truncated?")

    # -- MODULE SUMMARY ---------------------------------------------------------

    def read_modules(self, body: list[tuple[int, str]]) -> None:
        columns: list[tuple[str, int]] = []  # label, end column
        group = ""
        for line_no, line in body:
            self.line_no = line_no
            stripped = line.strip()
            if stripped.startswith("Module") and not columns:
                for heading in re.finditer(r"\S+(?: \S+)*", line):
                    if heading.group() != "Module":
                        columns.append((heading.group(), heading.end()))
                continue
            match = _MODULE_GROUP.match(line.rstrip())
            if match:
                group = match.group(1)
                self.groups[match.group(2)] = group
                continue
            if not columns or stripped.startswith("-"):
                continue
            if not line.startswith("    "):
                group = ""  # past the last group: gaps, linker-created bytes, totals
                continue
            name_end = re.search(r"\S  |$", stripped)
            module = stripped[: name_end.start() + 1 if name_end and name_end.group() else len(stripped)]
            if module.endswith(":"):
                if module == "Total:":
                    group = ""
                continue
            offset = line.index(module) + len(module)
            values: dict[str, int] = {}
            for number in _MODULE_NUMBER.finditer(line, offset):
                label = min(columns, key=lambda column: abs(column[1] - number.end()))[0]
                values[label] = values.get(label, 0) + self.number(re.sub(r"['\u00a0 ]", "", number.group()))
            self.modules[(group, module)] = values

    # -- ENTRY LIST ---------------------------------------------------------------

    def read_entries(self, body: list[tuple[int, str]]) -> None:
        pending: str | None = None
        for line_no, line in body:
            self.line_no = line_no
            key = _FILE_KEY.match(line) if line.startswith("[") else None
            if key is not None:
                self.groups.setdefault(key.group(1), key.group(2).rstrip())
                continue
            parsed = _entry_row(line)
            if parsed is None:
                stripped = line.strip()
                if stripped and line[:1] != " " and not stripped.startswith(("Entry", "-----")):
                    pending = stripped  # a long entry name: its row follows
                else:
                    pending = None
                continue
            name, address, size, kind, scope, object_text = parsed
            if name is None:
                if pending is None:
                    continue
                name = pending
            pending = None
            self.entries.append(
                _Entry(name.strip(), self.number(address), None if size is None else self.number(size),
                       kind == "Code", scope, object_text)
            )


def _class_of(row: _Row) -> str:
    if row.object.startswith("<Init block"):
        return "rw"
    if row.object.startswith("<Block"):
        classes = {_class_of(child) for child in row.children}
        for cls in ("rw", "zi", "noinit"):
            if cls in classes:
                return cls
        return "ro" if classes else "noinit"
    return _CLASS_OF_KIND.get(row.kind or "", "ro")


def _sections(parts: list[_Part]) -> list[_Section]:
    sections: list[_Section] = []
    for part_index, part in enumerate(parts):
        current: _Section | None = None
        for row in part.rows:
            if row.size == 0:
                continue
            cls = _class_of(row)
            if row.object.startswith(("<Block", "<Init block")):
                sections.append(
                    _Section(row.name, part.label, cls, row.address, row.address + row.size, [row], part_index)
                )
                current = None
                continue
            if current is None or current.cls != cls:
                current = _Section(f"{part.label} {cls}", part.label, cls, row.address, row.address, [], part_index)
                sections.append(current)
            current.rows.append(row)
            current.end = max(current.end, row.address + row.size)
    # One name per section: a second part of a directive may hold the same kind.
    counts: dict[str, int] = {}
    for section in sections:
        counts[section.name] = counts.get(section.name, 0) + 1
        if counts[section.name] > 1:
            section.name = f"{section.name} ({counts[section.name]})"
    return sections


def _join_initializers(sections: list[_Section]) -> list[_Section]:
    """Give each init block the load address of its initializer bytes."""
    blocks = {s.name: s for s in sections if s.rows and s.rows[0].object.startswith("<Init block")}
    kept = []
    for section in sections:
        remaining = []
        for row in section.rows:
            target = re.fullmatch(r"<for (.+)>", row.object)
            block = blocks.get(target.group(1)) if target else None
            if block is not None and block.lma is None and row.size == block.end - block.vma:
                block.lma = row.address
            else:
                remaining.append(row)
        if len(remaining) != len(section.rows):
            if not remaining:
                continue
            section.rows = remaining
            section.vma = remaining[0].address
            section.end = max(row.address + row.size for row in remaining)
        kept.append(section)
    return kept


def _regions(reader: _Reader, sections: list[_Section]) -> list[MemoryRegion]:
    ranges: dict[tuple[int, int], tuple[str, str]] = {}  # (from, to) -> label, selectors
    for label, text, line in reader.directives:
        found = list(_RANGE.finditer(text))
        for index, match in enumerate(found):
            reader.line_no = line
            start = reader.number(match.group(1))
            other = reader.number(match.group(3))
            end = other if match.group(2) == "to" else start + max(other, 1) - 1
            if end < start or end > INT_MAX:
                raise reader.error(f"placement \"{label}\" has an empty or too large range")
            name = label if index == 0 else f"{label}_{index + 1}"
            key = (start, end)
            if key not in ranges:
                ranges[key] = (name, text[text.find("{"):] if "{" in text else "")
    # A "place at" directive outside every range gets a region of what it placed.
    spans: dict[str, tuple[int, int]] = {}
    for section in sections:
        if not any(start <= section.vma <= end for start, end in ranges):
            low, high = spans.get(section.label, (section.vma, section.end))
            spans[section.label] = (min(low, section.vma), max(high, section.end))
    for label, (low, high) in spans.items():
        if high > low and label not in {name for name, _ in ranges.values()}:
            ranges[(low, high - 1)] = (label, "")
    regions = []
    for (start, end), (name, selectors) in ranges.items():
        inside = [s.cls for s in sections if start <= s.vma <= end]
        if inside:
            writable = any(cls != "ro" for cls in inside)
        else:
            writable = _RAM_SELECTORS.search(selectors) is not None
        regions.append(MemoryRegion(name, start, end, end - start + 1, region_category(name, "rw" if writable else "rx")))
    return regions


def _split_object(object_text: str, groups: dict[str, str]) -> tuple[str | None, str | None]:
    if object_text.startswith("<") or object_text == "- Linker created -":
        return None, None  # <Block tail>, <for P2-1>, init tables: made by the linker
    match = _OBJECT_KEY.match(object_text)
    if match is None:
        return object_text or None, None
    name, key = match.groups()
    group = groups.get(key)
    if group is None or group == "command line":
        return name, None
    if group.lower().endswith((".a", ".lib")) or ("\\" not in group and "/" not in group):
        return name, group
    separator = "\\" if "\\" in group else "/"
    return group.rstrip("\\/") + separator + name, None


def _leaf_rows(row: _Row) -> list[_Row]:
    if not row.children:
        return [row]
    rows: list[_Row] = []
    for child in row.children:
        rows.extend(_leaf_rows(child))
    return rows


def _symbols(reader: _Reader, sections: list[_Section]) -> list[SymbolEntry]:
    by_object: dict[str, list[_Entry]] = {}
    for entry in reader.entries:
        address = entry.address & ~1 if reader.arm and entry.code else entry.address
        entry.address = address
        by_object.setdefault(entry.object, []).append(entry)
    for entries in by_object.values():
        entries.sort(key=lambda e: e.address)
    symbols: list[SymbolEntry] = []
    for section in sections:
        for row in (leaf for top in section.rows for leaf in _leaf_rows(top)):
            if row.size == 0:
                continue
            end = row.address + row.size
            points: dict[int, _Entry] = {}
            for entry in by_object.get(row.object, []):
                if row.address <= entry.address < end:
                    best = points.get(entry.address)
                    if best is None or _rank(entry) < _rank(best):
                        points[entry.address] = entry
            object_file, archive = _split_object(row.object, reader.groups)
            addresses = sorted(points)
            pieces: list[tuple[str, int, int]] = []
            covered = row.address
            for index, address in enumerate(addresses):
                if address > covered:
                    pieces.append((row.name, covered, address - covered))
                entry = points[address]
                following = addresses[index + 1] if index + 1 < len(addresses) else end
                size = entry.size if entry.size is not None else following - address
                pieces.append((entry.name, address, size))
                covered = max(covered, address + size)
            if covered < end:
                pieces.append((row.name, covered, end - covered))
            for name, address, size in pieces:
                if size <= 0:
                    continue
                previous = symbols[-1] if symbols else None
                if (
                    name == row.name and previous is not None and previous.name == name
                    and previous.object_file == object_file and previous.archive == archive
                    and previous.section_name == section.name and previous.address + previous.size == address
                ):
                    # The many small rows of one module and section (default
                    # handlers, say) that no entry names are one piece.
                    symbols[-1] = SymbolEntry(
                        name, None, previous.address, previous.size + size, section.name, object_file, archive,
                        None, None,
                    )
                    continue
                symbols.append(
                    SymbolEntry(name, name if looks_demangled(name) else None, address, size, section.name,
                                object_file, archive, None, None)
                )
    return symbols


def _rank(entry: _Entry) -> tuple[int, int, int]:
    return (entry.size is None, entry.scope != "Gb", entry.name.startswith("?"))


def _mismatched_modules(reader: _Reader, sections: list[_Section]) -> list[str]:
    code: dict[str, int] = {}
    for section in sections:
        for row in (leaf for top in section.rows for leaf in _leaf_rows(top)):
            if row.kind == "ro code":
                code[row.object] = code.get(row.object, 0) + row.size
    keys = {group: key for key, group in reader.groups.items()}
    mismatched = []
    for (group, module), values in reader.modules.items():
        key = keys.get(group)
        if key is not None and values.get("ro code", 0) != code.get(f"{module} [{key}]", 0):
            mismatched.append(module)
    return mismatched


def parse_iar_map(text: str, source: str = "<map>") -> IarReadResult:
    """Read the text of an ILINK map; *source* names it in messages."""
    if looks_like_xlink_map(text):
        raise MapFormatError(
            source,
            "an IAR XLINK map (the linker of older IAR toolchains) is not read; "
            "give an ILINK (IAR ELF Linker) map or a JSON model",
            line=1,
        )
    if not looks_like_iar_map(text):
        raise MapFormatError(source, "not an IAR ILINK map (no 'IAR ELF Linker' banner)", line=1)
    reader = _Reader(source)
    reader.read(text)
    sections = _join_initializers(_sections(reader.parts))
    regions = _regions(reader, sections)
    placements = []
    unplaced = []
    for section in sections:
        size = section.end - section.vma
        execution = region_for(regions, section.vma, size)
        if execution is None:
            unplaced.append(section.name)
        if section.cls in ("zi", "noinit") or section.lma is None:
            load, lma = execution, section.vma
        else:
            load, lma = region_for(regions, section.lma, size), section.lma
        placements.append(SectionPlacement(section.name, execution, load, section.vma, lma, size, 0, 0))
    # Within one placement part the sections follow each other; a gap
    # between two of them is alignment.
    for index in range(1, len(placements)):
        before, this = placements[index - 1], placements[index]
        gap = this.vma - (before.vma + before.size)
        if sections[index - 1].part == sections[index].part and gap > 0:
            placements[index] = SectionPlacement(
                this.name, this.execution_region, this.load_region, this.vma, this.lma, this.size, gap, 0
            )
    names = [p.name for p in placements]
    hints = {
        "stack_sections": [n for n in names if "stack" in n.lower()],
        "heap_sections": [n for n in names if "heap" in n.lower()],
    }
    model = NormalizedBuildModel(
        sections=placements, symbols=_symbols(reader, sections), memory_regions=regions, stack_heap_hints=hints
    )
    return IarReadResult(model, source, reader.modules, _mismatched_modules(reader, sections), unplaced)


def load_iar_build(path: str | os.PathLike[str]) -> BuildInput:
    """An ILINK map file as the host's ``BuildInput`` (components by archive)."""
    result = parse_iar_map(decode_map_bytes(Path(path).read_bytes()), os.fspath(path))
    return BuildInput(model=result.model, components=components_by_archive(result.model), issues=result.issues(),
                      source_format="iar-ilink-map")


__all__ = ["IarReadResult", "load_iar_build", "looks_like_iar_map", "looks_like_xlink_map", "parse_iar_map"]
