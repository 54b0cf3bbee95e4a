"""What the map readers agree on, whatever the linker.

The names that linkers share (ld, lld and armlink list archive members as
``lib.a(obj.o)``; ld and lld keep the ``-ffunction-sections`` names and print
debug sections that take no target memory), what a demangled name looks like,
how a region's category is guessed, the one error every reader raises, how a
map's bytes become text, and which region holds an address.
The readers import this module; it imports none of them.
"""

from __future__ import annotations

import re

from ..memory_maps import classify_region
from ..model_io import ModelFormatError
from ..records import MemoryRegion, RegionCategory

#: How much of a file the content check reads.
SNIFF_BYTES = 64 * 1024

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
        # avr-gcc's device description for programming tools, not in the image.
        ".note.gnu.avr.deviceinfo",
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
_SYMBOL_SECTION_PREFIXES = (
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
)
_SYMBOL_SECTION_PREFIX = re.compile(
    "^(?:" + "|".join(re.escape(prefix) for prefix in sorted(_SYMBOL_SECTION_PREFIXES, key=len, reverse=True)) + ")"
)
# GCC's own sections for code and data of one kind, named after no symbol:
# static constructors (".text.startup"), cold code (".text.unlikely"), and
# relocated data without -fdata-sections (".data.rel.ro.local").  Their
# static contents have no symbol line, and the last word is no name.
_KIND_SECTIONS = frozenset(prefix[:-1] for prefix in _SYMBOL_SECTION_PREFIXES)
_IDENTIFIER = re.compile(r"^[A-Za-z_$][\w$.]*$")
# Merged strings and constants (".rodata.str1.1", ".rodata.cst8") carry no name.
_MERGED_SUFFIX = re.compile(r"(?:^|\.)(?:str\d+\.\d+|cst\d+)$")


class MapFormatError(ModelFormatError):
    """A file that cannot be read as a map of the format it claims; the message names file and line."""

    def __init__(self, source: str, problem: str, *, line: int | None = None) -> None:
        super().__init__(source, problem, line=line)

    def _compose(self) -> str:
        if self.line is None:
            return f"{self.source}: {self.problem}"
        return f"{self.source}: line {self.line}: {self.problem}"


def decode_map_bytes(data: bytes) -> str:
    """The text of a map file's bytes (a UTF-8 byte order mark dropped)."""
    # Windows PowerShell 5 writes what "ld -M > fw.map" prints as UTF-16
    # with a byte order mark.  A file cut inside a character keeps the rest.
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return data.decode("utf-16", errors="replace")
    # Maps are ASCII apart from paths; a Windows build may write those in a
    # legacy code page, and Latin-1 keeps such bytes instead of failing.
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def region_category(name: str, attributes: str, origin: int | None = None) -> RegionCategory:
    """Flash, RAM or other, from a region's name, ld attributes and origin
    (``memory_maps.classify_region`` says how it was decided)."""
    return classify_region(name, attributes, origin)[0]


def symbol_name_from_section(input_section: str) -> str | None:
    """The symbol that ``-ffunction-sections``/``-fdata-sections`` named *input_section* after.

    ``.text.main`` -> ``main``; ``.bss.count.1511`` -> ``count.1511``;
    ``.rodata.str1.1`` (merged strings) and names without such a prefix -> None.
    """
    match = _SYMBOL_SECTION_PREFIX.match(input_section)
    if match is None or input_section in _KIND_SECTIONS:
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
    path is returned as the object with no archive.  The member is the text
    inside the parenthesis that the last one closes, so that parentheses in
    either name stay where they belong (``lib/my lib (v2).a(ring (v2).o)``).
    """
    if file_text.endswith(")"):
        open_at = _matching_open(file_text)
        if open_at <= 0:
            open_at = file_text.rfind("(")  # unbalanced: the innermost guess
        if open_at > 0:
            return file_text[open_at + 1:-1] or None, file_text[:open_at]
    return (file_text or None), None


def _matching_open(text: str) -> int:
    """Index of the "(" that the final ")" of *text* closes, or -1."""
    depth = 0
    for index in range(len(text) - 1, -1, -1):
        char = text[index]
        if char == ")":
            depth += 1
        elif char == "(":
            depth -= 1
            if depth == 0:
                return index
    return -1


def is_non_allocated(name: str) -> bool:
    """Whether an output section of this name takes no target memory (debug
    information, notes, attributes, ``/DISCARD/``, thread-local bss)."""
    return name.startswith(_NON_ALLOCATED_PREFIXES) or name in _NON_ALLOCATED_NAMES


def looks_demangled(name: str) -> bool:
    """Whether a symbol name is already demangled C++ (a signature, a scope)."""
    return "(" in name or "::" in name or " " in name


def region_for(regions: list[MemoryRegion], address: int, size: int) -> str | None:
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


def regions_of_spans(regions: list[MemoryRegion], spans: list[tuple[int, int]]) -> list[str | None]:
    """The region of each (address, size) span, as ``region_for`` gives it,
    and the region that an overflow pushed it out of.

    A linker told to write its outputs despite an overflow (GNU ld's
    ``--noinhibit-exec``) goes on placing a full region's sections, and the
    load images stored in it, past the region's end, where no region holds
    them, or in the region that follows.  Such a span is the full region's:
    it starts where a span of that region that reaches past the region's end
    stops, or after a gap that its own alignment explains (smaller than the
    lowest set bit of its address, and than the region), with no region
    starting in between; or, in the region that follows, where a span of the
    full region that runs into it stops.  Counted there, the region's
    overflow is the one the linker printed.
    """
    names = [region_for(regions, address, size) for address, size in spans]
    if not regions:
        return names
    by_name = {region.name: region for region in regions}
    reach: tuple[int, str] | None = None  # the furthest end so far, and its span's region
    for index in sorted(range(len(spans)), key=lambda i: (spans[i][0], i)):
        address, size = spans[index]
        if reach is not None and reach[1] != names[index]:
            end, name = reach
            region = by_name[name]
            gap = address - end
            follows = end <= address and gap < (address & -address) and gap <= max(int(region.size or 0), 0)
            if names[index] is None:
                # A span ending at the region's last byte leaves it full.
                if follows and region.end_address < end and not any(
                    end <= other.start_address <= address for other in regions
                ):
                    names[index] = name
            elif follows and region.end_address + 1 < end:
                # The full region's span ran on into the region after it
                # (FLASH_APP after FLASH_BOOT): what follows it is still
                # the full region's, not the next one's.
                names[index] = name
        placed = names[index]
        if placed is not None and (reach is None or address + size > reach[0]):
            reach = (address + size, placed)
    return names


__all__ = [
    "MapFormatError",
    "SNIFF_BYTES",
    "decode_map_bytes",
    "is_non_allocated",
    "looks_demangled",
    "region_for",
    "regions_of_spans",
    "region_category",
    "split_archive_member",
    "symbol_name_from_section",
]
