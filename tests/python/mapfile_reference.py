"""The GNU ld map reader as it was before its hot loop was rewritten for speed.

Kept unchanged, apart from its imports and the faults mended in both
readers (each marked "Mended:"), as the reference that the differential
tests compare the current reader with: it reads line by line with plain
splits and builds each record through its constructor, which makes it slow
but easy to check by eye.
"""

from __future__ import annotations

import gc
import os
import re
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

from brenvale.model_io import INT_MAX, ModelFormatError, load_build
from brenvale.records import (
    BuildInput,
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)

#: Files larger than this get a progress line on standard error.
PROGRESS_THRESHOLD_BYTES = 10 * 1024 * 1024
#: How much of a file the content check reads.
SNIFF_BYTES = 64 * 1024

_MEMORY_HEADING = "Memory Configuration"
_MAP_HEADING = "Linker script and memory map"
_CROSS_REFERENCE_HEADING = "Cross Reference Table"
# Headings that ld writes at the top of a map; which one comes first depends
# on whether archives, common symbols or discarded sections were involved.
_FIRST_HEADINGS = frozenset(
    {"Allocating common symbols", "Discarded input sections", _MEMORY_HEADING, _MAP_HEADING}
)
# These two end in words that differ between ld versions.
_FIRST_HEADING_PREFIXES = ("Archive member included ", "As-needed library included ")

# An IAR map, named in the error for a file given in place of a map read here.
_IAR_MARKER = "IAR ELF Linker"

_HEX = r"0x([0-9A-Fa-f]+)"
_SECTION_HEADER = re.compile(
    rf"^(\S+)\s+{_HEX}\s+{_HEX}(?:\s+load address\s+{_HEX})?\s*$"
)
_HEADER_CONTINUATION = re.compile(rf"^\s+{_HEX}\s+{_HEX}(?:\s+load address\s+{_HEX})?\s*$")
_DATA_STATEMENT = re.compile(r"^(?:BYTE|SHORT|LONG|QUAD|SQUAD)\b")
# Script statements that ld echoes with their value: ". = ALIGN (4)",
# "_etext = .", "PROVIDE (end = .)", "ASSERT (...)".
_ASSIGNMENT_WORDS = (".", "PROVIDE", "HIDDEN", "ASSERT")
_ASSIGNMENT = re.compile(r"^(?:\.\s|\.$|PROVIDE\b|PROVIDE_HIDDEN\b|HIDDEN\b|ASSERT\b|\S+\s+[-+*/|&]?=\s)")

# Output sections that occupy no target memory.  ld prints them at address 0,
# where a real region (flash on most Cortex-M parts) would claim them.
_NON_ALLOCATED_PREFIXES = (".debug", ".zdebug", ".stab", ".xt.", ".gnu.build.attributes")
_NON_ALLOCATED_NAMES = frozenset(
    {
        ".comment",
        ".line",
        ".ARM.attributes",
        ".riscv.attributes",
        ".gnu.attributes",
        ".MSP430.attributes",
        ".xtensa.info",
        ".GCC.command.line",
        ".note.GNU-stack",
        ".llvm_addrsig",
        ".symtab",
        ".strtab",
        ".shstrtab",
        ".gnu_debuglink",
        ".gnu_debugaltlink",
        "/DISCARD/",
        # Thread-local bss is a template for each thread's copy: ld lets the
        # next section overlap it, so it takes no room of its own.
        "tbss",
        ".tbss",
    }
)

# Input-section prefixes that -ffunction-sections / -fdata-sections put before
# the symbol name; the alternation lists longer prefixes first so that
# ".text.unlikely.f" gives "f".
_SYMBOL_SECTION_PREFIX = re.compile(
    "^(?:"
    + "|".join(
        re.escape(prefix)
        for prefix in sorted(
            (
                ".text.",
                ".text.unlikely.",
                ".text.hot.",
                ".text.startup.",
                ".text.exit.",
                ".rodata.",
                ".srodata.",
                ".data.",
                ".data.rel.",
                ".data.rel.local.",
                ".data.rel.ro.",
                ".data.rel.ro.local.",
                ".sdata.",
                ".sdata2.",
                ".bss.",
                ".sbss.",
                ".sbss2.",
                ".tdata.",
                ".tbss.",
                ".noinit.",
                ".ramfunc.",
                ".ramtext.",
                ".progmem.data.",
            ),
            key=len,
            reverse=True,
        )
    )
    + ")"
)
_IDENTIFIER = re.compile(r"^[A-Za-z_$][\w$.]*$")
# Merged strings and constants (".rodata.str1.1", ".rodata.cst8") carry no name.
_MERGED_SUFFIX = re.compile(r"(?:^|\.)(?:str\d+\.\d+|cst\d+)$")

# Matched against each run of letters in a region name ("IDT_LIST" -> IDT, LIST).
_OTHER_NAME = re.compile(r"^(?:eeprom|fuses?|lock(?:bits)?|signatures?|idt|otp)$", re.IGNORECASE)
_RAM_NAME = re.compile(r"(?<!prog)ram|tcm|ccm|^data$|^bss$|^heap$|^stack$", re.IGNORECASE)
_FLASH_NAME = re.compile(r"flash|rom|^text$|^code$|^prog", re.IGNORECASE)
_NAME_WORDS = re.compile(r"[A-Za-z]+")


class MapFormatError(ModelFormatError):
    """A file that cannot be read as a GNU ld map; the message names file and line."""

    def __init__(self, source: str, problem: str, *, line: int | None = None) -> None:
        super().__init__(source, problem, line=line)

    def _compose(self) -> str:
        if self.line is None:
            return f"{self.source}: {self.problem}"
        return f"{self.source}: line {self.line}: {self.problem}"


@dataclass
class MapReadResult:
    """Everything read from one map: the model and what the reader noticed."""

    model: NormalizedBuildModel
    source: str
    lines_read: int
    truncated_at: int | None = None  # last line number when the map ends early
    has_memory_configuration: bool = True
    unplaced_sections: list[str] = field(default_factory=list)

    def issues(self) -> list[Issue]:
        """The reader's findings as issues, for a host that reports them."""
        issues = []
        if self.truncated_at is not None:
            issues.append(
                Issue(
                    id="map:truncated",
                    title="Linker map ends early",
                    description=(
                        f"{self.source} ends at line {self.truncated_at}, inside the memory map; "
                        "sections and symbols after that point are missing."
                    ),
                    severity=IssueSeverity.WARNING,
                    category=IssueCategory.OTHER,
                    affected_entities=[],
                )
            )
        if not self.has_memory_configuration:
            issues.append(
                Issue(
                    id="map:no-memory-configuration",
                    title="Linker map has no memory configuration",
                    description=(
                        f"{self.source} declares no MEMORY regions, so no section is placed in a region."
                    ),
                    severity=IssueSeverity.INFO,
                    category=IssueCategory.OTHER,
                    affected_entities=[],
                )
            )
        for name in self.unplaced_sections:
            issues.append(
                Issue(
                    id=f"map:unplaced:{name}",
                    title=f"Section {name} lies outside every memory region",
                    description=(
                        f"The address of output section {name} falls in no region of the "
                        "memory configuration."
                    ),
                    severity=IssueSeverity.WARNING,
                    category=IssueCategory.OTHER,
                    affected_entities=[name],
                )
            )
        return issues


# ---------------------------------------------------------------------------
# Content check


def looks_like_gnu_ld_map(text: str) -> bool:
    """True when *text* (a whole map or its first kilobytes) is a GNU ld map.

    The first non-blank line is one of the headings ld opens a map with, or a
    line of its own reads "Linker script and memory map" or "Memory
    Configuration".  JSON models, armlink and IAR maps all fail the test.
    """
    # Only the head: the text may be a whole 50 MB map.
    for line in text[:4096].splitlines():
        stripped = line.rstrip()
        if stripped:
            if stripped in _FIRST_HEADINGS or stripped.startswith(_FIRST_HEADING_PREFIXES):
                return True
            break
    return (
        f"\n{_MAP_HEADING}\n" in text
        or f"\n{_MEMORY_HEADING}\n" in text
        or f"\n{_MAP_HEADING}\r\n" in text
        or f"\n{_MEMORY_HEADING}\r\n" in text
    )


def is_gnu_ld_map_file(path: str | os.PathLike[str]) -> bool:
    """Whether the file at *path* is a GNU ld map, judged from its first bytes.

    OSError passes through, as for any file the caller cannot read.
    """
    with open(path, "rb") as stream:
        head = stream.read(SNIFF_BYTES)
    return looks_like_gnu_ld_map(_decode(head))


# ---------------------------------------------------------------------------
# Small helpers


def _decode(data: bytes) -> str:
    # Maps are ASCII apart from paths; a Windows build may write those in a
    # legacy code page, and Latin-1 keeps such bytes instead of failing.
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def region_category(name: str, attributes: str) -> RegionCategory:
    """Flash, RAM or other, from a region's name and its ld attributes."""
    words = _NAME_WORDS.findall(name)
    if any(_OTHER_NAME.search(word) for word in words):
        return RegionCategory.OTHER
    if any(_RAM_NAME.search(word) for word in words):
        return RegionCategory.RAM
    if any(_FLASH_NAME.search(word) for word in words):
        return RegionCategory.FLASH
    # Attributes: letters, each negated by a preceding "!"; "rw !x" is writable.
    granted = set()
    negate = False
    for char in attributes.lower():
        if char == "!":
            negate = True
        elif char.isalpha():
            if not negate:
                granted.add(char)
        else:
            negate = False
    if "w" in granted:
        return RegionCategory.RAM
    if "r" in granted or "x" in granted:
        return RegionCategory.FLASH
    return RegionCategory.OTHER


def symbol_name_from_section(input_section: str) -> str | None:
    """The symbol that ``-ffunction-sections``/``-fdata-sections`` named *input_section* after.

    ``.text.main`` -> ``main``; ``.bss.count.1511`` -> ``count.1511``;
    ``.rodata.str1.1`` (merged strings) and names without such a prefix -> None.
    """
    match = _SYMBOL_SECTION_PREFIX.match(input_section)
    if match is None:
        return None
    rest = input_section[match.end():]
    if rest.startswith('"'):
        # Zephyr's .noinit."path/file.c".name: the name follows the path.
        close = rest.find('"', 1)
        if close < 0 or not rest.startswith('".', close):
            return None
        rest = rest[close + 2:]
    if _IDENTIFIER.match(rest) and not _MERGED_SUFFIX.search(rest):
        return rest
    return None


def split_archive_member(file_text: str) -> tuple[str | None, str | None]:
    """(object file, archive) of an input file as ld prints it.

    ``path/libfoo.a(bar.o)`` -> (``bar.o``, ``path/libfoo.a``); a plain object
    path is returned as the object with no archive.
    """
    if file_text.endswith(")"):
        open_at = file_text.rfind("(")
        if open_at > 0:
            return file_text[open_at + 1:-1] or None, file_text[:open_at]
    return (file_text or None), None


def _is_non_allocated(name: str) -> bool:
    return name.startswith(_NON_ALLOCATED_PREFIXES) or name in _NON_ALLOCATED_NAMES


def _first(item: tuple[Any, ...]) -> Any:
    return item[0]


def _looks_demangled(name: str) -> bool:
    return "(" in name or "::" in name or " " in name


# ---------------------------------------------------------------------------
# The reader


class _OutputSection:
    __slots__ = (
        "name", "vma", "size", "lma", "fill", "align_fill", "advanced", "has_content", "keep", "items",
    )

    def __init__(self, name: str, vma: int, size: int, lma: int) -> None:
        self.name = name
        self.vma = vma
        self.size = size
        self.lma = lma
        self.fill = 0
        # Fill that follows an ALIGN or an input's own alignment, as opposed
        # to fill after ". = . + SIZE", which reserves room (a stack, a heap).
        self.align_fill = 0
        self.advanced = False
        self.has_content = False
        # Addresses past 2**63 - 1 come only from a damaged map; the records
        # hold signed 64-bit values.
        self.keep = 0 < size and vma + size <= INT_MAX and lma <= INT_MAX and not _is_non_allocated(name)
        # Input sections ([name, address, size, file, symbol lines]) and the
        # addresses of fills and data statements, in map order.
        self.items: list[Any] = []


class _Reader:
    def __init__(self, source: str) -> None:
        self.source = source
        self.regions: list[MemoryRegion] = []
        self.sections: list[_OutputSection] = []
        self.symbols: list[SymbolEntry] = []
        self.saw_map = False
        self.saw_output = False
        self.finished = False
        self.complete_last_line = True
        self.lines_read = 0
        self.line_no = 0
        # Memoised split of "lib.a(obj.o)" texts; a map repeats each file
        # name once per input section.
        self.files: dict[str, tuple[str | None, str | None]] = {}

    # -- input sections and their symbols ------------------------------------

    def _emit_symbols(self, section: _OutputSection) -> None:
        items = section.items
        section.items = []
        out_name = section.name
        section_start = section.vma
        section_end = section_start + section.size
        files = self.files
        append = self.symbols.append
        count = len(items)
        for index in range(count):
            entry = items[index]
            name = entry[0]
            if name is None:
                continue
            _, start, size, file_text, listed = entry
            end = start + size
            if start < section_start:
                continue  # not where the section is: a damaged line
            if end > (items[index + 1][1] if index + 1 < count else section_end):
                # Merged input (".rodata.*.str1.1", ".rodata.cst4"): ld prints
                # it at the current address with its size before merging,
                # while its bytes went into an earlier input section.
                continue
            section.has_content = True
            split = files.get(file_text)
            if split is None:
                split = files[file_text] = split_archive_member(file_text)
            object_file, archive = split

            # Symbol lines outside the input section are absolute or belong
            # to the next statement; aliases at one address keep the first name.
            if not listed:
                points = None
            elif len(listed) == 1:
                points = listed if start <= listed[0][0] < end else None
            else:
                points = []
                seen = set()
                for address, symbol in sorted(listed, key=_first):
                    if start <= address < end and address not in seen:
                        seen.add(address)
                        points.append((address, symbol))

            # Mended: several symbol lines, all outside the input section, crashed.
            if not points or points[0][0] != start:
                # Bytes before the first symbol line (static code, or no
                # symbol line at all) take the input section's name.
                first_end = points[0][0] if points else end
                append(
                    SymbolEntry(
                        symbol_name_from_section(name) or name, None, start, first_end - start,
                        out_name, object_file, archive, None, None,
                    )
                )
                if not points:
                    continue
                leading = False
            else:
                leading = True
            last = len(points) - 1
            for position, (address, symbol) in enumerate(points):
                demangled = None
                if leading and position == 0 and _looks_demangled(symbol):
                    derived = symbol_name_from_section(name)
                    if derived and derived.startswith("_Z"):
                        # ld printed the demangled form; the section name
                        # keeps the linkage name.
                        symbol, demangled = derived, symbol
                # Positional: a frozen dataclass builds faster without
                # keywords, and a large map makes hundreds of thousands.
                append(
                    SymbolEntry(
                        symbol, demangled, address,
                        (points[position + 1][0] if position < last else end) - address,
                        out_name, object_file, archive, None, None,
                    )
                )

    def _finish_section(self, section: _OutputSection) -> None:
        if section.items:
            self._emit_symbols(section)

    # -- the memory map part ---------------------------------------------------

    def _read_map_part(self, lines: list[str], start: int) -> None:
        """Read lines[start:], the part after "Linker script and memory map".

        One loop with local state: a large map has a million lines, nearly
        all input-section and symbol lines, and plain splits and prefix tests
        cost far less per line than a regex or a method call.
        """
        sections = self.sections
        finish = self._finish_section
        current: _OutputSection | None = None  # the output section being read
        entry: list[Any] | None = None  # its input section whose symbol lines may follow
        pending_output: str | None = None  # a long output section name
        pending_input: str | None = None  # a long input section name
        line_no = start
        for line in lines[start:] if start else lines:
            line_no += 1
            if not line:
                continue
            if line[-1] == "\r":
                line = line[:-1]
                if not line:
                    continue

            if pending_output is not None:
                name = pending_output
                pending_output = None
                match = _HEADER_CONTINUATION.match(line)
                if match:
                    vma, size, lma = match.groups()
                    vma = int(vma, 16)
                    current = _OutputSection(name, vma, int(size, 16), vma if lma is None else int(lma, 16))
                    sections.append(current)
                    continue
                # A section that ld placed nowhere (no address); its lines follow.

            if pending_input is not None:
                name = pending_input
                pending_input = None
                parts = line.split(None, 2)
                if len(parts) >= 2 and parts[0][:2] == "0x" and parts[1][:2] == "0x":
                    try:
                        address, size = int(parts[0], 16), int(parts[1], 16)
                    except ValueError:
                        pass
                    else:
                        entry = [name, address, size, parts[2].rstrip() if len(parts) > 2 else "", []]
                        if current is not None and current.keep and size > 0:
                            current.items.append(entry)
                        continue

            first = line[0]
            if first != " " and first != "\t":
                # Top level: an output section header, or the script's own
                # lines (LOAD, OUTPUT, START GROUP) between sections.
                if current is not None:
                    finish(current)
                    current = None
                entry = None
                if line.rstrip() == _CROSS_REFERENCE_HEADING:
                    self.finished = True
                    break
                if line.startswith("OUTPUT("):
                    self.saw_output = True
                    continue
                match = _SECTION_HEADER.match(line)
                if match:
                    name, vma, size, lma = match.groups()
                    vma = int(vma, 16)
                    current = _OutputSection(name, vma, int(size, 16), vma if lma is None else int(lma, 16))
                    sections.append(current)
                    continue
                stripped = line.rstrip()
                if " " not in stripped and "\t" not in stripped:
                    # Long names push the address to the next line.
                    pending_output = stripped
                continue

            if current is None or len(line) < 2:
                continue

            if line[1] != " ":
                # An input section (" .text.main 0x... 0x... main.o"), its name
                # alone when long, a fill, or a script pattern (" *(.text*)").
                parts = line.split(None, 3)
                # Mended: a line of blanks and tabs crashed here.
                if not parts:
                    continue  # blanks only: as an empty line
                numbers = None
                if len(parts) >= 3 and parts[1][:2] == "0x" and parts[2][:2] == "0x":
                    try:
                        numbers = int(parts[1], 16), int(parts[2], 16)
                    except ValueError:
                        pass
                if numbers is None:
                    entry = None
                    token = parts[0]
                    if len(parts) == 1 and token[0] != "*" and "(" not in token:
                        pending_input = token
                    continue
                address, size = numbers
                if parts[0] == "*fill*":
                    current.fill += size
                    if not current.advanced:
                        current.align_fill += size
                    current.advanced = False
                    entry = None
                    if size > 0:
                        # The input before a fill ends here at the latest.
                        current.items.append((None, address))
                    continue
                entry = [parts[0], address, size, parts[3].rstrip() if len(parts) > 3 else "", []]
                if current.keep and size > 0:
                    current.items.append(entry)
                continue

            # Indented deeper: symbol, assignment, data statement, relaxation note.
            parts = line.split(None, 1)
            if len(parts) < 2 or parts[0][:2] != "0x":
                continue
            rest = parts[1].rstrip()
            if rest[:2] == "0x":
                words = rest.split(None, 2)
                if len(words) > 1 and _DATA_STATEMENT.match(words[1]):
                    current.has_content = True
                    entry = None
                    try:
                        address, size = int(parts[0], 16), int(words[0], 16)
                    except ValueError:
                        continue
                    if size > 0:
                        current.items.append((None, address))
                # Otherwise "0x29 (size before relaxing)" and the like.
                continue
            if rest == "(size before relaxing)":
                continue
            if ("=" in rest or rest.startswith(_ASSIGNMENT_WORDS)) and _ASSIGNMENT.match(rest):
                entry = None
                if rest.startswith(". ="):
                    current.advanced = "ALIGN" not in rest
                continue
            if entry is not None:
                try:
                    entry[4].append((int(parts[0], 16), rest))
                except ValueError:
                    pass

        if current is not None:
            finish(current)
        self.lines_read = line_no

    # -- the memory configuration ---------------------------------------------

    def memory_line(self, line: str, pending: list[str]) -> None:
        words = line.split()
        if not words or words[0] == "Name":
            return
        if pending:
            words = [pending.pop()] + words
        if len(words) == 1:
            pending.append(words[0])
            return
        if len(words) < 3 or not words[1].startswith("0x") or not words[2].startswith("0x"):
            raise MapFormatError(
                self.source,
                f"unreadable memory region line {line.strip()!r} "
                "(expected: name, origin, length, attributes)",
                line=self.line_no,
            )
        name = words[0]
        try:
            origin = int(words[1], 16)
            length = int(words[2], 16)
        except ValueError:
            raise MapFormatError(
                self.source, f"bad number in memory region line {line.strip()!r}", line=self.line_no
            ) from None
        if name == "*default*":
            return
        end = min(origin + max(length, 1) - 1, INT_MAX)
        self.regions.append(
            MemoryRegion(
                name=name,
                start_address=min(origin, INT_MAX),
                end_address=end,
                size=min(length, INT_MAX),
                category=region_category(name, " ".join(words[3:])),
            )
        )

    # -- driver ------------------------------------------------------------------

    def read(self, text: str) -> None:
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        self.complete_last_line = text.endswith("\n")
        in_memory = False
        memory_pending: list[str] = []
        line_no = 0
        for line in lines:
            line_no += 1
            line = line.rstrip()
            if line == _MAP_HEADING:
                self.saw_map = True
                self._read_map_part(lines, line_no)
                return
            if line == _MEMORY_HEADING:
                in_memory = True
                continue
            if in_memory:
                if line:
                    self.line_no = line_no
                    self.memory_line(line, memory_pending)
                elif self.regions or memory_pending:
                    in_memory = False
        self.lines_read = line_no


def _region_for(regions: list[MemoryRegion], address: int, size: int) -> str | None:
    """The region holding *address*: among several, one that holds the whole
    section, then the smallest (a script may declare a region inside another)."""
    best = None
    best_key = None
    last = address + max(size, 1) - 1
    for region in regions:
        if region.start_address <= address <= region.end_address:
            key = (last > region.end_address, region.end_address - region.start_address)
            if best_key is None or key < best_key:
                best, best_key = region, key
    return None if best is None else best.name


def parse_map_text(text: str, source: str = "<map>") -> MapReadResult:
    """Read the text of a GNU ld map; *source* names it in messages."""
    if not looks_like_gnu_ld_map(text):
        raise MapFormatError(
            source,
            "not a GNU ld map file (no 'Linker script and memory map' or 'Memory Configuration' part)",
            line=1,
        )
    reader = _Reader(source)
    # The reader makes a few hundred thousand small lists and records and
    # frees none of them; cyclic collections triggered by that growth find
    # nothing and cost about a sixth of the reading time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        reader.read(text)
    finally:
        if collecting:
            gc.enable()
    if not reader.saw_map:
        raise MapFormatError(
            source,
            f"the map ends before its '{_MAP_HEADING}' part (truncated?)",
            line=max(reader.lines_read, 1),
        )

    regions = reader.regions
    sections = []
    unplaced = []
    for section in reader.sections:
        if not section.keep:
            continue
        execution = _region_for(regions, section.vma, section.size)
        load = _region_for(regions, section.lma, section.size)
        if regions and execution is None:
            unplaced.append(section.name)
        sections.append(
            SectionPlacement(
                name=section.name,
                execution_region=execution,
                load_region=load,
                vma=section.vma,
                lma=section.lma,
                size=section.size,
                padding_before=0,
                padding_after=section.fill if section.has_content else section.align_fill,
            )
        )
    names = [section.name for section in sections]
    hints = {
        "stack_sections": [name for name in names if "stack" in name.lower()],
        "heap_sections": [name for name in names if "heap" in name.lower()],
    }
    model = NormalizedBuildModel(
        sections=sections, symbols=reader.symbols, memory_regions=regions, stack_heap_hints=hints
    )
    ended_early = not (reader.finished or reader.saw_output) or not reader.complete_last_line
    return MapReadResult(
        model=model,
        source=source,
        lines_read=reader.lines_read,
        truncated_at=reader.lines_read if ended_early else None,
        has_memory_configuration=bool(regions),
        unplaced_sections=unplaced,
    )


def _progress_stream(progress: Any, size: int) -> IO[str] | None:
    if progress is None:
        return sys.stderr if size > PROGRESS_THRESHOLD_BYTES else None
    if progress is False:
        return None
    if progress is True:
        return sys.stderr
    stream: IO[str] = progress
    return stream


def read_map(path: str | os.PathLike[str], *, progress: Any = None) -> MapReadResult:
    """Read the map file at *path*.

    *progress*: None prints one line on standard error before and after
    reading a file over 10 MB; False never prints; True always prints to
    standard error; a text stream receives the lines instead.
    """
    source = os.fspath(path)
    data = Path(path).read_bytes()
    size = len(data)
    stream = _progress_stream(progress, size)
    started = time.perf_counter()
    if stream is not None:
        print(f"brenvale: reading linker map {source} ({size / 1e6:.1f} MB)...", file=stream, flush=True)
    text = _decode(data)
    del data  # a large map would otherwise be held twice while it is read
    result = parse_map_text(text, source)
    if stream is not None:
        model = result.model
        print(
            f"brenvale: read {source}: {len(model.memory_regions)} regions, "
            f"{len(model.sections)} sections, {len(model.symbols)} symbols "
            f"in {time.perf_counter() - started:.2f} s",
            file=stream,
            flush=True,
        )
    return result


def read_map_file(path_or_text: str | os.PathLike[str], *, progress: Any = None) -> NormalizedBuildModel:
    """The build model of a GNU ld map, given its path or its text.

    A str that contains a line break is taken as map text, anything else as a
    path.
    """
    if isinstance(path_or_text, str) and "\n" in path_or_text:
        return parse_map_text(path_or_text).model
    return read_map(path_or_text, progress=progress).model


def load_map_build(
    path: str | os.PathLike[str], *, progress: Any = None, group_components: bool = True
) -> BuildInput:
    """A map file as the host's ``BuildInput``, like ``model_io.load_build``.

    Components group the object files by archive (``analysis.components_by_archive``)
    unless *group_components* is false; the issues are the reader's findings
    (map truncated, no memory configuration, sections outside every region).
    """
    result = read_map(path, progress=progress)
    components = []
    if group_components:
        from brenvale.analysis import components_by_archive

        components = components_by_archive(result.model)
    return BuildInput(model=result.model, components=components, issues=result.issues())


def load_build_input(path: str | os.PathLike[str], *, progress: Any = None) -> BuildInput:
    """A build from a model file, a GNU ld map or an armlink map, decided by content.

    GNU ld maps go through ``load_map_build``, armlink maps through
    ``readers.armlink.load_armlink_build`` and JSON through
    ``model_io.load_build``; other text raises ``MapFormatError`` saying what
    the file seems to be.  Every error is a ``ModelFormatError``; OSError
    passes through.
    """
    source = os.fspath(path)
    with open(path, "rb") as stream:
        head = _decode(stream.read(SNIFF_BYTES))
    if looks_like_gnu_ld_map(head):
        return load_map_build(path, progress=progress)
    if head.lstrip()[:1] in ("{", ""):
        return load_build(path)
    # Imported here: the armlink reader builds on this module.
    from brenvale.readers.armlink import load_armlink_build, looks_like_armlink_map

    if looks_like_armlink_map(head):
        return load_armlink_build(path)
    if _IAR_MARKER in head:
        raise MapFormatError(source, "IAR map files are not read; give a GNU ld or armlink map or a JSON model", line=1)
    raise MapFormatError(source, "neither a JSON build model nor a GNU ld or armlink map file", line=1)


__all__ = [
    "MapFormatError",
    "MapReadResult",
    "PROGRESS_THRESHOLD_BYTES",
    "is_gnu_ld_map_file",
    "load_build_input",
    "load_map_build",
    "looks_like_gnu_ld_map",
    "parse_map_text",
    "read_map",
    "read_map_file",
    "region_category",
    "split_archive_member",
    "symbol_name_from_section",
]
