"""Reading GNU ld linker map files (``-Wl,-Map=firmware.map``) as build models.

The same reader serves every GNU ld target (ARM, RISC-V, Xtensa, AVR): the map
layout is produced by ld itself, not by the back end.  What is read:

* "Memory Configuration": one ``MemoryRegion`` per line except ``*default*``.
  The category comes from the region name when it says what the memory is
  (``FLASH``, ``irom0_0_seg``, ``DTCM``, ``dram0_0_seg``, ``eeprom``) and from
  the attributes otherwise (writable: RAM; readable or executable only:
  flash).  Names win because many scripts mark every region ``xrw``.
* "Linker script and memory map": every allocated output section with a
  non-zero size becomes a ``SectionPlacement``.  Its VMA and size come from the
  header line, its LMA from "load address" (the VMA when absent), its
  execution and load regions are the regions that hold the VMA and the LMA.
  A section without contents (only zeroed inputs such as ``.bss`` and
  ``COMMON``, or only reservations such as ``. = . + SIZE``; or one whose load
  address the next section reuses) has no load image: its load region is
  its execution region, whatever load address ld printed.  ``*fill*`` bytes
  inside the section are part of its size; they are reported as
  ``fill_bytes``, and ``padding_before``/``padding_after`` stay 0 (ld prints
  nothing of the alignment gaps between sections).  In a section without
  input sections or data, fill that follows ``. = . + SIZE`` is not waste: it
  reserves the section's room (a stack, a heap).  A section at whose address
  the next section starts, and that loads from no other address, was not
  allocated (``(COPY)``, ``(INFO)``): it is left out.
* Input-section lines become ``SymbolEntry`` records: one per symbol line that
  ld prints inside the input section (sized up to the next symbol), or one for
  the whole input section when it lists none.  A symbol without a symbol line
  takes its name from the input section as ``-ffunction-sections`` and
  ``-fdata-sections`` name them (``.text.main`` -> ``main``).  An object inside
  an archive, ``lib.a(obj.o)``, gives ``archive`` = ``lib.a`` and
  ``object_file`` = ``obj.o``.
* Stack and heap hints: the sections whose names contain "stack" or "heap".

Debug and other non-allocated sections (``.debug_*``, ``.comment``,
``.ARM.attributes``, ``.xt.prop`` ...) and ``/DISCARD/`` are left out, and so
are empty sections and empty input sections.

A text that is not a GNU ld map, a map that ends before ld's closing
``OUTPUT(...)`` line of its memory map, or one where an input section starts
past the end of its output section raises ``MapFormatError`` (a
``ModelFormatError``, hence a ``ValueError``) naming the file, the line and
what is missing: read as it stands, a damaged map would show a smaller build.
With ``allow_partial`` such a map gives the model read so far, with warning
issues; a map without a memory configuration gives sections without regions.

Speed: a 50 MB map (some 300,000 symbols) reads in a few tenths of a second.
The memory map part is read by the compiled scanner ``brenvale._mapscan``,
the one home of its line rules, which makes the records itself; it reads a
str of any kind with Python's own whitespace, word characters and ``int()``
numbers (underscores, any size), so a map decoded as UTF-8 with names past
Latin-1, or in the user's language, reads as its Latin-1 form would.  The
memory configuration, a few dozen lines, is read here.

Entry points: ``load_map_build(path)`` returns a ``BuildInput`` as
``model_io.load_build`` does (``detect.load_build_input`` picks the reader
for any map or model); ``read_map_file(path_or_text)`` returns the
model of a GNU ld map; ``looks_like_gnu_ld_map(text)`` and
``is_gnu_ld_map_file(path)`` tell maps from other files.
"""

from __future__ import annotations

import dataclasses
import gc
import os
import re
import sys
import time
from bisect import bisect_left
from collections.abc import Mapping
from dataclasses import dataclass, field, fields
from itertools import islice
from pathlib import Path
from types import MemberDescriptorType
from typing import IO, Any

from .. import _mapscan
from ..analysis import components_by_archive
from ..memory_maps import KNOWN, apply_category_overrides, classify_region, region_category_issue
from ..model_io import INT_MAX
from ..records import (
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
from .findings import damaged_map, unplaced_load_image, unplaced_section
from .rules import (
    SNIFF_BYTES,
    MapFormatError,
    decode_map_bytes,
    is_non_allocated,
    regions_of_spans,
    split_archive_member,
    symbol_name_from_section,
)

#: Files larger than this get a progress line on standard error.
PROGRESS_THRESHOLD_BYTES = 10 * 1024 * 1024

_MEMORY_HEADING = "Memory Configuration"
_MAP_HEADING = "Linker script and memory map"
# Headings that ld writes at the top of a map; which one comes first depends
# on whether archives, common symbols or discarded sections were involved.
_FIRST_HEADINGS = frozenset(
    {"Allocating common symbols", "Discarded input sections", _MEMORY_HEADING, _MAP_HEADING}
)
# These two end in words that differ between ld versions.
_FIRST_HEADING_PREFIXES = ("Archive member included ", "As-needed library included ")

# Untranslated marks of a GNU ld map: the default region that closes the
# memory configuration, and the archive member list ld opens a map with.
_DEFAULT_REGION_LINE = re.compile(r"^\*default\*[ \t]+0x[0-9A-Fa-f]+[ \t]+0x[0-9A-Fa-f]+\s*$", re.MULTILINE)
# "lib.a(member.o)", its reason "file.o (symbol)" or "(--whole-archive)" on the
# same line or indented on the next.  Paths may hold spaces and parentheses
# ("build (debug)/my lib (v2).a(ring (v2).o)"); then the archive's suffix
# says where the member starts.
_ARCHIVE_MEMBER_LINE = re.compile(
    r"^(?:\S+\([^()]+\)|\S.*\.(?:a|lib|rlib)\(.+\))(?:[ \t]+\(.*\))?\s*$"
)
_ARCHIVE_REASON_LINE = re.compile(r"^(?:[ \t]+\S.*\)|\S+\([^()]+\)(?:[ \t]+\(.*\))?)\s*$")

# Input sections that hold no bytes in the image (zeroed or uninitialised).
_ZERO_INIT_INPUT = re.compile(
    r"^(?:\.bss|\.sbss|\.tbss|\.lbss|\.noinit|\.dynbss|\.gnu\.linkonce\.t?s?b\.|\.scommon|COMMON$|\*COM\*$)"
)
# Scripts give the zeroed data of each extra RAM a section of its own, named
# after the memory (".ccmbss", ".dtcm_bss", ".RAM_D2_bss", ".sram2_noinit")
# and kept out of the image with NOLOAD, which the map does not print.  The
# compiler makes such inputs PROGBITS, so where no script names them (an
# orphan section) their bytes are stored.
# The memory's word is in the first part of the name: in ".text.clear_bss" or
# ".ARM.extab.text.zero_bss" it names a function.
_ZERO_INIT_WORD = re.compile(r"^\.?[^.]*(?:bss|no_?init|uninit)[^.]*(?:\.|$)", re.IGNORECASE)


@dataclass
class MapReadResult:
    """Everything read from one map: the model and what the reader noticed."""

    model: NormalizedBuildModel
    source: str
    lines_read: int
    truncated_at: int | None = None  # last line number when the map ends early
    has_memory_configuration: bool = True
    unplaced_sections: list[str] = field(default_factory=list)
    # Load images stored where no region is: (section, load address, size).
    unplaced_load_images: list[tuple[str, int, int]] = field(default_factory=list)
    # What a partial read passed over: "line N: problem", in line order.
    damage: list[str] = field(default_factory=list)
    # Regions whose category was only guessed: (name, how, as in memory_maps).
    guessed_categories: list[tuple[str, str]] = field(default_factory=list)

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
        issues += [damaged_map(self.source, index, problem) for index, problem in enumerate(self.damage)]
        regions = {region.name: region for region in self.model.memory_regions}
        for name, how in self.guessed_categories:
            if name in regions:
                issues.append(region_category_issue(regions[name], how))
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
            issues.append(unplaced_section(name, (
                        f"The address of output section {name} falls in no region of the "
                        "memory configuration."
                    )))
        issues += [unplaced_load_image(self.source, *stray) for stray in self.unplaced_load_images]
        return issues


# ---------------------------------------------------------------------------
# Content check


def looks_like_gnu_ld_map(text: str) -> bool:
    """True when *text* (a whole map or its first kilobytes) is a GNU ld map.

    ld translates its headings into the user's language ("Configuration
    mémoire"), so besides the English headings the map is known by what is
    never translated: the ``*default*`` line that closes its memory
    configuration, or the layout of the archive member list it opens with (a
    ``lib.a(member.o)`` line, then an indented ``file.o (symbol)`` line).  JSON
    models, armlink and IAR maps all fail the test.
    """
    # Only the head: the text may be a whole 50 MB map.
    lines = text[:4096].splitlines()
    for index, line in enumerate(lines):
        stripped = line.rstrip()
        if stripped:
            if stripped in _FIRST_HEADINGS or stripped.startswith(_FIRST_HEADING_PREFIXES):
                return True
            following = [item for item in lines[index + 1:index + 6] if item.strip()]
            if (
                len(following) >= 2
                and _ARCHIVE_MEMBER_LINE.match(following[0])
                and _ARCHIVE_REASON_LINE.match(following[1])
            ):
                return True
            break
    return (
        f"\n{_MAP_HEADING}\n" in text
        or f"\n{_MEMORY_HEADING}\n" in text
        or f"\n{_MAP_HEADING}\r\n" in text
        or f"\n{_MEMORY_HEADING}\r\n" in text
        or _DEFAULT_REGION_LINE.search(text) is not None
    )


def is_gnu_ld_map_file(path: str | os.PathLike[str]) -> bool:
    """Whether the file at *path* is a GNU ld map, judged from its first bytes.

    OSError passes through, as for any file the caller cannot read.
    """
    with open(path, "rb") as stream:
        head = stream.read(SNIFF_BYTES)
    return looks_like_gnu_ld_map(decode_map_bytes(head))


# ---------------------------------------------------------------------------
# Small helpers


def holds_no_bytes(input_section: str) -> bool:
    """Whether an input section of this name holds no bytes in the image:
    zero-initialised data (``.bss*``, ``.sbss*``, ``COMMON`` and their kin),
    ``.noinit*``, and the zeroed data of other RAMs, which scripts name after
    the memory (``.ccmbss``, ``.dtcm_bss``, ``.sram2_noinit``).

    An output section made only of such inputs and of reservations
    (``. = . + SIZE``) has no contents, so nothing of it is loaded, even where
    ld prints a load address for it.
    """
    return _ZERO_INIT_INPUT.match(input_section) is not None or _ZERO_INIT_WORD.match(input_section) is not None


# ---------------------------------------------------------------------------
# The reader


class _OutputSection:
    __slots__ = (
        "name", "vma", "size", "lma", "fill", "align_fill", "advanced", "has_content", "keep",
        "stored", "overrun_line",
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
        # Whether the map shows bytes stored for the section (see holds_no_bytes).
        self.stored = False
        # The line of the first input section that starts past the section's end.
        self.overrun_line = 0
        # Addresses past 2**63 - 1 come only from a damaged map; the records
        # hold signed 64-bit values.
        self.keep = 0 < size and vma + size <= INT_MAX and lma <= INT_MAX and not is_non_allocated(name)


# Building a record through the constructor of a frozen dataclass costs nine
# object.__setattr__ calls in a Python frame; a large map makes hundreds of
# thousands of records, and that alone would take longer than the rest of the
# reading.  The scanner sets the slots through their descriptors instead.
# Only valid while the record has exactly these fields and no __post_init__,
# which the import checks.
_SYMBOL_FIELDS = (
    "name", "demangled_name", "address", "size", "section_name",
    "object_file", "archive", "source_file", "compilation_unit",
)


def _slot_descriptors() -> tuple[MemberDescriptorType, ...] | None:
    if tuple(item.name for item in fields(SymbolEntry)) != _SYMBOL_FIELDS:
        return None
    if hasattr(SymbolEntry, "__post_init__") or SymbolEntry.__new__ is not object.__new__:
        return None
    descriptors = []
    for name in _SYMBOL_FIELDS:
        descriptor = vars(SymbolEntry).get(name)
        if not isinstance(descriptor, MemberDescriptorType):
            return None
        descriptors.append(descriptor)
    return tuple(descriptors)


_descriptors = _slot_descriptors()
if _descriptors is None:
    raise ImportError("brenvale.readers.gnu_ld: SymbolEntry no longer has the nine slots the map scanner fills")
_SYMBOL_DESCRIPTORS: tuple[MemberDescriptorType, ...] = _descriptors


class _Reader:
    def __init__(self, source: str) -> None:
        self.source = source
        self.regions: list[MemoryRegion] = []
        # Regions whose category was only guessed: (name, how).
        self.guessed: list[tuple[str, str]] = []
        self.sections: list[_OutputSection] = []
        self.symbols: list[SymbolEntry] = []
        self.saw_map = False
        self.saw_output = False
        self.open_at_end: _OutputSection | None = None
        self.finished = False
        self.complete_last_line = True
        self.lines_read = 0
        self.line_no = 0

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
        category, how = classify_region(name, " ".join(words[3:]), origin)
        if how != KNOWN:
            self.guessed.append((name, how))
        self.regions.append(
            MemoryRegion(
                name=name,
                start_address=min(origin, INT_MAX),
                end_address=end,
                size=min(length, INT_MAX),
                category=category,
            )
        )

    # -- driver ------------------------------------------------------------------

    def _read_memory_part(self, lines: list[str]) -> None:
        start = _memory_table_start(lines)
        if start is None:
            return
        memory_pending: list[str] = []
        titled = False
        for index in range(start, len(lines)):
            line = lines[index].rstrip()
            if not line:
                if self.regions or memory_pending:
                    break
                continue
            if not titled:
                titled = True
                words = line.split()
                if len(words) >= 3 and not words[1].startswith("0x"):
                    continue  # the column titles, in the user's language
            self.line_no = index + 1
            self.memory_line(line, memory_pending)

    def _scan_map_part(self, text: str, offset: int, line_no: int) -> None:
        """Read text[offset:], the part after the memory map's heading (line
        *line_no*), with the compiled scanner."""
        result = _mapscan.scan(
            text, offset, line_no, SymbolEntry, _SYMBOL_DESCRIPTORS,
            is_non_allocated, symbol_name_from_section, split_archive_member, holds_no_bytes,
        )
        sections, self.symbols, self.lines_read, self.finished, self.saw_output, open_at_end = result
        for name, vma, size, lma, fill, align_fill, has_content, stored, overrun_line in sections:
            section = _OutputSection(name, vma, size, lma)
            section.fill = fill
            section.align_fill = align_fill
            section.has_content = has_content
            section.stored = stored
            section.overrun_line = overrun_line
            self.sections.append(section)
        if open_at_end >= 0:
            self.open_at_end = self.sections[open_at_end]

    def read(self, text: str) -> None:
        self.complete_last_line = text.endswith("\n")
        if "\r" in text:
            # One pass over the text instead of a test on every line.
            text = text.replace("\r\n", "\n")
        at = _map_heading_offset(text)
        if at < 0:
            lines = _split_lines(text)
            self._read_memory_part(lines)
            self.lines_read = len(lines)
            return
        head = text[:at].split("\n")
        head.pop()  # what follows the last line break: the heading line
        self._read_memory_part(head)
        self.saw_map = True
        line_no = len(head) + 1
        newline = text.find("\n", at)
        offset = len(text) if newline < 0 else newline + 1
        self._scan_map_part(text, offset, line_no)


def _split_lines(text: str) -> list[str]:
    """The lines of *text* (line breaks already "\\n"), as a map reader numbers them."""
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    if lines and lines[-1].endswith("\r"):
        lines[-1] = lines[-1][:-1]
    return lines


def _memory_table_start(lines: list[str]) -> int | None:
    """Index of the first line after the memory configuration's heading, or None.

    A translated map has its heading in the user's language; its table is the
    block of lines that ends with the ``*default*`` region.
    """
    for index, line in enumerate(lines):
        if line.rstrip() == _MEMORY_HEADING:
            return index + 1
    for index in range(len(lines) - 1, -1, -1):
        if _DEFAULT_REGION_LINE.match(lines[index]):
            while index > 0 and lines[index - 1].strip():
                index -= 1
            return index
    return None


def _map_heading_offset(text: str) -> int:
    """Where the heading line of the memory map part starts, or -1.

    In English it reads "Linker script and memory map"; in any language it is
    the first line after the memory configuration, which ends with the
    ``*default*`` region.
    """
    at = text.find(_MAP_HEADING)
    while at >= 0:
        end = text.find("\n", at)
        if end < 0:
            end = len(text)
        rest = text[at + len(_MAP_HEADING):end]
        if (at == 0 or text[at - 1] == "\n") and (not rest or rest.isspace()):
            return at
        at = text.find(_MAP_HEADING, at + 1)
    match = _DEFAULT_REGION_LINE.search(text)
    if match is None:
        return -1
    at = match.end()
    while at < len(text):
        end = text.find("\n", at)
        if end < 0:
            end = len(text)
        if text[at:end].strip():
            return at
        at = end + 1
    return -1


def _has_load_image(sections: list[_OutputSection], index: int, reached: set[int]) -> bool:
    """Whether the section at *index* has bytes stored at its load address.

    GNU ld prints a load address for every section that follows one loaded
    elsewhere, whether it has contents or not, and moves the load address on
    only past stored bytes.  So the next allocated section says it best: one
    that reuses this section's load span shows it holds nothing, one that
    keeps the same distance between its running and its load address past
    the span shows it holds its bytes.  Otherwise a later section that runs
    or loads inside the span shows it holds nothing, as ld lets no two
    stored spans overlap (*reached*, from ``_load_spans_reached_later``): a
    ``(NOLOAD)`` section of inputs named ``.ccmram``, say, followed by one
    placed in the region it seemed to load into.  Otherwise the section's
    inputs decide: only zeroed inputs or reservations store nothing.
    """
    section = sections[index]
    for later in islice(sections, index + 1, None):
        # Sections of no size count (ld prints their load address too);
        # those not allocated do not.
        if is_non_allocated(later.name) or (later.size and not later.keep):
            continue
        end = section.lma + section.size
        if section.lma <= later.lma < end:
            return False
        # After a section loaded by AT(address) rather than AT> REGION, ld
        # keeps the distance between running and load address for every
        # later section of the region, stored or not: that the next one
        # keeps it says nothing of a section that the map shows to be
        # zeroed inputs or a reservation (. = . + SIZE).
        zeroed = not section.stored and (section.has_content or section.fill > section.align_fill)
        if not zeroed and later.lma >= end and later.vma - later.lma == section.vma - section.lma:
            return True
        break
    return section.stored and index not in reached


def _load_spans_reached_later(sections: list[_OutputSection]) -> set[int]:
    """Indexes of the sections loaded elsewhere whose load span holds the
    running or load address of a section listed after them.

    One pass from the end with a count of the addresses seen so far (a
    Fenwick tree over the addresses), so that a map of many sections loaded
    elsewhere is read in n log n.
    """
    placed = [index for index, section in enumerate(sections) if section.keep]
    addresses = sorted({a for i in placed for a in (sections[i].vma, sections[i].lma)})
    tree = [0] * (len(addresses) + 1)

    def seen_below(position: int) -> int:
        total = 0
        while position > 0:
            total += tree[position]
            position &= position - 1
        return total

    reached = set()
    for index in reversed(placed):
        section = sections[index]
        if section.lma != section.vma:
            low = bisect_left(addresses, section.lma)
            high = bisect_left(addresses, section.lma + section.size)
            if seen_below(high) > seen_below(low):
                reached.add(index)
        for address in {section.vma, section.lma}:
            position = bisect_left(addresses, address) + 1
            while position < len(tree):
                tree[position] += 1
                position += position & -position
    return reached


def _unallocated_sections(sections: list[_OutputSection]) -> set[int]:
    """Indexes of the sections that ld did not allocate, told by the next one's address.

    ld prints ``(COPY)`` and ``(INFO)`` sections (the ``.heap (COPY)`` and
    ``.stack_dummy (COPY)`` of CMSIS and nRF5 scripts) like any other, with
    no mark of their type, but does not move the location counter past them:
    the next section starts at the same address.  An allocated section is
    always moved past (ld refuses allocated sections whose addresses
    overlap), except an overlay member, which loads from an address of its
    own, and ``.tbss``, whose zeros take room in each thread's block and
    none in the image: it goes too.  The last such section of a region
    leaves no trace and is kept.
    """
    kept = [index for index, section in enumerate(sections) if section.keep]
    return {
        index
        for index, following in zip(kept, kept[1:])
        if sections[index].lma == sections[index].vma and sections[following].vma == sections[index].vma
    }


def _is_orphan(text: str, name: str) -> bool:
    """Whether output section *name* is one that no script statement made:
    ld prints the input patterns of a scripted section (`` *(.ccmbss*)``)
    before the inputs they matched, and none for an orphan, which it names
    after its inputs."""
    header = re.search(rf"^{re.escape(name)}(?=[ \t\r]|$)", text, re.MULTILINE)
    if header is None:
        return False
    # The text may be a whole 50 MB map: read on from the header only as far
    # as the first line at the input column.
    at = text.find("\n", header.end())
    while 0 <= at < len(text) - 1:
        end = text.find("\n", at + 1)
        line = text[at + 1:end if end >= 0 else len(text)].rstrip("\r")
        if not line.strip():
            return False  # the section ends with no input at all
        if line.startswith(" ") and not line.startswith("  ") and not line.startswith((" *fill*", " FILL mask")):
            # A pattern carries no address; an input does, or is a name
            # wrapped onto its own line.
            return not ("(" in line and "0x" not in line)
        at = end
    return False


def _truncation_problem(reader: _Reader) -> str:
    if reader.open_at_end is not None:
        return f"the map ends inside output section {reader.open_at_end.name}; is it truncated?"
    placed = [section for section in reader.sections if section.keep]
    if placed:
        return f"the map ends inside its memory map, after output section {placed[-1].name}; is it truncated?"
    return "the map ends inside its memory map, before any output section; is it truncated?"


def parse_map_text(text: str, source: str = "<map>", *, allow_partial: bool = False) -> MapReadResult:
    """Read the text of a GNU ld map; *source* names it in messages.

    A map that ends inside its memory map part (before ld's closing
    ``OUTPUT(...)`` line) or whose section contents run past the section's
    end raises MapFormatError: read as it stands it would show a smaller
    build.  With *allow_partial* what is there is read, and the result says
    what is missing (``MapReadResult.issues``).
    """
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
            f"the map ends before its '{_MAP_HEADING}' part; is it truncated?",
            line=max(reader.lines_read, 1),
        )
    # ld closes the memory map of allocated sections with OUTPUT(...); what may
    # follow (debug sections, the cross reference table) sizes nothing.
    ended_early = not (reader.finished or reader.saw_output)
    overruns: list[tuple[int, str]] = []
    for section in reader.sections:
        if section.keep and section.overrun_line:
            end = section.vma + section.size
            overruns.append(
                (
                    section.overrun_line,
                    f"an input section of output section {section.name} starts past its end "
                    f"(0x{end:x}); is the map damaged?",
                )
            )
    problems = sorted(overruns)
    if ended_early:
        problems.append((max(reader.lines_read, 1), _truncation_problem(reader)))
    if problems and not allow_partial:
        line, problem = problems[0]
        raise MapFormatError(source, problem, line=line)

    for index in _unallocated_sections(reader.sections):
        reader.sections[index].keep = False
    for section in reader.sections:
        if (
            section.keep and not section.stored and section.lma != section.vma
            and _ZERO_INIT_INPUT.match(section.name) is None and _ZERO_INIT_WORD.match(section.name) is not None
            and _is_orphan(text, section.name)
        ):
            section.stored = True
    reached = _load_spans_reached_later(reader.sections)
    regions = reader.regions
    kept = [section for section in reader.sections if section.keep]
    stored = [
        section.lma != section.vma and _has_load_image(reader.sections, index, reached)
        for index, section in enumerate(reader.sections) if section.keep
    ]
    spans = [(section.vma, section.size) for section in kept]
    spans += [(section.lma, section.size) for section, loaded in zip(kept, stored) if loaded]
    placed = iter(regions_of_spans(regions, spans))
    executions = [next(placed) for _ in kept]
    sections = []
    unplaced = []
    stray_loads = []
    for section, execution, loaded in zip(kept, executions, stored):
        load = next(placed) if loaded else execution  # nothing is loaded for it otherwise
        if regions and execution is None:
            unplaced.append(section.name)
        if regions and loaded and load is None:
            stray_loads.append((section.name, section.lma, section.size))
        sections.append(
            SectionPlacement(
                name=section.name,
                execution_region=execution,
                load_region=load,
                vma=section.vma,
                lma=section.lma,
                size=section.size,
                padding_before=0,
                padding_after=0,
                # Fill after ". = . + SIZE" is part of a reservation (a stack,
                # a heap), not waste.
                fill_bytes=section.fill if section.has_content else section.align_fill,
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
    return MapReadResult(
        model=model,
        source=source,
        lines_read=reader.lines_read,
        truncated_at=reader.lines_read if ended_early else None,
        has_memory_configuration=bool(regions),
        unplaced_sections=unplaced,
        unplaced_load_images=stray_loads,
        guessed_categories=reader.guessed,
        damage=[f"line {line}: {problem}" for line, problem in sorted(overruns)],
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


def read_map(path: str | os.PathLike[str], *, progress: Any = None, allow_partial: bool = False) -> MapReadResult:
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
    text = decode_map_bytes(data)
    del data  # a large map would otherwise be held twice while it is read
    result = parse_map_text(text, source, allow_partial=allow_partial)
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
    path: str | os.PathLike[str],
    *,
    progress: Any = None,
    group_components: bool = True,
    allow_partial: bool = False,
    region_categories: Mapping[str, RegionCategory] | None = None,
) -> BuildInput:
    """A map file as the host's ``BuildInput``, like ``model_io.load_build``.

    Components group the object files by archive (``analysis.components_by_archive``)
    unless *group_components* is false; the issues are the reader's findings
    (map truncated, no memory configuration, sections outside every region).
    """
    result = read_map(path, progress=progress, allow_partial=allow_partial)
    if region_categories:
        result = _with_categories(result, region_categories)
    components = []
    if group_components:
        components = components_by_archive(result.model)
    return BuildInput(model=result.model, components=components, issues=result.issues(), source_format="gnu-ld-map")


def _with_categories(result: MapReadResult, categories: Mapping[str, RegionCategory]) -> MapReadResult:
    """*result* with the user's region categories, which are no guess."""
    model = dataclasses.replace(
        result.model, memory_regions=apply_category_overrides(result.model.memory_regions, categories)
    )
    guessed = [(name, how) for name, how in result.guessed_categories if name not in categories]
    return dataclasses.replace(result, model=model, guessed_categories=guessed)


__all__ = [
    "MapReadResult",
    "PROGRESS_THRESHOLD_BYTES",
    "holds_no_bytes",
    "is_gnu_ld_map_file",
    "load_map_build",
    "looks_like_gnu_ld_map",
    "parse_map_text",
    "read_map",
    "read_map_file",
]
