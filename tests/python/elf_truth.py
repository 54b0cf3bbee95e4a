"""What an ELF file says about its own layout, read from the text dumps that
tests/firmware/build.py commits beside each linker map:

    NAME.sections.txt          objdump -h -w   (VMA, LMA, size, alignment, flags)
    NAME.section-headers.txt   readelf -S -W   (section type: PROGBITS, NOBITS ...)
    NAME.symbols.txt           readelf -s -W

and the regions a GNU ld map declares in its memory configuration.  These are
the oracles of the truth tests, so they parse only these fixed layouts and
fail loudly on a line they do not understand instead of skipping it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class ElfSection:
    name: str
    size: int
    vma: int
    lma: int
    alignment: int
    flags: frozenset[str]  # objdump's words: CONTENTS, ALLOC, LOAD, READONLY, CODE, DATA ...
    type: str  # readelf's: PROGBITS, NOBITS, NOTE, ARM_ATTRIBUTES ...

    @property
    def allocated(self) -> bool:
        return "ALLOC" in self.flags

    @property
    def has_bits(self) -> bool:
        """Whether the file holds bytes for it (what the target loads)."""
        return self.type != "NOBITS"

    @property
    def thread_local(self) -> bool:
        return "THREAD_LOCAL" in self.flags

    @property
    def takes_room(self) -> bool:
        """Whether it occupies target memory at its address: all allocated
        sections but ``.tbss``, the zeroed part of the template of each
        thread's data, which the next section may overlap."""
        return self.allocated and self.size > 0 and not (self.thread_local and not self.has_bits)


@dataclass(frozen=True)
class ElfSymbol:
    name: str
    value: int
    size: int
    type: str  # FUNC, OBJECT, NOTYPE, SECTION, FILE
    bind: str
    section_index: str  # a number, or UND / ABS / COM


@dataclass(frozen=True)
class Region:
    name: str
    origin: int
    length: int

    def holds(self, address: int) -> bool:
        return self.origin <= address < self.origin + self.length


@dataclass(frozen=True)
class ElfTruth:
    file_format: str  # "elf32-littlearm", "elf32-avr" ...
    sections: list[ElfSection]  # in objdump's order (section header order)
    section_indexes: dict[int, str]  # readelf's section number -> name
    symbols: list[ElfSymbol]

    @property
    def is_arm(self) -> bool:
        return self.file_format.endswith("arm")

    def allocated_sections(self) -> list[ElfSection]:
        return [s for s in self.sections if s.takes_room]

    def tls_block_start(self) -> int | None:
        """The address of the thread-local template: ELF gives a TLS symbol's
        value as its offset from there."""
        starts = [s.vma for s in self.sections if s.allocated and s.thread_local]
        return min(starts) if starts else None

    def section_of(self, symbol: ElfSymbol) -> ElfSection | None:
        if not symbol.section_index.isdigit():
            return None
        name = self.section_indexes.get(int(symbol.section_index))
        return next((s for s in self.sections if s.name == name), None)

    def symbol_address(self, symbol: ElfSymbol) -> int:
        """The symbol's first byte: ARM marks Thumb functions with bit 0."""
        if self.is_arm and symbol.type == "FUNC":
            return symbol.value & ~1
        return symbol.value


_OBJDUMP_FORMAT = re.compile(r"^\S.*:\s+file format (\S+)$")
_OBJDUMP_SECTION = re.compile(
    r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+2\*\*(\d+)\s+(.*)$"
)
_READELF_SECTION = re.compile(
    r"^\s*\[\s*(\d+)\]\s+(\S*)\s+(\S+)\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+[A-Za-z]*\s+\d+\s+\d+\s+\d+$"
)
_READELF_SYMBOL = re.compile(
    r"^\s*\d+:\s+([0-9a-f]+)\s+(0x[0-9a-f]+|\d+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)(?: (.*))?$"
)
_MEMORY_LINE = re.compile(r"^(\S+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)(?:\s+\S.*)?$")


def _parse_objdump_sections(text: str, source: Path) -> tuple[str, list[tuple[str, int, int, int, int, frozenset[str]]]]:
    file_format = ""
    rows = []
    in_table = False
    for line in text.splitlines():
        match = _OBJDUMP_FORMAT.match(line)
        if match:
            file_format = match.group(1)
            continue
        if line.startswith("Idx Name"):
            in_table = True
            continue
        if not in_table or not line.strip():
            continue
        match = _OBJDUMP_SECTION.match(line)
        if match is None:
            raise ValueError(f"{source}: unexpected objdump line {line!r}")
        name, size, vma, lma, align, flags = match.groups()
        words = frozenset(word.strip() for word in flags.split(","))
        rows.append((name, int(size, 16), int(vma, 16), int(lma, 16), 1 << int(align), words))
    if not file_format or not rows:
        raise ValueError(f"{source}: no section table")
    return file_format, rows


def _parse_readelf_sections(text: str, source: Path) -> dict[int, tuple[str, str]]:
    headers = {}
    in_table = False
    for line in text.splitlines():
        if line.strip().startswith("[Nr]"):
            in_table = True
            continue
        if not in_table:
            continue
        if line.startswith("Key to Flags"):
            break
        match = _READELF_SECTION.match(line)
        if match is None:
            raise ValueError(f"{source}: unexpected readelf -S line {line!r}")
        index, name, kind = match.groups()
        headers[int(index)] = (name, kind)
    return headers


def _parse_readelf_symbols(text: str, source: Path) -> list[ElfSymbol]:
    symbols = []
    for line in text.splitlines():
        if not line.strip() or line.startswith("Symbol table") or line.strip().startswith("Num:"):
            continue
        match = _READELF_SYMBOL.match(line)
        if match is None:
            raise ValueError(f"{source}: unexpected readelf -s line {line!r}")
        value, size, kind, bind, _visibility, index, name = match.groups()
        symbols.append(
            ElfSymbol(
                name=name or "",
                value=int(value, 16),
                size=int(size, 0),
                type=kind,
                bind=bind,
                section_index=index,
            )
        )
    return symbols


def read_elf_truth(directory: Path, name: str) -> ElfTruth:
    """The dumps of build *name* in *directory*."""
    objdump_path = directory / f"{name}.sections.txt"
    headers_path = directory / f"{name}.section-headers.txt"
    symbols_path = directory / f"{name}.symbols.txt"
    file_format, rows = _parse_objdump_sections(objdump_path.read_text(encoding="utf-8"), objdump_path)
    headers = _parse_readelf_sections(headers_path.read_text(encoding="utf-8"), headers_path)
    types = {section_name: kind for section_name, kind in headers.values()}
    sections = []
    for section_name, size, vma, lma, alignment, flags in rows:
        if section_name not in types:
            raise ValueError(f"{headers_path}: no section header for {section_name}")
        sections.append(ElfSection(section_name, size, vma, lma, alignment, flags, types[section_name]))
    return ElfTruth(
        file_format=file_format,
        sections=sections,
        section_indexes={index: section_name for index, (section_name, _) in headers.items()},
        symbols=_parse_readelf_symbols(symbols_path.read_text(encoding="utf-8"), symbols_path),
    )


def map_memory_regions(map_text: str) -> list[Region]:
    """The regions of a GNU ld map's memory configuration, ``*default*`` left out.

    The lines are found by their shape (name, origin, length, attributes)
    before the first ``LOAD`` line, so the heading's language does not matter.
    """
    regions = []
    for line in map_text.splitlines():
        if line.startswith("LOAD "):
            break
        match = _MEMORY_LINE.match(line)
        if match and match.group(1) != "*default*":
            regions.append(Region(match.group(1), int(match.group(2), 16), int(match.group(3), 16)))
    return regions


def bytes_per_region(truth: ElfTruth, regions: list[Region]) -> dict[str, int]:
    """Bytes each region holds: the addresses its sections run at (the
    members of an overlay share theirs, so each byte counts once), and the
    load image of a section with contents wherever its LMA lies in another
    region."""
    running: dict[str, list[tuple[int, int]]] = {r.name: [] for r in regions}
    stored = {r.name: 0 for r in regions}
    for section in truth.allocated_sections():
        run = region_holding(regions, section.vma)
        if run is not None:
            running[run].append((section.vma, section.vma + section.size))
        load = region_holding(regions, section.lma)
        if section.has_bits and load is not None and load != run:
            stored[load] += section.size
    used = {}
    for name, spans in running.items():
        total, reached = 0, None
        for start, end in sorted(spans):
            if reached is None or start >= reached:
                total += end - start
            elif end > reached:
                total += end - reached
            reached = end if reached is None else max(reached, end)
        used[name] = total + stored[name]
    return used


def region_holding(regions: list[Region], address: int) -> str | None:
    """The smallest region that holds *address* (scripts may nest regions)."""
    holding = [r for r in regions if r.holds(address)]
    return min(holding, key=lambda r: r.length).name if holding else None
