"""The comparison as CSV: one row per compared region, section, symbol and component.

Unlike the diff payload, which keeps only the symbols that changed, every
entity of either build gets a row, so a spreadsheet or a script sees the whole
comparison.  Sizes are bytes; delta_pct is empty where the baseline has no
size to relate the change to.  Rows follow the comparison's order: regions,
sections, symbols, components.
"""

from __future__ import annotations

import csv
import io
import re
from typing import Final

from .compare import Comparison

COLUMNS: Final = ("kind", "name", "baseline", "current", "delta", "delta_pct", "status")

_SURROGATE = re.compile("[\ud800-\udfff]")


def _encodable(text: str) -> str:
    # A model may name a symbol with a lone surrogate, which UTF-8 cannot
    # hold; the file shows its escape instead of failing to be written.
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


def render_csv(comparison: Comparison) -> str:
    """The CSV text (header row first, line feeds between rows)."""
    stream = io.StringIO()
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(COLUMNS)
    for entry in comparison.entries:
        writer.writerow(
            (
                entry.kind,
                _encodable(str(entry.name)),
                comparison.baseline_size(entry),
                entry.current,
                entry.delta,
                "" if entry.delta_pct is None else entry.delta_pct,
                entry.status,
            )
        )
    return stream.getvalue()


__all__ = ["COLUMNS", "render_csv"]
