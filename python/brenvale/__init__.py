"""Brenvale presentation back end: the host layer around the compiled modules.

The compiled modules are submodules, imported on first use so that the pure
Python parts work without them::

    from brenvale import plotspec      # build_visualization_contract
    from brenvale import diffreport    # ranking and diff report rendering

The host layer: ``records`` (the record types), ``model_io`` and ``readers``
(reading builds), ``analysis`` (region usage, padding waste, overflow issues),
``compare`` (comparing two builds), ``pipeline`` (the runs that call the
modules), ``cli`` (the ``brenvale`` command), ``schema`` (the contract's JSON
Schema) and ``samples`` (the bundled builds).
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
