"""Brenvale presentation back end: the host layer around the compiled modules.

The compiled modules are submodules, imported on first use so that the pure
Python parts (records, loaders, analyses) work without them::

    from brenvale import plotspec      # build_visualization_contract
    from brenvale import diffreport    # ranking and diff report rendering
"""

from .records import (
    BuildInput,
    ComponentGroup,
    DiffEntry,
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

__version__ = "0.1.0"

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
