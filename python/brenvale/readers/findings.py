"""What every map reader reports about a map besides its model, as issues.

One wording for every format, so a host (and a budget check) sees the same
issue ids whichever linker wrote the map.
"""

from __future__ import annotations

from ..records import Issue, IssueCategory, IssueSeverity


def damaged_map(source: str, index: int, problem: str) -> Issue:
    """A problem that a partial read passed over (``--allow-partial``)."""
    return Issue(
        id=f"map:damaged:{index}",
        title="Linker map is damaged",
        description=f"{source}: {problem}; the sizes read may be wrong.",
        severity=IssueSeverity.WARNING,
        category=IssueCategory.OTHER,
        affected_entities=[],
    )


def unplaced_section(name: str, description: str) -> Issue:
    """A section whose address lies in no memory region; *description* says which regions."""
    return Issue(
        id=f"map:unplaced:{name}",
        title=f"Section {name} lies outside every memory region",
        description=description,
        severity=IssueSeverity.WARNING,
        category=IssueCategory.OTHER,
        affected_entities=[name],
    )


def unplaced_load_image(source: str, name: str, load_address: int, size: int) -> Issue:
    """A section stored at a load address that lies in no memory region.

    Its bytes count in no region, so a region's figures would silently be
    short by them (``.data : AT (0x08090000)`` past the end of flash).
    """
    return Issue(
        id=f"map:unplaced-load:{name}",
        title=f"Load image of section {name} lies outside every memory region",
        description=(
            f"{source}: section {name} is stored at load address 0x{load_address:08x}, which lies in "
            f"no memory region; its {size} bytes are counted in no region."
        ),
        severity=IssueSeverity.WARNING,
        category=IssueCategory.OTHER,
        affected_entities=[name],
    )


__all__ = ["damaged_map", "unplaced_load_image", "unplaced_section"]
