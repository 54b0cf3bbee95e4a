"""Whether a memory region is flash, RAM or something else.

The category decides the flash and RAM deltas, the report card's totals and
the budgets, so it is taken, in this order, from

1. the user's word (``--region-category NAME=flash``), which always wins;
2. the known memory maps of common chip families, recognised by the
   region's name and address, each with its source below;
3. a guess from the region's name (``FLASH``, ``DTCM``, ``eeprom``) and then
   from its linker attributes (writable: RAM; readable or executable only:
   flash).  A guess can be plainly wrong, so the readers report it as an
   issue (``region_category_issue``).

A name that says outright what the memory is (``FLASH``, ``RAM``, ``SRAM``,
``ROM``) is not counted as a guess.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace
from typing import Final

from .records import Issue, IssueCategory, IssueSeverity, MemoryRegion, RegionCategory

FLASH: Final = RegionCategory.FLASH
RAM: Final = RegionCategory.RAM
OTHER: Final = RegionCategory.OTHER

#: How a category was decided.
USER: Final = "user"
KNOWN: Final = "known"
NAME: Final = "name"
ATTRIBUTES: Final = "attributes"


@dataclass(frozen=True, slots=True)
class _Window:
    family: str
    start: int
    end: int  # exclusive
    category: RegionCategory


# Segment names of the ESP-IDF and Zephyr linker scripts for the ESP32 family
# (memory.ld.in of ESP-IDF components/esp_system/ld/<chip>, and Zephyr's
# soc/espressif linker scripts).  The irom/drom segments, and iram0_2_seg in
# ESP-IDF, are windows of the instruction and data caches onto the external
# flash: code and constants there live in flash although the names say "ram".
_ESP_SEGMENTS: Final[dict[str, RegionCategory]] = {
    "iram0_2_seg": FLASH,
    "irom0_0_seg": FLASH,
    "irom_seg": FLASH,
    "drom0_0_seg": FLASH,
    "drom0_1_seg": FLASH,
    "drom_seg": FLASH,
    "iram0_0_seg": RAM,
    "iram0_1_seg": RAM,
    "dram0_0_seg": RAM,
    "dram0_1_seg": RAM,
    "dram0_2_seg": RAM,
    "rtc_iram_seg": RAM,
    "rtc_data_seg": RAM,
    "rtc_slow_seg": RAM,
    "rtc_fast_seg": RAM,
    "lp_ram_seg": RAM,
    "extern_ram_seg": RAM,
    "ext_ram_seg": RAM,
}

# avr-gcc's default scripts (binutils ld/scripttempl/avr.sc): program flash
# "text" from 0, SRAM "data" and the other memories at fixed offsets the
# toolchain adds to tell the address spaces apart.
_AVR_REGIONS: Final[dict[str, tuple[int, int, RegionCategory]]] = {
    "text": (0, 0x80_0000, FLASH),
    "data": (0x80_0000, 0x81_0000, RAM),
    "eeprom": (0x81_0000, 0x82_0000, OTHER),
    "fuse": (0x82_0000, 0x83_0000, OTHER),
    "lock": (0x83_0000, 0x84_0000, OTHER),
    "signature": (0x84_0000, 0x85_0000, OTHER),
    "user_signatures": (0x85_0000, 0x86_0000, OTHER),
}

# nRF data sheets, "Memory": the factory and user information registers.
# Zephyr's linker scripts (include/zephyr/arch/*/): IDT_LIST, where the first
# link pass puts its interrupt tables; nothing of it reaches the device.
# Keil uVision's generated scatter files: ER_IROM1 and on in on-chip flash,
# RW_IRAM1 and on in on-chip RAM.
_VENDOR_NAMES: Final = (
    (re.compile(r"^(?:UICR|FICR|IDT_LIST)$", re.IGNORECASE), OTHER),
    (re.compile(r"^(?:ER|LR)_IROM\d+$"), FLASH),
    (re.compile(r"^RW_IRAM\d+$"), RAM),
)

# Address windows that hold flash whatever a region there is called.
_WINDOWS: Final = (
    # STM32 reference manuals, "Memory map": main flash from 0x0800_0000 (also
    # the GD32 and AT32 parts that copy it).
    _Window("STM32", 0x0800_0000, 0x1000_0000, FLASH),
    # ESP32 Technical Reference Manual, "System and Memory": external flash
    # through the caches, instruction bus 0x400C_2000-0x40BF_FFFF, data bus
    # 0x3F40_0000-0x3F7F_FFFF.
    _Window("ESP32", 0x400C_2000, 0x40C0_0000, FLASH),
    _Window("ESP32", 0x3F40_0000, 0x3F80_0000, FLASH),
    # ESP32-S3 and ESP32-C3/C6 Technical Reference Manuals: cached flash at
    # 0x4200_0000 (instructions) and 0x3C00_0000 (data).
    _Window("ESP32-S3/C3", 0x4200_0000, 0x4400_0000, FLASH),
    _Window("ESP32-S3/C3", 0x3C00_0000, 0x3E00_0000, FLASH),
)

# MSP430 linker scripts of TI and of msp430-elf-gcc name their regions after
# the memory: FRAM (non-volatile, holds code; MSP430FRxx data sheets), the
# information memory INFOA..D / INFOMEM, the BSL and JTAG signatures and the
# interrupt vectors INT00..INT63 / RESETVEC all lie in flash or FRAM; the
# peripheral windows hold no program bytes.
_MSP430_NAMES: Final = (
    (re.compile(r"^(?:HI|LO)?FRAM\d?$|^INFO(?:MEM|[A-D])$|^BSL\d?$|^(?:BSL|JTAG|IP)SIGNATURE$|^INT\d\d$|^RESETVEC$|"
                r"^BOOTCODE$|^ROMLIB$", re.IGNORECASE), FLASH),
    (re.compile(r"^(?:PERIPHERAL_(?:8|16)BIT|SFR|TINYRAM|LEARAM|LEASTACK|BSL_?RAM)$", re.IGNORECASE), OTHER),
)

# RP2040 and RP2350 (their data sheets, "Address map"): XIP flash at
# 0x1000_0000 named FLASH or XIP in the SDK's memmap_*.ld, SCRATCH_X/Y RAM.
_PICO_NAMES: Final = ((re.compile(r"^XIP", re.IGNORECASE), FLASH), (re.compile(r"^SCRATCH_[XY]$", re.IGNORECASE), RAM))

# Names that say outright what the memory is: not a guess.
_PLAIN_NAMES: Final = re.compile(r"^(?:flash\d*|rom\d*|ram\d*|sram\d*|ccmram|itcm(?:ram)?|dtcm(?:ram)?)$", re.IGNORECASE)

# Matched against each run of letters in a region name ("IDT_LIST" -> IDT, LIST).
_OTHER_NAME = re.compile(r"^(?:eeprom|fuses?|lock(?:bits)?|signatures?|idt|otp)$", re.IGNORECASE)
_RAM_NAME = re.compile(r"(?<!prog)ram|tcm|ccm|^data$|^bss$|^heap$|^stack$", re.IGNORECASE)
_FLASH_NAME = re.compile(r"flash|rom|^text$|^code$|^prog", re.IGNORECASE)
_NAME_WORDS = re.compile(r"[A-Za-z]+")


def _known(name: str, origin: int | None) -> RegionCategory | None:
    if name in _ESP_SEGMENTS:
        return _ESP_SEGMENTS[name]
    avr = _AVR_REGIONS.get(name)
    if avr is not None and origin is not None and avr[0] <= origin < avr[1]:
        return avr[2]
    for pattern, category in _MSP430_NAMES + _PICO_NAMES + _VENDOR_NAMES:
        if pattern.match(name):
            return category
    if _PLAIN_NAMES.match(name):
        lowered = name.lower()
        return RAM if "ram" in lowered or "tcm" in lowered else FLASH
    if origin is not None:
        for window in _WINDOWS:
            if window.start <= origin < window.end:
                return window.category
    return None


def _from_attributes(attributes: str) -> RegionCategory:
    # Letters, each negated by a preceding "!"; "rw !x" is writable.
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
        return RAM
    if "r" in granted or "x" in granted:
        return FLASH
    return OTHER


def classify_region(name: str, attributes: str = "", origin: int | None = None) -> tuple[RegionCategory, str]:
    """(category, how it was decided: KNOWN, NAME or ATTRIBUTES) of a region."""
    known = _known(name, origin)
    if known is not None:
        return known, KNOWN
    words = _NAME_WORDS.findall(name)
    if any(_OTHER_NAME.search(word) for word in words):
        return OTHER, NAME
    if any(_RAM_NAME.search(word) for word in words):
        return RAM, NAME
    if any(_FLASH_NAME.search(word) for word in words):
        return FLASH, NAME
    return _from_attributes(attributes), ATTRIBUTES


def region_category_issue(region: MemoryRegion, how: str) -> Issue:
    """The issue that says *region*'s category was only guessed."""
    basis = "its name" if how == NAME else "its linker attributes"
    return Issue(
        id=f"region-category-guessed:{region.name}",
        title=f"{region.name} is taken for {region.category.value} from {basis}",
        description=(
            f"No known memory map names region {region.name}, so its category ({region.category.value}) was "
            f"guessed from {basis}. If it is wrong, the flash and RAM figures are too: give the right one "
            f"with --region-category {region.name}=flash|ram|other."
        ),
        severity=IssueSeverity.INFO,
        category=IssueCategory.OTHER,
        affected_entities=[region.name],
    )


def parse_category_overrides(texts: Iterable[str]) -> dict[str, RegionCategory]:
    """NAME=flash|ram|other texts as a map; ValueError names the bad one."""
    overrides: dict[str, RegionCategory] = {}
    for text in texts:
        name, sep, value = text.rpartition("=")
        if not sep or not name:
            raise ValueError(f"--region-category {text!r}: expected NAME=flash, NAME=ram or NAME=other")
        try:
            overrides[name] = RegionCategory(value.strip().lower())
        except ValueError:
            raise ValueError(
                f"--region-category {text!r}: unknown category {value!r} (expected flash, ram or other)"
            ) from None
    return overrides


def apply_category_overrides(regions: list[MemoryRegion], overrides: Mapping[str, RegionCategory]) -> list[MemoryRegion]:
    """*regions* with the user's categories (names no region has are left to the caller)."""
    return [replace(r, category=overrides[r.name]) if r.name in overrides else r for r in regions]


def unknown_override_names(overrides: Mapping[str, RegionCategory], *region_lists: Iterable[MemoryRegion]) -> str | None:
    """The message for override names that no region of the builds has, or None."""
    names = {region.name for regions in region_lists for region in regions}
    unknown = sorted(set(overrides) - names)
    if not unknown:
        return None
    return (
        f"--region-category names no region of the build: {', '.join(unknown)} "
        f"(regions: {', '.join(sorted(names)) or 'none'})"
    )


__all__ = [
    "ATTRIBUTES",
    "KNOWN",
    "NAME",
    "USER",
    "apply_category_overrides",
    "classify_region",
    "parse_category_overrides",
    "region_category_issue",
    "unknown_override_names",
]
