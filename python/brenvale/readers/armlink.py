"""Reading Arm Compiler (armlink) map files as build models.

armlink maps have no MEMORY regions and no output sections in the GNU sense;
they are read as follows:

* Each "Execution Region" is a ``MemoryRegion`` from its exec base, with its
  "Max" as length; its category comes from the name (``ER_IROM1`` is flash,
  ``RW_IRAM1`` RAM) and otherwise from its content (read-only: flash).
* The input sections of an execution region are grouped into output sections
  by kind, in address order: ``<region>$$RO`` (code and constants),
  ``<region>$$RW`` (initialised data, loaded from the "Load Addr" column),
  ``<region>$$ZI`` (zeroed data).  The ``STACK`` and ``HEAP`` input sections
  of the startup file each become a section of their own, named as in the map,
  so that they can be hinted as stack and heap.  ``PAD`` lines are fill
  inside the section they fall in (``fill_bytes``, part of its size).
  Zeroed data has no load address ("-"), so nothing of it is loaded.
* A map that ends before the end of its memory map, or whose execution
  region holds more than the region's own "Size" says, raises
  ``MapFormatError``: read as it stands it would show a smaller build.
* Each input section gives symbols as in GNU ld maps: the code and data
  symbols of the "Image Symbol Table" that lie inside it (Thumb addresses
  without their low bit), or else its name (``i.main`` -> ``main``).
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import dataclasses
from collections.abc import Mapping

from ..analysis import components_by_archive
from ..memory_maps import KNOWN, apply_category_overrides, classify_region, region_category_issue
from ..records import (
    BuildInput,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)
from .findings import damaged_map
from .rules import MapFormatError, decode_map_bytes, split_archive_member

_MEMORY_MAP_HEADING = "Memory Map of the image"
_EXECUTION_REGION = re.compile(
    r"^\s+Execution Region (\S+) \(Exec base: 0x([0-9A-Fa-f]+), Load base: (?:0x([0-9A-Fa-f]+)|[^,]*),"
    r" Size: 0x([0-9A-Fa-f]+), Max: 0x([0-9A-Fa-f]+)"
)
_SYMBOL = re.compile(
    r"^\s{4}(\S+)\s+0x([0-9A-Fa-f]+)\s+(?:\S+\s+)?(Thumb Code|ARM Code|Data)\s+\d+\s+(\S+)\((.*)\)\s*$"
)
_TOOL = "Tool: armlink"


def looks_like_armlink_map(text: str) -> bool:
    """True for an armlink map: its tool line and its memory map heading."""
    return _TOOL in text[:4096] or f"\n{_MEMORY_MAP_HEADING}\n" in text and "Execution Region " in text


def _symbol_name_from_section(name: str) -> str | None:
    # armlink names the section of each function "i.<name>" (--split_sections).
    if name.startswith("i.") and len(name) > 2:
        return name[2:]
    return None


class _Group:
    __slots__ = ("name", "vma", "lma", "end", "load_end", "padding", "inputs")

    def __init__(self, name: str, vma: int, lma: int) -> None:
        self.name = name
        self.vma = vma
        self.lma = lma
        self.end = vma
        self.load_end = lma
        self.padding = 0
        self.inputs: list[tuple[int, int, str, str]] = []


def parse_armlink_map(
    text: str,
    source: str = "<map>",
    *,
    problems: list[str] | None = None,
    guessed: list[tuple[str, str]] | None = None,
) -> NormalizedBuildModel:
    """The build model of an armlink map's text; *source* names it in errors.

    A damaged map raises MapFormatError, unless *problems* is a list: then
    what is there is read and each problem is appended to it.  The regions
    whose category was only guessed are appended to *guessed*, (name, how).
    """
    lines = text.replace("\r\n", "\n").split("\n")
    try:
        start = next(i for i, line in enumerate(lines) if line.strip() == _MEMORY_MAP_HEADING)
    except StopIteration:
        raise MapFormatError(source, f"no '{_MEMORY_MAP_HEADING}' part: not an armlink map", line=1) from None

    # Symbols by their input section (object member, section name), from the
    # image symbol table before the memory map: another object's symbol may
    # share an address with an empty input section.
    named: dict[tuple[str, str], dict[int, str]] = {}
    for line in lines[:start]:
        match = _SYMBOL.match(line)
        if match:
            name, value, kind, object_member, section_name = match.groups()
            address = int(value, 16)
            if kind == "Thumb Code":
                address &= ~1
            # Globals come after locals; the global name of an address wins.
            named.setdefault((object_member, section_name), {})[address] = name

    regions: list[MemoryRegion] = []
    groups: list[_Group] = []
    region_name = None
    region_kinds: set[str] = set()
    region_bounds: tuple[int, int] | None = None
    group: _Group | None = None
    region_line = 0
    region_content = 0  # bytes the region's lines hold
    region_declared = 0  # the region's "Size"
    found: list[tuple[int, str]] = []

    def close_region() -> None:
        if region_name is not None:
            if region_content > region_declared:
                found.append(
                    (
                        region_line,
                        f"execution region {region_name} holds 0x{region_content:x} bytes, more than its "
                        f"size 0x{region_declared:x}; is the map damaged?",
                    )
                )
            base, length = region_bounds
            attributes = "rw" if region_kinds - {"RO"} else "rx"
            category, how = classify_region(region_name, attributes, base)
            if how != KNOWN and guessed is not None:
                guessed.append((region_name, how))
            regions.append(MemoryRegion(region_name, base, base + max(length, 1) - 1, length, category))

    ended = False
    last_line = len(lines) - (1 if lines and lines[-1] == "" else 0)
    for line_no in range(start + 1, len(lines)):
        line = lines[line_no]
        if line.startswith("====="):
            ended = True
            break
        match = _EXECUTION_REGION.match(line)
        if match:
            close_region()
            region_name = match.group(1)
            region_bounds = (int(match.group(2), 16), int(match.group(5), 16))
            region_declared = int(match.group(4), 16)
            region_content = 0
            region_line = line_no + 1
            region_kinds = set()
            group = None
            continue
        parts = line.split()
        if len(parts) < 4 or not parts[0].startswith("0x") or region_name is None:
            continue
        try:
            address = int(parts[0], 16)
            load = None if parts[1] == "-" else int(parts[1], 16)
            size = int(parts[2], 16)
        except ValueError:
            raise MapFormatError(source, f"unreadable memory map line {line.strip()!r}", line=line_no + 1) from None
        region_content += size
        if parts[3] == "PAD":
            if group is not None:
                group.padding += size
                group.end = address + size
            continue
        if len(parts) < 8:
            raise MapFormatError(source, f"unreadable memory map line {line.strip()!r}", line=line_no + 1)
        kind_word, attribute = parts[3], parts[4]
        rest = parts[6:]
        if rest[0] == "*":  # the entry point's section
            rest = rest[1:]
        section_name, object_text = rest[0], " ".join(rest[1:])
        kind = "ZI" if kind_word == "Zero" else attribute
        region_kinds.add(kind)
        if section_name in ("STACK", "HEAP"):
            group_name = section_name
        else:
            group_name = f"{region_name}$${kind}"
        if group is None or group.name != group_name:
            group = _Group(group_name, address, address if load is None else load)
            groups.append(group)
        group.inputs.append((address, size, section_name, object_text))
        group.end = address + size
    close_region()
    if not ended:
        where = f"inside execution region {region_name}" if region_name is not None else "inside its memory map"
        found.append((max(last_line, 1), f"the map ends {where}; is it truncated?"))
    if found:
        if problems is None:
            at_line, problem = found[0]
            raise MapFormatError(source, problem, line=at_line)
        problems.extend(f"line {at_line}: {problem}" for at_line, problem in found)

    sections = []
    symbols = []
    for group in groups:
        size = group.end - group.vma
        if size <= 0:
            continue
        execution = _region_of(regions, group.vma)
        loaded_from = _region_of(regions, group.lma)
        sections.append(
            SectionPlacement(group.name, execution, loaded_from, group.vma, group.lma, size, 0, 0, group.padding)
        )
        for address, length, section_name, object_text in group.inputs:
            if length <= 0:
                continue
            object_file, archive = split_archive_member(object_text)
            end = address + length
            own = named.get((object_file or "", section_name), {})
            points = sorted(a for a in own if address <= a < end)
            if not points or points[0] != address:
                points.insert(0, address)
            for index, point in enumerate(points):
                following = points[index + 1] if index + 1 < len(points) else end
                name = own.get(point) or _symbol_name_from_section(section_name) or section_name
                symbols.append(
                    SymbolEntry(name, None, point, following - point, group.name, object_file, archive, None, None)
                )

    names = [s.name for s in sections]
    hints = {
        "stack_sections": [n for n in names if "stack" in n.lower()],
        "heap_sections": [n for n in names if "heap" in n.lower()],
    }
    return NormalizedBuildModel(sections=sections, symbols=symbols, memory_regions=regions, stack_heap_hints=hints)


def _region_of(regions: list[MemoryRegion], address: int) -> str | None:
    for region in regions:
        if region.start_address <= address <= region.end_address:
            return region.name
    return None


def load_armlink_build(
    path: str | os.PathLike[str],
    *,
    allow_partial: bool = False,
    region_categories: Mapping[str, RegionCategory] | None = None,
) -> BuildInput:
    """An armlink map file as the host's ``BuildInput`` (components by archive).

    With *allow_partial* a damaged map is read as far as it goes, with a
    warning issue per problem, instead of raising MapFormatError.
    """
    source = os.fspath(path)
    text = decode_map_bytes(Path(path).read_bytes())
    if not looks_like_armlink_map(text):
        raise MapFormatError(source, "not an armlink map file", line=1)
    problems: list[str] | None = [] if allow_partial else None
    guessed: list[tuple[str, str]] = []
    model = parse_armlink_map(text, source, problems=problems, guessed=guessed)
    if region_categories:
        model = dataclasses.replace(
            model, memory_regions=apply_category_overrides(model.memory_regions, region_categories)
        )
    regions = {region.name: region for region in model.memory_regions}
    issues = [damaged_map(source, index, problem) for index, problem in enumerate(problems or [])]
    issues += [
        region_category_issue(regions[name], how) for name, how in guessed if name not in (region_categories or {})
    ]
    return BuildInput(
        model=model, components=components_by_archive(model), issues=issues, source_format="armlink-map"
    )


__all__ = ["load_armlink_build", "looks_like_armlink_map", "parse_armlink_map"]
