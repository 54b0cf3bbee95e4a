"""The host's run: analyses over a loaded build, then the compiled contract builder."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .analysis import merge_issues, overflow_issues, padding_waste, region_usage
from .records import BuildInput


def build_contract(
    build: BuildInput,
    *,
    sankey: bool = False,
    graph: bool = False,
    regressions: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """The visualization contract of *build*.

    The issues passed on are the file's own followed by the overflows the host
    detects.  *regressions* is the baseline comparison; an empty map tells the
    builder that none was made.
    """
    # Imported here so that loading and analysing models works without the
    # compiled module (and its import error surfaces only where it is needed).
    from . import plotspec

    usage = region_usage(build.model)
    return plotspec.build_visualization_contract(
        build.model,
        region_usage=usage,
        padding_waste=padding_waste(build.model),
        components=build.components,
        issues=merge_issues(build.issues, overflow_issues(build.model, usage)),
        regressions=dict(regressions or {}),
        features={"sankey_enabled": sankey, "relationship_graph_enabled": graph},
    )


__all__ = ["build_contract"]
