"""The host's runs: read builds, run the analyses, call the compiled modules.

The compiled modules are imported inside the functions that need them, so
that loading, analysing and comparing builds works without them and their
import error surfaces only where they are needed.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from typing import Any

from .analysis import merge_issues, overflow_issues, padding_waste, region_usage
from .compare import compare_builds, contract_regressions, diff_payload
from .readers.detect import load_build_input
from .readers.linker_script import read_memory_regions
from .records import BuildInput, RegionCategory


def load_input(
    path: str | os.PathLike[str],
    *,
    allow_partial: bool = False,
    region_categories: Mapping[str, RegionCategory] | None = None,
    memory_regions_path: str | os.PathLike[str] | None = None,
) -> BuildInput:
    """Read a build from a JSON model or a GNU ld, armlink, lld or IAR map, told apart by content.

    Raises ModelFormatError (a ValueError) for content that is none of them,
    or malformed, or a map that is cut or damaged (unless *allow_partial*:
    then the build read so far, whose issues say what is missing), and
    OSError for a file that cannot be read.  *region_categories* (region
    name -> category) are the user's word on what a region is; names the
    build has no region of are left to the caller.  *memory_regions_path*
    names a linker script (or Rust ``memory.x``) whose MEMORY command gives
    the regions of an lld map, which prints none; other inputs keep the
    regions they declare.
    """
    regions = None if memory_regions_path is None else read_memory_regions(memory_regions_path)
    return load_build_input(
        path, allow_partial=allow_partial, region_categories=region_categories, memory_regions=regions
    )


def contract_arguments(
    build: BuildInput,
    *,
    sankey: bool = False,
    graph: bool = False,
    regressions: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """The named arguments of build_visualization_contract for *build*.

    The issues passed on are the file's own followed by the overflows the host
    detects.  *regressions* is the baseline comparison; an empty map tells the
    builder that none was made.
    """
    usage = region_usage(build.model)
    return {
        "region_usage": usage,
        "padding_waste": padding_waste(build.model),
        "components": build.components,
        "issues": merge_issues(build.issues, overflow_issues(build.model, usage)),
        "regressions": dict(regressions or {}),
        "features": {"sankey_enabled": sankey, "relationship_graph_enabled": graph},
    }


def build_contract(
    build: BuildInput,
    *,
    sankey: bool = False,
    graph: bool = False,
    regressions: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """The visualization contract of *build* as Python objects."""
    from . import plotspec

    arguments = contract_arguments(build, sankey=sankey, graph=graph, regressions=regressions)
    return plotspec.build_visualization_contract(build.model, **arguments)


def contract_json(
    build: BuildInput,
    *,
    sankey: bool = False,
    graph: bool = False,
    regressions: Mapping[str, Any] | None = None,
    indent: int | None = None,
) -> str:
    """The visualization contract of *build* as JSON text.

    The module's direct JSON path skips building a few hundred thousand
    Python objects for a large map; a module without it gets json.dumps,
    which writes the same text.
    """
    from . import plotspec

    arguments = contract_arguments(build, sankey=sankey, graph=graph, regressions=regressions)
    direct = getattr(plotspec, "build_visualization_contract_json", None)
    if direct is not None:
        data: bytes = direct(build.model, indent=indent, **arguments)
        return data.decode("utf-8", "surrogatepass")
    contract = plotspec.build_visualization_contract(build.model, **arguments)
    if indent is None:
        return json.dumps(contract, ensure_ascii=False)
    return json.dumps(contract, indent=indent)


def compare_files(
    baseline: BuildInput, current: BuildInput, *, baseline_path: str = "", current_path: str = ""
) -> tuple[dict[str, Any], dict[str, Any]]:
    """The diff payload and the contract's regressions map of two loaded builds."""
    comparison = compare_builds(current, baseline, current_path=current_path, baseline_path=baseline_path)
    return diff_payload(comparison), contract_regressions(comparison)


__all__ = ["build_contract", "compare_files", "contract_arguments", "contract_json", "load_input"]
