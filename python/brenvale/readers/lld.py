"""Reading LLVM lld map files (``-Wl,-Map=firmware.map``) as build models.

lld writes one table with the header ``VMA LMA Size Align Out In Symbol``
(``Address Size Align Out In Symbol`` before LLVM 8, without load
addresses).  Each row has the four numbers, then its text indented to one of
three columns: an output section (or a script statement such as
``_estack = ...``), an input section ``file:(section)`` (or a statement inside
the output section), and a symbol with its real size.  What is read:

* Every allocated output section with a non-zero size becomes a
  ``SectionPlacement`` with its VMA, LMA and size.  lld puts the sections it
  does not allocate (debug, ``(COPY)``, ``(INFO)``) at address 0; one there
  after other sections is left out, unless no section holds address 0 yet
  and a region of the script does.  Its ``padding_before`` is
  the alignment gap in front of it: the bytes between the end of the section
  before it and its address, when its alignment alone explains them.  Fill
  inside a section is part of its size, so ``padding_after`` is 0; lld
  prints no fill rows, so ``fill_bytes`` is what the input sections and data
  statements leave of the size (the ALIGN steps alone in a section without
  contents, whose ``. = . + SIZE`` reserves room), as in GNU ld maps.
* Zero-initialised sections (every input section a ``.bss``, ``.sbss``,
  ``.tbss``, ``COMMON``, ``.noinit``, ``.uninit``, stack or heap section, or
  no input section and such a name) have no load image: lld prints a load
  address for them, but nothing is stored there.  A section whose load range
  overlaps that of a later section is taken as one without contents too.
* Symbols: each symbol row with a non-zero size is a ``SymbolEntry`` of that
  size, but of aliases (same address and size) only the first listed;
  mapping symbols (``$t``, ``$d``, ``$x``...) are left out, and Thumb
  function addresses lose their low bit; a thread-local symbol, printed at
  its offset in the TLS block, is placed at that offset from the block's
  first section (``.tdata``).  An input section without such a
  symbol becomes one entry of its own size, named as in GNU ld maps
  (``.text.main`` -> ``main``), or after the section for lld's own
  ``<internal>`` sections (merged strings and constants, range thunks), whose
  symbols lld does not print.  ``lib.a(obj.o)`` splits into archive and
  object; lld's own ``<internal>`` sections have no object.
* Regions: lld prints none.  They come from the MEMORY command of the linker
  script when the caller passes them; otherwise one region is inferred per
  contiguous block of section addresses (RAM when it holds zero-initialised
  or copied sections, flash otherwise), with a warning issue saying so.

Rows of ``--defsym`` assignments, which lld prints without their text, are
passed over.  A map that does not end after the sections lld lists last (the non-allocated
``.symtab``/``.shstrtab``/``.strtab``), or whose rows are damaged, raises
``MapFormatError``.
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
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)
from .findings import unplaced_load_image, unplaced_section
from .rules import (
    MapFormatError,
    decode_map_bytes,
    is_non_allocated,
    looks_demangled,
    region_for,
    regions_of_spans,
    split_archive_member,
    symbol_name_from_section,
)

_HEADER = re.compile(r"^\s*(?:VMA\s+LMA|Address)\s+Size\s+Align\s+Out\s+In\s+Symbol\s*$")
_HEX_FIELD = re.compile(r"[0-9A-Fa-f]{1,16}")
_MAPPING_SYMBOL = re.compile(r"^\$[atdx](?:\..*)?$")
_ZERO_INIT_INPUT = re.compile(
    r"^(?:\.s?bss|\.tbss|\.lbss|COMMON|\.noinit|\.uninit|\.stack|\.heap)(?:[.$].*)?$|stack|heap",
    re.IGNORECASE,
)
# The zeroed data of another RAM, which scripts name after the memory
# (".ccmbss", ".dtcm_bss", ".sram2_noinit") and keep out of the image with
# NOLOAD, which the map does not print; the word is in the name's first part
# (in ".text.clear_bss" it names a function).
_ZERO_INIT_WORD = re.compile(r"^\.?[^.]*(?:bss|no_?init|uninit)[^.]*(?:\.|$)", re.IGNORECASE)
# Code and initialised data, whatever their names say (".text.heap_init").
# Statements that lld prints inside an output section with the bytes they take.
_DATA_STATEMENT = re.compile(r"^(?:BYTE|SHORT|LONG|QUAD|SQUAD)\s*\(")
_ALIGN_ASSIGNMENT = re.compile(r"^\.\s*=\s*ALIGN\s*\(")
_CONTENTS_INPUT = re.compile(r"^\.(?:text|rodata|srodata|s?data|ramfunc|init|fini|vectors|isr_vector)(?:[.$]|$)")
# Sections lld lists after all allocated ones: a map must end among them.
_TAIL_SECTIONS = (".symtab", ".shstrtab", ".strtab")


def looks_like_lld_map(text: str) -> bool:
    """True when the first non-blank line of *text* is lld's map header."""
    for line in text[:4096].splitlines():
        if line.strip():
            return _HEADER.match(line) is not None
    return False


@dataclass
class _Input:
    file: str
    name: str
    address: int
    size: int
    symbols: list[tuple[str, int, int]] = field(default_factory=list)


@dataclass
class _Output:
    name: str
    vma: int
    lma: int
    size: int
    align: int
    line: int
    inputs: list[_Input] = field(default_factory=list)
    extent: int = 0  # how far the rows inside it reach
    zero_init: bool = False
    # What lld prints of the bytes that are no input section: data
    # statements (BYTE, LONG ...) and the advance of ". = ALIGN(...)".
    data_bytes: int = 0
    align_bytes: int = 0

    def fill_bytes(self) -> int:
        """The bytes inside the section that hold no input section and no data.

        lld prints no fill rows, so a section with contents has as fill
        whatever its inputs and data statements leave of its size (the gaps
        that their alignment makes, ALIGN and ". = . + SIZE" steps), as GNU
        ld's ``*fill*`` lines count them.  In one without contents, ". = .
        + SIZE" reserves room (a stack, a heap) and only the ALIGN steps are
        waste.
        """
        contents = sum(entry.size for entry in self.inputs) + self.data_bytes
        if contents:
            return max(self.size - contents, 0)
        return min(self.align_bytes, self.size)


def _align_up(value: int, align: int) -> int:
    if align <= 1:
        return value
    return (value + align - 1) // align * align


class _Reader:
    def __init__(self, source: str) -> None:
        self.source = source
        self.outputs: list[_Output] = []

    def error(self, problem: str, line: int) -> MapFormatError:
        return MapFormatError(self.source, problem, line=line)

    def read(self, text: str) -> None:
        if "\r" in text:
            text = text.replace("\r\n", "\n")
        lines = text.split("\n")
        if lines[-1] != "":
            raise self.error("the map ends inside a line; is it truncated?", len(lines))
        lines.pop()
        start = next((i for i, line in enumerate(lines) if line.strip()), None)
        if start is None or not _HEADER.match(lines[start]):
            raise self.error("not an lld map (no 'VMA LMA Size Align Out In Symbol' header)", 1)
        header = lines[start]
        numbers = 4 if "LMA" in header else 3
        out_at = header.index("Out")
        in_step = header.index("In", out_at + 3) - out_at
        symbol_step = header.index("Symbol") - out_at
        row = re.compile(r"^\s*" + r"(\S+)\s+" * (numbers - 1) + r"(\S+) ( *)(.*)$")
        current: _Output | None = None
        entry: _Input | None = None
        for index in range(start + 1, len(lines)):
            line_no = index + 1
            line = lines[index]
            if not line.strip():
                continue
            match = row.match(line)
            if match is None:
                raise self.error(f"unreadable map row {line.strip()[:80]!r}", line_no)
            fields = match.groups()
            values = []
            for text_value in fields[: numbers - 1]:
                if not _HEX_FIELD.fullmatch(text_value):
                    raise self.error(f"bad number {text_value[:40]!r} in map row", line_no)
                values.append(int(text_value, 16))
            align_text = fields[numbers - 1]
            # isdigit() alone also passes superscripts, which int() refuses.
            if not (align_text.isascii() and align_text.isdigit()) or len(align_text) > 19:
                raise self.error(f"bad alignment {align_text[:40]!r} in map row", line_no)
            align = int(align_text)
            indent, rest = len(fields[numbers]), fields[numbers + 1].rstrip()
            # A symbol's load address is its address moved by its section's
            # offset, in 64-bit arithmetic: a thread-local symbol, whose
            # address is its offset in the TLS block, gets a wrapped one
            # (0xffffffffa0000290).  Nothing reads it.
            checked = values if indent < symbol_step or numbers == 3 else values[:1] + values[2:]
            if any(value > INT_MAX for value in checked) or align > INT_MAX:
                raise self.error(f"a number in this row exceeds {INT_MAX}", line_no)
            vma = values[0]
            lma = values[1] if numbers == 4 and indent < symbol_step else vma
            size = values[-1]
            if vma + size > INT_MAX or lma + size > INT_MAX:
                raise self.error(f"this row ends past {INT_MAX}", line_no)
            if not rest and indent < in_step and not size:
                # lld prints a --defsym as an assignment without its text.
                current, entry = None, None
                continue
            if not rest and indent < symbol_step:
                raise self.error("a map row without a section name", line_no)
            if indent < in_step:
                entry = None
                if any(char.isspace() for char in rest):
                    current = None  # a statement between sections
                    continue
                current = _Output(rest, vma, lma, size, align, line_no, extent=vma)
                self.outputs.append(current)
                continue
            if current is None:
                raise self.error("a row inside an output section, but no output section is open", line_no)
            if indent < symbol_step:
                end = vma + size
                if size and (vma < current.vma or end > current.vma + current.size):
                    raise self.error(
                        f"{rest[:80]!r} runs past the end of output section {current.name}", line_no
                    )
                current.extent = max(current.extent, end)
                split = rest.rfind(":(")
                if rest.endswith(")") and split >= 0:
                    entry = _Input(rest[:split], rest[split + 2:-1], vma, size)
                    current.inputs.append(entry)
                else:
                    entry = None  # an assignment or data statement
                    if _DATA_STATEMENT.match(rest):
                        current.data_bytes += size
                    elif _ALIGN_ASSIGNMENT.match(rest):
                        current.align_bytes += size
                continue
            if entry is None:
                raise self.error("a symbol row outside an input section", line_no)
            entry.symbols.append((rest.strip(), vma, size))
        self.check_end(len(lines))

    def check_end(self, last_line: int) -> None:
        if not self.outputs:
            raise self.error("the map lists no output sections; is it truncated?", last_line)
        last = self.outputs[-1]
        if last.extent < last.vma + last.size and (last.inputs or last.name in _TAIL_SECTIONS):
            raise self.error(f"the map ends inside output section {last.name}; is it truncated?", last_line)
        if not is_non_allocated(last.name):
            raise self.error(
                f"the map ends after output section {last.name}, before the sections lld lists last "
                f"({', '.join(_TAIL_SECTIONS)}); is it truncated?",
                last_line,
            )


def _has_no_contents(section: _Output) -> bool:
    sized = [entry for entry in section.inputs if entry.size]
    if sized:
        return all(
            (_ZERO_INIT_INPUT.search(entry.name) or _ZERO_INIT_WORD.match(entry.name))
            and not _CONTENTS_INPUT.match(entry.name)
            for entry in sized
        )
    return _ZERO_INIT_INPUT.search(section.name) is not None


def _allocated(sections: list[_Output], regions: list[MemoryRegion] | None) -> list[_Output]:
    """*sections* without those lld did not allocate.

    lld puts every section it does not allocate (``(COPY)`` and ``(INFO)``
    ones such as CMSIS's ``.stack_dummy`` or defmt's ``.defmt``, besides the
    debug sections) at address 0, load address 0 too, and the map marks them
    no other way.  An allocated section at 0 is the first of the sections
    there: a second one would overlap it, which lld refuses.  One at 0 after
    sections elsewhere is taken as allocated only where a region of the
    script holds address 0.
    """
    kept: list[_Output] = []
    for section in sections:
        if section.vma == 0 and section.lma == 0 and kept:
            if any(s.vma == 0 for s in kept):
                continue
            if regions is None or region_for(regions, 0, section.size) is None:
                continue
        kept.append(section)
    return kept


def _mark_zero_init(sections: list[_Output]) -> None:
    for section in sections:
        section.zero_init = _has_no_contents(section)
    # A section without contents lends its load address to the next one.
    stored = sorted((s for s in sections if s.lma != s.vma), key=lambda s: s.lma)
    others = sorted((s for s in sections if s.lma == s.vma and not s.zero_init), key=lambda s: s.lma)
    for section in stored:
        if section.zero_init:
            continue
        end = section.lma + section.size
        if any(o is not section and o.lma < end and section.lma < o.lma + o.size for o in stored + others
               if not o.zero_init and o.lma >= section.lma):
            section.zero_init = True


def _infer_regions(sections: list[_Output]) -> list[MemoryRegion]:
    spans: list[tuple[int, int, int, bool]] = []  # start, end, align, holds RAM contents
    for section in sections:
        runs_in_ram = section.zero_init or section.lma != section.vma
        spans.append((section.vma, section.vma + section.size, section.align, runs_in_ram))
        if section.lma != section.vma and not section.zero_init:
            spans.append((section.lma, section.lma + section.size, section.align, False))
    spans.sort()
    blocks: list[list[int]] = []  # start, end, ram
    for start, end, align, ram in spans:
        if blocks and start <= _align_up(blocks[-1][1], max(align, 1)):
            block = blocks[-1]
            block[1] = max(block[1], end)
            block[2] |= int(ram)
        else:
            blocks.append([start, end, int(ram)])
    regions = []
    for first, last, holds_ram in blocks:
        start, end = first, last
        category = RegionCategory.RAM if holds_ram else RegionCategory.FLASH
        name = f"{category.value.upper()}_{start:08X}"
        regions.append(MemoryRegion(name, start, end - 1, end - start, category))
    return regions


_TLS_SECTION = re.compile(r"^\.?t(?:data|bss)(?:[.$]|$)")


def _tls_block_start(sections: list[_Output]) -> int | None:
    """Where the template of thread-local data starts: at its first section."""
    return next((s.vma for s in sections if _TLS_SECTION.match(s.name)), None)


def _symbols(section: _Output, tls_start: int | None) -> list[SymbolEntry]:
    symbols = []
    for entry in section.inputs:
        if not entry.size:
            continue
        if entry.file == "<internal>":
            object_file, archive = None, None
        else:
            object_file, archive = split_archive_member(entry.file)
        thumb = any(name == "$t" or name.startswith("$t.") for name, _, _ in entry.symbols)
        sized: list[tuple[str, int, int]] = []
        spans: set[tuple[int, int]] = set()
        label = None
        for name, address, size in entry.symbols:
            if not name or _MAPPING_SYMBOL.match(name):  # RISC-V prints nameless labels
                continue
            if thumb and address & 1:
                address -= 1
            if size and not entry.address <= address < entry.address + entry.size:
                # lld prints a thread-local symbol at its offset in the TLS
                # block, as its ELF value is.
                moved = None if tls_start is None else tls_start + address
                if moved is None or not entry.address <= moved < entry.address + entry.size:
                    continue  # placed nowhere in its section: its bytes are the section's
                address = moved
            if size:
                # Aliases (newlib's sniprintf for snprintf, identical code
                # folded by --icf) share one span: the first listed names it,
                # as in GNU ld maps, so that its bytes count once.
                if (address, size) not in spans:
                    spans.add((address, size))
                    sized.append((name, address, size))
            elif label is None and address == entry.address:
                label = name
        if not sized:
            # lld's own sections (merged strings and constants, thunks) are
            # named after no symbol, whatever their names say.
            derived = None if object_file is None else symbol_name_from_section(entry.name)
            name = derived or label or entry.name
            sized.append((name, entry.address, entry.size))
        for name, address, size in sized:
            symbols.append(
                SymbolEntry(
                    name, name if looks_demangled(name) else None, address, size, section.name,
                    object_file, archive, None, None,
                )
            )
    return symbols


@dataclass
class LldReadResult:
    """The model of one lld map and what the reader noticed."""

    model: NormalizedBuildModel
    source: str
    inferred_regions: bool
    unplaced_sections: list[str]
    # Load images stored where no region is: (section, load address, size).
    unplaced_load_images: list[tuple[str, int, int]] = field(default_factory=list)

    def issues(self) -> list[Issue]:
        issues = []
        if self.inferred_regions:
            names = ", ".join(
                f"{r.name} (0x{r.start_address:x}..0x{r.end_address:x}, {r.category.value})"
                for r in self.model.memory_regions
            )
            issues.append(
                Issue(
                    id="map:inferred-regions",
                    title="Memory regions were inferred from section addresses",
                    description=(
                        f"{self.source} is an lld map, which prints no memory regions, and no linker "
                        f"script was given (--memory-regions FILE); regions were inferred, one per "
                        f"contiguous block of section addresses, with no free space: {names}."
                    ),
                    severity=IssueSeverity.WARNING,
                    category=IssueCategory.OTHER,
                    affected_entities=[r.name for r in self.model.memory_regions],
                )
            )
        for name in self.unplaced_sections:
            issues.append(unplaced_section(name, f"The address of output section {name} falls in no given memory region."))
        issues += [unplaced_load_image(self.source, *stray) for stray in self.unplaced_load_images]
        return issues


def parse_lld_map(
    text: str, source: str = "<map>", memory_regions: list[MemoryRegion] | None = None
) -> LldReadResult:
    """Read the text of an lld map; *memory_regions* come from its linker script."""
    reader = _Reader(source)
    reader.read(text)
    kept = _allocated([s for s in reader.outputs if s.size and not is_non_allocated(s.name)], memory_regions)
    _mark_zero_init(kept)
    inferred = memory_regions is None
    regions = _infer_regions(kept) if memory_regions is None else list(memory_regions)

    by_address = sorted(range(len(kept)), key=lambda i: (kept[i].vma, i))
    padding = [0] * len(kept)
    previous_end: int | None = None
    previous_region: str | None = None
    for index in by_address:
        section = kept[index]
        region = region_for(regions, section.vma, section.size)
        if previous_end is not None and region == previous_region and previous_end < section.vma:
            if _align_up(previous_end, section.align) == section.vma:
                padding[index] = section.vma - previous_end
        end = section.vma + section.size
        if previous_end is None or end > previous_end or region != previous_region:
            previous_end, previous_region = end, region

    sections = []
    symbols = []
    unplaced = []
    stray_loads = []
    tls_start = _tls_block_start(reader.outputs)
    stored = [not section.zero_init and section.lma != section.vma for section in kept]
    spans = [(section.vma, section.size) for section in kept]
    spans += [(section.lma, section.size) for section, loaded in zip(kept, stored) if loaded]
    placed = iter(regions_of_spans(regions, spans))
    executions = [next(placed) for _ in kept]
    for index, section in enumerate(kept):
        execution = executions[index]
        if section.zero_init:
            load, lma = execution, section.vma
        elif stored[index]:
            load, lma = next(placed), section.lma
            if load is None and not inferred:
                stray_loads.append((section.name, section.lma, section.size))
        else:
            load, lma = execution, section.lma
        if execution is None:
            unplaced.append(section.name)
        sections.append(
            SectionPlacement(
                section.name, execution, load, section.vma, lma, section.size, padding[index], 0,
                section.fill_bytes(),
            )
        )
        symbols.extend(_symbols(section, tls_start))
    names = [s.name for s in sections]
    hints = {
        "stack_sections": [n for n in names if "stack" in n.lower()],
        "heap_sections": [n for n in names if "heap" in n.lower()],
    }
    model = NormalizedBuildModel(sections=sections, symbols=symbols, memory_regions=regions, stack_heap_hints=hints)
    return LldReadResult(model, source, inferred, unplaced, stray_loads)


def load_lld_build(
    path: str | os.PathLike[str], *, memory_regions: list[MemoryRegion] | None = None
) -> BuildInput:
    """An lld map file as the host's ``BuildInput`` (components by archive)."""
    source = os.fspath(path)
    result = parse_lld_map(decode_map_bytes(Path(path).read_bytes()), source, memory_regions)
    return BuildInput(model=result.model, components=components_by_archive(result.model), issues=result.issues(),
                      source_format="lld-map")


__all__ = ["LldReadResult", "load_lld_build", "looks_like_lld_map", "parse_lld_map"]
