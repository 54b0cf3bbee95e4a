"""Which reader a file needs, told from its first bytes, and the one entry point that reads it.

Every format is known by content, not by file name: a JSON build model starts
with ``{``; each map format has its own marks (see each reader's
``looks_like_...``).  The GNU ld test comes first, since its maps are the most
common and its marks (translated headings aside) are the most certain.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping
from typing import Any

from ..analysis import components_by_archive
from ..memory_maps import apply_category_overrides
from ..model_io import load_build
from ..records import BuildInput, MemoryRegion, RegionCategory
from .armlink import load_armlink_build, looks_like_armlink_map
from .gnu_ld import load_map_build, looks_like_gnu_ld_map
from .iar import load_iar_build, looks_like_iar_map, looks_like_xlink_map
from .lld import load_lld_build, looks_like_lld_map
from .rules import SNIFF_BYTES, MapFormatError, decode_map_bytes


def load_build_input(
    path: str | os.PathLike[str],
    *,
    progress: Any = None,
    allow_partial: bool = False,
    region_categories: Mapping[str, RegionCategory] | None = None,
    memory_regions: list[MemoryRegion] | None = None,
) -> BuildInput:
    """A build from a model file or a GNU ld, armlink, lld or IAR ILINK map, decided by content.

    GNU ld maps go through ``gnu_ld.load_map_build``, armlink maps through
    ``armlink.load_armlink_build``, lld maps through
    ``lld.load_lld_build`` (with *memory_regions*, the regions of its
    linker script, when given: lld prints none), ILINK maps through
    ``iar.load_iar_build`` and JSON through ``model_io.load_build``;
    other text raises ``MapFormatError`` saying what the file seems to be.
    Every error is a ``ModelFormatError``; OSError passes through.
    """
    source = os.fspath(path)
    with open(path, "rb") as stream:
        head = decode_map_bytes(stream.read(SNIFF_BYTES))
    if looks_like_gnu_ld_map(head):
        return load_map_build(
            path, progress=progress, allow_partial=allow_partial, region_categories=region_categories
        )
    if head.lstrip()[:1] in ("{", ""):
        return _with_categories(load_build(path), region_categories, regroup=False)
    if looks_like_armlink_map(head):
        return load_armlink_build(path, allow_partial=allow_partial, region_categories=region_categories)
    if looks_like_lld_map(head):
        build = load_lld_build(path, memory_regions=memory_regions)
        return _with_categories(build, region_categories, regroup=True)
    if looks_like_iar_map(head) or looks_like_xlink_map(head):
        return _with_categories(load_iar_build(path), region_categories, regroup=True)
    raise MapFormatError(source, "neither a JSON build model nor a GNU ld, armlink, lld or IAR map file", line=1)


def _with_categories(
    build: BuildInput, categories: Mapping[str, RegionCategory] | None, *, regroup: bool
) -> BuildInput:
    """*build* with the user's region categories; *regroup*: its components
    were grouped from the model, so they are grouped again."""
    if not categories:
        return build
    model = dataclasses.replace(
        build.model, memory_regions=apply_category_overrides(build.model.memory_regions, categories)
    )
    issues = [
        issue for issue in build.issues
        if not (issue.id.startswith("region-category-guessed:") and issue.id.split(":", 1)[1] in categories)
    ]
    components = build.components
    if regroup:
        components = components_by_archive(model)
    return dataclasses.replace(build, model=model, components=components, issues=issues)


__all__ = ["load_build_input"]
