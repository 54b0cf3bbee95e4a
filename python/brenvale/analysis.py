"""The host's own analyses over a build model.

The contract builder takes their results as arguments instead of computing
them, so that a host with better front ends can supply its own figures; these
are the plain versions the command line uses.

A section belongs to a region when its ``execution_region`` equals the region's
name exactly (no stripping, case-sensitive).  A section that runs in one region
and is stored in another also occupies the second with its load image (its
``load_region``, at its ``lma``), as ``ld --print-memory-usage`` counts it.  The
contract's region layouts place sections and load images by the same rules, so
usage figures and layouts always agree.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Any

from . import _mapscan
from .records import (
    ComponentGroup,
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    PaddingWasteResult,
    RegionCategory,
    RegionUsageResult,
    SectionPlacement,
    SymbolEntry,
)


def region_capacity(region: MemoryRegion) -> int:
    """Size of *region* in bytes; an unknown (null) size counts as 0, as in the layouts."""
    return max(int(region.size or 0), 0)


def sections_by_region(model: NormalizedBuildModel) -> dict[str, list[SectionPlacement]]:
    """Region name -> its sections in model order, for every memory region of the model."""
    grouped: dict[str, list[SectionPlacement]] = {r.name: [] for r in model.memory_regions}
    for section in model.sections:
        bucket = grouped.get(section.execution_region or "")
        if bucket is not None:
            bucket.append(section)
    return grouped


def load_images_by_region(model: NormalizedBuildModel) -> dict[str, list[SectionPlacement]]:
    """Region name -> the sections stored in it but running elsewhere, in model order.

    A section without contents names its execution region as its load region
    (the readers see to that), so it never has a load image.
    """
    grouped: dict[str, list[SectionPlacement]] = {r.name: [] for r in model.memory_regions}
    for section in model.sections:
        load = section.load_region or ""
        if load == (section.execution_region or "") or section.lma is None or not section.size > 0:
            continue
        bucket = grouped.get(load)
        if bucket is not None:
            bucket.append(section)
    return grouped


def running_bytes(sections: list[SectionPlacement]) -> int:
    """Bytes the sections take where they run.

    The members of an overlay run at one address, each loaded from its own
    (``OVERLAY : { .ov1 {...} .ov2 {...} } > RAM AT> FLASH``): the bytes they
    share count once, as the layouts draw them.  Sections that run where they
    are stored count whole, whatever their addresses.
    """
    total = 0
    moved: list[tuple[int, int]] = []
    for s in sections:
        size = max(s.size, 0)
        if size and s.lma != s.vma:
            moved.append((s.vma, s.vma + size))
        else:
            total += size
    reached: int | None = None
    for start, end in sorted(moved):
        if reached is None or start >= reached:
            total += end - start
            reached = end
        elif end > reached:
            total += end - reached
            reached = end
    return total


def region_used_bytes(model: NormalizedBuildModel) -> dict[str, int]:
    """Bytes each region holds: its sections plus the load images stored in it."""
    running = sections_by_region(model)
    stored = load_images_by_region(model)
    return {
        region.name: running_bytes(running[region.name]) + sum(s.size for s in stored[region.name])
        for region in model.memory_regions
    }


def region_usage(model: NormalizedBuildModel) -> dict[str, RegionUsageResult]:
    """Used, free and overflowing bytes of every memory region."""
    used_bytes = region_used_bytes(model)
    usage = {}
    for region in model.memory_regions:
        capacity = region_capacity(region)
        used = used_bytes[region.name]
        usage[region.name] = RegionUsageResult(
            used_bytes=used,
            free_bytes=max(capacity - used, 0),
            overflow_bytes=max(used - capacity, 0),
            utilization_ratio=used / capacity if capacity else 0.0,
        )
    return usage


def padding_waste(model: NormalizedBuildModel) -> PaddingWasteResult:
    """Alignment padding and fill summed per memory region.

    A section's padding before and after it and the fill inside it count in
    the region it runs in; the fill inside a load image is stored too, so it
    counts in the load region as well.
    """
    by_region = {
        name: sum(max(s.padding_before, 0) + max(s.padding_after, 0) + max(s.fill_bytes, 0) for s in sections)
        for name, sections in sections_by_region(model).items()
    }
    for name, images in load_images_by_region(model).items():
        by_region[name] += sum(max(s.fill_bytes, 0) for s in images)
    return PaddingWasteResult(by_region=by_region)


def overflow_issues(
    model: NormalizedBuildModel, usage: Mapping[str, RegionUsageResult]
) -> list[Issue]:
    """One error-level issue per region whose sections do not fit in it."""
    issues = []
    for region in model.memory_regions:
        result = usage.get(region.name)
        if result is None or result.overflow_bytes <= 0:
            continue
        issues.append(
            Issue(
                id=f"overflow:{region.name}",
                title=f"{region.name} overflows by {result.overflow_bytes} bytes",
                description=(
                    f"The sections placed in {region.name} take {result.used_bytes} bytes, "
                    f"but the region holds {region_capacity(region)} bytes."
                ),
                severity=IssueSeverity.ERROR,
                category=IssueCategory.OVERFLOW,
                affected_entities=[region.name],
            )
        )
    return issues


def merge_issues(given: Iterable[Issue], derived: Iterable[Issue]) -> list[Issue]:
    """The given issues, then each derived issue whose id is not taken yet.

    A model file may already state an overflow that the host would also
    detect; keeping the file's wording avoids reporting it twice.
    """
    merged = list(given)
    seen = {issue.id for issue in merged}
    for issue in derived:
        if issue.id not in seen:
            seen.add(issue.id)
            merged.append(issue)
    return merged


def _archive_label(archive: str) -> str:
    base = os.path.basename(archive)
    return base[:-2] if base.endswith(".a") else base


def _archive_labels(archives: set[str]) -> dict[str, str]:
    labels = {archive: _archive_label(archive) for archive in archives}
    # Two archives with one file name in different directories keep their paths.
    label_count: dict[str, int] = {}
    for label in labels.values():
        label_count[label] = label_count.get(label, 0) + 1
    for archive, label in labels.items():
        if label_count[label] > 1:
            labels[archive] = archive
    return labels


def _directory_group(object_file: str) -> str:
    return os.path.dirname(object_file) or "(objects outside archives)"


def components_by_archive(model: NormalizedBuildModel) -> list[ComponentGroup]:
    """Group the model's object files into components, one per archive.

    Objects linked outside any archive are grouped by the directory of the
    object file.  A symbol counts towards RAM when its section executes in a
    RAM region and towards flash when its section executes or loads from a
    flash region, so initialised data counts in both.  Components are sorted
    by name.
    """
    categories = {region.name: region.category for region in model.memory_regions}
    # Section name -> (counts towards RAM, counts towards flash); the first
    # section of a name decides, as a look-up by name would find it.
    counts: dict[str, tuple[bool, bool]] = {}
    for section in model.sections:
        if section.name not in counts:
            run = categories.get(section.execution_region or "")
            load = categories.get(section.load_region or "")
            counts[section.name] = (run is RegionCategory.RAM, run is RegionCategory.FLASH or load is RegionCategory.FLASH)

    # One compiled pass over a few hundred thousand symbols; it keeps the
    # semantics of a plain loop: {name: [objects, flash, RAM, symbol names]}.
    groups = _mapscan.component_tallies(model.symbols, SymbolEntry, _archive_labels, counts, _directory_group)
    return [
        ComponentGroup(name=name, objects=sorted(objects), total_flash=flash, total_ram=ram, symbols=names)
        for name, (objects, flash, ram, names) in sorted(groups.items())
    ]


__all__ = [
    "components_by_archive",
    "load_images_by_region",
    "merge_issues",
    "overflow_issues",
    "padding_waste",
    "region_capacity",
    "region_usage",
    "region_used_bytes",
    "sections_by_region",
]
