"""Record types the host hands to the compiled modules.

The extension modules read these records by attribute and never construct,
copy or modify them, so any object with the same attributes would serve; these
classes exist so that the host, its loaders and its tests agree on one shape.

Collections are plain lists and maps (not tuples or frozen mappings) because the
modules' converters take their fast paths on exact lists and dicts.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any, Self


class _ValueEnum(str, enum.Enum):
    # Mixing in str keeps a member equal to its value and makes json.dumps
    # write the value, so a host that builds records from plain text and one
    # that uses the members see the same results.
    def __str__(self) -> str:
        return str(self.value)

    @classmethod
    def parse(cls, text: str) -> Self:
        """Return the member whose value is *text*; ValueError lists the choices."""
        try:
            return cls(text)
        except ValueError:
            choices = ", ".join(repr(m.value) for m in cls)
            raise ValueError(f"unknown {cls.__name__} {text!r} (expected one of {choices})") from None


class RegionCategory(_ValueEnum):
    FLASH = "flash"
    RAM = "ram"
    OTHER = "other"


class IssueSeverity(_ValueEnum):
    INFO = "info"
    WARNING = "warning"
    ERROR = "error"


class IssueCategory(_ValueEnum):
    OVERFLOW = "overflow"
    POLICY = "policy"
    RESERVED = "reserved"
    ALIGNMENT = "alignment"
    PADDING = "padding"
    OTHER = "other"


@dataclass(frozen=True, slots=True)
class MemoryRegion:
    name: str
    start_address: int
    end_address: int  # inclusive
    size: int | None
    category: RegionCategory


@dataclass(frozen=True, slots=True)
class SectionPlacement:
    name: str
    execution_region: str | None
    load_region: str | None
    vma: int
    lma: int
    size: int
    # Alignment bytes in the gap before and after the section, never inside it.
    padding_before: int
    padding_after: int
    # Fill inside the section (GNU ld's "*fill*", armlink's PAD): already part
    # of `size`, so it is drawn as the section and only counted as waste.
    fill_bytes: int = 0


@dataclass(frozen=True, slots=True)
class SymbolEntry:
    name: str
    demangled_name: str | None
    address: int
    size: int
    section_name: str
    object_file: str | None
    archive: str | None
    source_file: str | None
    compilation_unit: str | None


@dataclass(frozen=True, slots=True)
class NormalizedBuildModel:
    sections: list[SectionPlacement]
    symbols: list[SymbolEntry]
    memory_regions: list[MemoryRegion]
    # "stack_sections" / "heap_sections" -> lists of section names
    stack_heap_hints: dict[str, list[str]] = field(
        default_factory=lambda: {"stack_sections": [], "heap_sections": []}
    )


@dataclass(frozen=True, slots=True)
class ComponentGroup:
    name: str
    objects: list[str]
    total_flash: int
    total_ram: int
    symbols: list[str]


@dataclass(frozen=True, slots=True)
class Issue:
    id: str
    title: str
    description: str
    severity: IssueSeverity
    category: IssueCategory
    affected_entities: list[str]


@dataclass(frozen=True, slots=True)
class RegionUsageResult:
    used_bytes: int
    free_bytes: int
    overflow_bytes: int
    utilization_ratio: float


@dataclass(frozen=True, slots=True)
class PaddingWasteResult:
    by_region: dict[str, int]

    @property
    def total_bytes(self) -> int:
        return sum(self.by_region.values())


@dataclass(frozen=True, slots=True)
class DiffEntry:
    kind: str
    name: str
    delta: int | float
    delta_pct: float | None
    status: str
    current: int | float


@dataclass(frozen=True, slots=True)
class BuildInput:
    """One build as read from a model file: the model plus what the file adds.

    *metadata* is the file's free-form "metadata" object; the comparison reads
    "target_name", "analysis_timestamp" and "tool_version" from it.
    *source_format* names the kind of file the build was read from (the model
    schema, "gnu-ld-map", "armlink-map"); reports show it as the build's schema.
    """

    model: NormalizedBuildModel
    components: list[ComponentGroup] = field(default_factory=list)
    issues: list[Issue] = field(default_factory=list)
    metadata: dict[str, Any] = field(default_factory=dict)
    source_format: str = "brenvale-model-1"


__all__ = [
    "BuildInput",
    "ComponentGroup",
    "DiffEntry",
    "Issue",
    "IssueCategory",
    "IssueSeverity",
    "MemoryRegion",
    "NormalizedBuildModel",
    "PaddingWasteResult",
    "RegionCategory",
    "RegionUsageResult",
    "SectionPlacement",
    "SymbolEntry",
]
