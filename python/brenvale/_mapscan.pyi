"""Type stubs of the compiled module brenvale._mapscan: the memory map part of GNU ld maps, and the host's loops over a build's symbols."""

from collections.abc import Callable, Iterable
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

def component_tallies(
    symbols: Iterable[Any],
    record_type: type[Any],
    label_archives: Callable[[set[Any]], dict[Any, Any]],
    counts: dict[Any, tuple[bool, bool]],
    directory_group: Callable[[Any], Any],
    /,
) -> dict[Any, list[Any]]: ...
def symbol_sizes(symbols: Iterable[Any], record_type: type[Any], /) -> dict[tuple[Any, Any], Any]: ...
