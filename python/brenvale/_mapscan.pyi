"""Type stubs of the compiled module brenvale._mapscan: the memory map part of GNU ld maps."""

from collections.abc import Callable
from typing import Any

def scan(
    text: str,
    offset: int,
    line_no: int,
    record_type: type[Any],
    descriptors: tuple[Any, ...],
    is_non_allocated: Callable[[str], object],
    symbol_name_from_section: Callable[[str], str | None],
    split_archive_member: Callable[[str], tuple[str | None, str | None]],
    holds_no_bytes: Callable[[str], object],
    /,
) -> tuple[
    list[tuple[str, int, int, int, int, int, bool, bool, int]], list[Any], int, bool, bool, int
]: ...
