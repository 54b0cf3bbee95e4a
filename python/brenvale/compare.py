"""Comparing a current build with a baseline build.

Three products, all plain data:

* ``DiffEntry`` records, one per region, section, symbol and component that
  exists in either build (``diff_entries``), which the diff report ranks;
* the diff payload (``diff_payload``), the map the diff report renders;
* the ``regressions`` map (``contract_regressions``) that the contract builder
  turns into the contract's "diff" view.

Sizes are compared in bytes: a region by the bytes its sections occupy, a
section by its size, a symbol by its size, a component by its flash plus RAM
total.  A delta is current minus baseline, so growth is positive.

Regions are matched by exact name.  A region that only one build declares (an
SDK update that adds Zephyr's ``IDT_LIST``, say) is compared as added or
removed, with its sections and symbols, and the comparison names it
(``Comparison.added_regions``, ``removed_regions``).
"""

from __future__ import annotations

import datetime
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

from . import _mapscan
from .analysis import region_capacity, region_usage, running_bytes, sections_by_region
from .records import (
    BuildInput,
    ComponentGroup,
    DiffEntry,
    NormalizedBuildModel,
    RegionCategory,
    RegionUsageResult,
    SymbolEntry,
)

#: Format version of the build models this package reads and compares.
MODEL_SCHEMA_VERSION: Final = "brenvale-model-1"

#: The diff report reads a region's "current" and "baseline" as utilisation
#: fractions only while both are at most this; larger values are read as bytes.
REPORT_RATIO_CEILING: Final = 1.5

#: Ranked entries kept in the payload; the report shows at most ten.
TOP_ENTRIES: Final = 10

#: Threshold of the payload's "added_large_symbols" list.
LARGE_SYMBOL_BYTES: Final = 1024

ADDED: Final = "added"
REMOVED: Final = "removed"
CHANGED: Final = "changed"
UNCHANGED: Final = "unchanged"


@dataclass(frozen=True, slots=True)
class BuildDescription:
    """What the report's comparison card shows about one build."""

    path: str
    target_name: str
    analysis_timestamp: str
    tool_version: str
    total_flash: int
    total_ram: int
    source_format: str = MODEL_SCHEMA_VERSION

    def as_map(self) -> dict[str, Any]:
        return {
            "path": self.path,
            "target_name": self.target_name,
            "analysis_timestamp": self.analysis_timestamp,
            "tool_version": self.tool_version,
            "total_flash": self.total_flash,
            "total_ram": self.total_ram,
        }


@dataclass(frozen=True, slots=True)
class Comparison:
    """Everything compared between two builds, computed once."""

    current: BuildDescription
    baseline: BuildDescription
    entries: list[DiffEntry]
    baseline_sizes: dict[tuple[str, str], int]
    # region name -> (current used bytes, baseline used bytes, current ratio, baseline ratio, size)
    regions: dict[str, tuple[int, int, float, float, int]]
    # regions declared by the current build only / by the baseline only, by name
    added_regions: list[str]
    removed_regions: list[str]

    @property
    def flash_delta_bytes(self) -> int:
        return self.current.total_flash - self.baseline.total_flash

    @property
    def ram_delta_bytes(self) -> int:
        return self.current.total_ram - self.baseline.total_ram

    def of_kind(self, kind: str) -> list[DiffEntry]:
        return [entry for entry in self.entries if entry.kind == kind]

    def baseline_size(self, entry: DiffEntry) -> int:
        return self.baseline_sizes.get((entry.kind, entry.name), 0)


# ---------------------------------------------------------------------------
# Build totals and descriptions


def flash_and_ram_totals(model: NormalizedBuildModel) -> tuple[int, int]:
    """Bytes a build needs in flash and in RAM.

    A section counts towards RAM when it executes in a RAM region and towards
    flash when it executes or loads from a flash region, so initialised data
    counts in flash and in RAM (its image is stored in flash and copied to RAM
    at start-up), as the toolchain's own size reports count it.  A section
    stored in one flash region and run from another (code that runs through a
    cache window onto the same flash, as on the ESP32) counts in flash once,
    although each of the two regions shows it.  The members of an overlay count
    once where they run, as the region figures count them, and each with its
    own load image.  Sections in regions of category "other" or in no region
    count in neither.
    """
    categories = {region.name: region.category for region in model.memory_regions}
    flash = ram = 0
    for name, running in sections_by_region(model).items():
        if categories[name] is RegionCategory.RAM:
            ram += running_bytes(running)
        elif categories[name] is RegionCategory.FLASH:
            flash += running_bytes(running)
    # Load images in flash of sections that run elsewhere.
    for section in model.sections:
        run = categories.get(section.execution_region or "")
        if run is not RegionCategory.FLASH and categories.get(section.load_region or "") is RegionCategory.FLASH:
            flash += max(section.size, 0)
    return flash, ram


def _target_from_path(path: str) -> str:
    # Split on both separators: a map written on Windows may be named here.
    name = path.replace("\\", "/").rsplit("/", 1)[-1]
    for suffix in (".model.json", ".json", ".map"):
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return name or "unknown"


def _timestamp_of(path: str) -> str:
    try:
        seconds = os.stat(path).st_mtime
    except OSError:
        return ""
    moment = datetime.datetime.fromtimestamp(seconds, tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def describe_build(build: BuildInput, path: str = "") -> BuildDescription:
    """The description of *build* read from *path*.

    The model file's "metadata" may name "target_name", "analysis_timestamp"
    and "tool_version"; without them the target is the file name without its
    extension, the timestamp the file's modification time (UTC) and the tool
    this package.
    """
    from . import __version__

    metadata = build.metadata
    flash, ram = flash_and_ram_totals(build.model)

    def text(key: str, fallback: str) -> str:
        value = metadata.get(key)
        return value if isinstance(value, str) and value else fallback

    return BuildDescription(
        path=path,
        target_name=text("target_name", _target_from_path(path) if path else "unknown"),
        analysis_timestamp=text("analysis_timestamp", _timestamp_of(path) if path else ""),
        tool_version=text("tool_version", f"brenvale {__version__}"),
        total_flash=flash,
        total_ram=ram,
        source_format=getattr(build, "source_format", MODEL_SCHEMA_VERSION),
    )


# ---------------------------------------------------------------------------
# Entities and entries


def region_changes(current: NormalizedBuildModel, baseline: NormalizedBuildModel) -> tuple[list[str], list[str]]:
    """(regions only the current build declares, regions only the baseline declares), each sorted."""
    now = {region.name for region in current.memory_regions}
    before = {region.name for region in baseline.memory_regions}
    return sorted(now - before), sorted(before - now)


def _symbol_sizes(symbols: Iterable[SymbolEntry]) -> dict[tuple[str, str], int]:
    # A static function of one name may exist in several objects; the owner
    # keeps them apart so that a move between objects shows as remove + add.
    # The key is (name, first true of object file, archive, source file and
    # compilation unit, else ""), the value the sum of max(size, 0); the loop
    # runs once per symbol of two builds, so it is compiled.
    return _mapscan.symbol_sizes(symbols, SymbolEntry)


def _symbol_labels(*key_sets: Iterable[tuple[str, str]]) -> dict[tuple[str, str], str]:
    owners: dict[str, set[str]] = {}
    for keys in key_sets:
        for name, owner in keys:
            owners.setdefault(name, set()).add(owner)
    labels = {}
    for name, owner_set in owners.items():
        for owner in owner_set:
            # The plain name where it is unambiguous keeps the report readable.
            labels[(name, owner)] = name if len(owner_set) == 1 else f"{name} ({owner or 'no object'})"
    return labels


def _section_sizes(model: NormalizedBuildModel) -> dict[str, int]:
    sizes: dict[str, int] = {}
    for section in model.sections:
        sizes[section.name] = sizes.get(section.name, 0) + max(section.size, 0)
    return sizes


def _component_sizes(components: Sequence[ComponentGroup]) -> dict[str, int]:
    sizes: dict[str, int] = {}
    for component in components:
        sizes[component.name] = sizes.get(component.name, 0) + component.total_flash + component.total_ram
    return sizes


def delta_percent(delta: int, baseline: int) -> float | None:
    """Change relative to the baseline in percent (2 decimals); None without a baseline size."""
    if baseline <= 0:
        return None
    return round(delta * 100.0 / baseline, 2)


def _entries(
    kind: str, current: Mapping[str, int], baseline: Mapping[str, int]
) -> list[tuple[DiffEntry, int]]:
    out = []
    for name in list(current) + [name for name in baseline if name not in current]:
        now = current.get(name)
        before = baseline.get(name)
        if before is None:
            status = ADDED
        elif now is None:
            status = REMOVED
        else:
            status = CHANGED if now != before else UNCHANGED
        now_size = now or 0
        before_size = before or 0
        delta = now_size - before_size
        entry = DiffEntry(
            kind=kind,
            name=name,
            delta=delta,
            delta_pct=delta_percent(delta, before_size),
            status=status,
            current=now_size,
        )
        out.append((entry, before_size))
    return out


def _region_figures(
    current: NormalizedBuildModel, baseline: NormalizedBuildModel
) -> dict[str, tuple[int, int, float, float, int]]:
    now_usage = region_usage(current)
    before_usage = region_usage(baseline)
    sizes = {region.name: region_capacity(region) for region in baseline.memory_regions}
    sizes.update((region.name, region_capacity(region)) for region in current.memory_regions)
    absent = RegionUsageResult(used_bytes=0, free_bytes=0, overflow_bytes=0, utilization_ratio=0.0)
    regions = {}
    for name in sorted(sizes):
        now = now_usage.get(name, absent)
        before = before_usage.get(name, absent)
        regions[name] = (now.used_bytes, before.used_bytes, now.utilization_ratio, before.utilization_ratio, sizes[name])
    return regions


def compare_builds(
    current: BuildInput,
    baseline: BuildInput,
    *,
    current_path: str = "",
    baseline_path: str = "",
) -> Comparison:
    """Compare two builds; regions declared by one build only are added or removed."""
    added_regions, removed_regions = region_changes(current.model, baseline.model)
    regions = _region_figures(current.model, baseline.model)
    now_regions = {region.name for region in current.model.memory_regions}
    before_regions = {region.name for region in baseline.model.memory_regions}

    now_symbols = _symbol_sizes(current.model.symbols)
    before_symbols = _symbol_sizes(baseline.model.symbols)
    labels = _symbol_labels(now_symbols, before_symbols)

    pairs: list[tuple[DiffEntry, int]] = []
    pairs += _entries(
        "region",
        {name: figures[0] for name, figures in regions.items() if name in now_regions},
        {name: figures[1] for name, figures in regions.items() if name in before_regions},
    )
    pairs += _entries("section", _section_sizes(current.model), _section_sizes(baseline.model))
    pairs += _entries(
        "symbol",
        {labels[key]: size for key, size in now_symbols.items()},
        {labels[key]: size for key, size in before_symbols.items()},
    )
    pairs += _entries("component", _component_sizes(current.components), _component_sizes(baseline.components))

    return Comparison(
        current=describe_build(current, current_path),
        baseline=describe_build(baseline, baseline_path),
        entries=[entry for entry, _ in pairs],
        baseline_sizes={(entry.kind, entry.name): before for entry, before in pairs},
        regions=regions,
        added_regions=added_regions,
        removed_regions=removed_regions,
    )


def diff_entries(current: BuildInput, baseline: BuildInput) -> list[DiffEntry]:
    """One DiffEntry per region, section, symbol and component of either build."""
    return compare_builds(current, baseline).entries


# ---------------------------------------------------------------------------
# Diff payload and contract regressions


def _row(comparison: Comparison, entry: DiffEntry) -> dict[str, Any]:
    return {
        "kind": entry.kind,
        "name": entry.name,
        "status": entry.status,
        "delta": entry.delta,
        "delta_pct": entry.delta_pct,
        "current": entry.current,
        "baseline": comparison.baseline_size(entry),
    }


def _largest_change_first(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return sorted(rows, key=lambda row: (-abs(row["delta"]), row["name"]))


def _report_ratio(ratio: float) -> float:
    return min(ratio, REPORT_RATIO_CEILING)


def diff_payload(comparison: Comparison) -> dict[str, Any]:
    """The diff payload that brenvale.diffreport renders.

    "regions" holds one row per region with its utilisation now and in the
    baseline ("current", "baseline", "delta" as fractions, capped at 1.5
    because the report reads larger values as bytes) and the exact bytes
    beside them.  "sections" and "components" list every entity of either
    build, "symbols" only those that changed (a firmware image has thousands
    that did not); all three largest change first.
    """
    from . import diffreport

    regions = []
    status = {name: ADDED for name in comparison.added_regions}
    status.update((name, REMOVED) for name in comparison.removed_regions)
    for name, (now_used, before_used, now_ratio, before_ratio, size) in comparison.regions.items():
        current_ratio = _report_ratio(now_ratio)
        baseline_ratio = _report_ratio(before_ratio)
        regions.append(
            {
                "kind": "region",
                # The report's region strip shows only the name: it says there
                # that a region exists in one build only.
                "name": f"{name} ({status[name]})" if name in status else name,
                "region": name,
                "status": status.get(name, CHANGED if now_used != before_used else UNCHANGED),
                "delta": current_ratio - baseline_ratio,
                "current": current_ratio,
                "baseline": baseline_ratio,
                "size_bytes": size,
                "current_used_bytes": now_used,
                "baseline_used_bytes": before_used,
                "delta_bytes": now_used - before_used,
            }
        )
    symbols = [
        _row(comparison, entry) for entry in comparison.of_kind("symbol") if entry.status != UNCHANGED
    ]
    entries = comparison.entries
    return {
        "status": "ok",
        "current_schema_version": comparison.current.source_format,
        "baseline_schema_version": comparison.baseline.source_format,
        "flash_delta_bytes": comparison.flash_delta_bytes,
        "ram_delta_bytes": comparison.ram_delta_bytes,
        "top_regressions": diffreport.rank_top_regressions(entries, limit=TOP_ENTRIES),
        "top_reductions": diffreport.rank_top_reductions(entries, limit=TOP_ENTRIES),
        "added_large_symbols": diffreport.added_large_symbols(entries, min_size_bytes=LARGE_SYMBOL_BYTES),
        "regions": regions,
        "sections": _largest_change_first([_row(comparison, e) for e in comparison.of_kind("section")]),
        "symbols": _largest_change_first(symbols),
        "components": _largest_change_first([_row(comparison, e) for e in comparison.of_kind("component")]),
        "current_build": comparison.current.as_map(),
        "baseline_build": comparison.baseline.as_map(),
    }


def contract_regressions(comparison: Comparison) -> dict[str, Any]:
    """The ``regressions`` argument of build_visualization_contract.

    Ratios are the exact utilisation fractions (an overflowing region shows
    above 1.0); sections removed since the baseline keep their negative delta
    although no range of the current build carries it.
    """
    return {
        "status": "ok",
        "flash_delta_bytes": comparison.flash_delta_bytes,
        "ram_delta_bytes": comparison.ram_delta_bytes,
        "regions": {
            name: {"current": now_ratio, "baseline": before_ratio, "delta": now_ratio - before_ratio}
            for name, (_, _, now_ratio, before_ratio, _) in comparison.regions.items()
        },
        "sections": {entry.name: {"delta_bytes": entry.delta} for entry in comparison.of_kind("section")},
    }


__all__ = [
    "ADDED",
    "CHANGED",
    "LARGE_SYMBOL_BYTES",
    "MODEL_SCHEMA_VERSION",
    "REMOVED",
    "REPORT_RATIO_CEILING",
    "TOP_ENTRIES",
    "UNCHANGED",
    "BuildDescription",
    "Comparison",
    "compare_builds",
    "contract_regressions",
    "delta_percent",
    "describe_build",
    "diff_entries",
    "diff_payload",
    "flash_and_ram_totals",
    "region_changes",
]
