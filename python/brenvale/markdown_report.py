"""The diff payload as GitHub-flavoured Markdown, for a pull-request comment or a step summary.

Every name that comes from a build (regions, sections, symbols, components,
targets, paths) is written as a code span, so that no name can turn into a
mention, a link, an emoji, markup or HTML: a code span shows its text
literally.  The text is bounded: a comment holds at most 65,536 characters,
so rows are added only while the report stays under REPORT_LIMIT characters,
and a closing note says how many were left out.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Final

from .budget import FAIL, PASS, SKIP, WARN, Overflow, Verdict, describe_counts, format_bytes, verdict_counts
from .compare import delta_percent

#: Largest report in characters; GitHub refuses comments over 65,536.
REPORT_LIMIT: Final = 65_000

#: Longest name shown; longer ones are cut in the middle of nothing important.
NAME_LIMIT: Final = 160

#: Rows shown before a list is folded into <details>.
VISIBLE_ROWS: Final = 10

# Room kept for the notes and closing tags written after a list is cut.
_RESERVE: Final = 600

# Control characters, lone surrogates (not encodable as UTF-8) and the
# bidirectional controls that can make a name read as something else.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff\u200e\u200f\u202a-\u202e\u2066-\u2069]")

_MARKS: Final = {FAIL: "❌ fail", WARN: "⚠️ warn", PASS: "✅ pass", SKIP: "➖ skip"}


def _escape_unsafe(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def code(value: Any, *, in_table: bool = True) -> str:
    """*value*'s text as a code span that renders exactly that text.

    The fence is one backtick longer than the longest run inside; a space
    pads the text where CommonMark would otherwise strip one or merge a
    backtick into the fence.  In a table cell a pipe is written "\\|", which
    the table parser turns back into "|" before the span is read; a
    backslash right before a pipe would make that ambiguous between
    parsers, so a space is put between them.
    """
    text = _UNSAFE.sub(_escape_unsafe, str(value))
    if len(text) > NAME_LIMIT:
        text = text[: NAME_LIMIT - 1] + "…"
    if not text:
        return "*(empty)*"
    if in_table:
        text = text.replace("\\|", "\\ |").replace("|", "\\|")
    longest = max((len(run) for run in re.findall("`+", text)), default=0)
    fence = "`" * (longest + 1)
    spaces_only = text.strip(" ") == ""
    if text[0] == "`" or text[-1] == "`" or (text[0] == " " and text[-1] == " " and not spaces_only):
        text = f" {text} "
    return f"{fence}{text}{fence}"


def _number(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return 0
    return int(value)


def _signed_delta(delta: int, baseline: int | None) -> str:
    """The delta with a mark and its sign, and the change in percent of *baseline*."""
    if delta > 0:
        mark = "🔺"
    elif delta < 0:
        mark = "🔻"
    else:
        return "0 B"
    text = f"{mark} {format_bytes(delta, signed=True)}"
    percent = delta_percent(delta, baseline) if baseline is not None else None
    return text + (f" ({percent:+.2f}%)" if percent is not None else "")


def _percent_text(value: Any) -> str:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return ""
    return f"{value:+.2f}%"


def _row(cells: Sequence[str]) -> str:
    return "| " + " | ".join(cells) + " |\n"


def _header(titles: Sequence[str], aligns: str) -> str:
    marks = {"l": ":--", "r": "--:"}
    return _row(titles) + "|" + "|".join(marks[a] for a in aligns) + "|\n"


class _Writer:
    """Collects the report, adding whole rows only while they fit under the limit."""

    def __init__(self, limit: int) -> None:
        self.parts: list[str] = []
        self.size = 0
        self.limit = limit
        self.cut_rows = 0

    def room(self) -> int:
        return self.limit - _RESERVE - self.size

    def add(self, text: str) -> bool:
        """Append *text* when it fits; report whether it did."""
        if len(text) > self.room():
            return False
        self.parts.append(text)
        self.size += len(text)
        return True

    def force(self, text: str) -> None:
        # Closing tags and notes: the reserve is kept for them.
        self.parts.append(text)
        self.size += len(text)

    def table(self, titles: Sequence[str], aligns: str, rows: Iterable[Sequence[str]], count: int) -> int:
        """Write a table of as many of the *count* rows as fit; the number written.

        *rows* may be lazy: rows past the first that does not fit are never formatted.
        """
        if count <= 0:
            return 0
        header = _header(titles, aligns)
        written = 0
        for cells in rows:
            row = _row(cells)
            if written == 0:
                if len(header) + len(row) > self.room():
                    break
                self.force(header)
            if not self.add(row):
                break
            written += 1
        self.cut_rows += count - written
        if written:
            self.force("\n")
        return written

    def text(self) -> str:
        return "".join(self.parts)


def _region_rows(payload: Mapping[str, Any]) -> list[list[str]]:
    rows = []
    for region in _list(payload.get("regions")):
        if not isinstance(region, Mapping):
            continue
        size = _number(region.get("size_bytes"))
        now = _number(region.get("current_used_bytes"))
        before = _number(region.get("baseline_used_bytes"))
        if size > 0:
            use = f"{before * 100 / size:.2f}% → {now * 100 / size:.2f}% of {format_bytes(size)}"
            if now > size:
                use = "⛔ " + use
        else:
            use = "size unknown"
        rows.append([code(region.get("name")), format_bytes(before), format_bytes(now),
                     _signed_delta(now - before, before), use])
    return rows


def _total_rows(payload: Mapping[str, Any]) -> list[list[str]]:
    current = payload.get("current_build")
    baseline = payload.get("baseline_build")
    rows = []
    for label, key in (("**Flash total**", "total_flash"), ("**RAM total**", "total_ram")):
        if not isinstance(current, Mapping) or not isinstance(baseline, Mapping):
            break
        now, before = _number(current.get(key)), _number(baseline.get(key))
        rows.append([label, format_bytes(before), format_bytes(now), _signed_delta(now - before, before), ""])
    return rows


def _list(value: Any) -> list[Any]:
    return value if isinstance(value, list) else []


def _entry_rows(entries: Iterable[Any], *, with_baseline: bool) -> Iterator[list[str]]:
    for entry in entries:
        if not isinstance(entry, Mapping):
            continue
        delta = _number(entry.get("delta"))
        cells = [str(entry.get("kind") or ""), code(entry.get("name"))]
        if with_baseline:
            cells += [format_bytes(_number(entry.get("baseline"))), format_bytes(_number(entry.get("current")))]
        cells += [format_bytes(delta, signed=True), _percent_text(entry.get("delta_pct")), str(entry.get("status") or "")]
        yield [_plain(cell) if i in (0, len(cells) - 1) else cell for i, cell in enumerate(cells)]


def _plain(text: str) -> str:
    # Kinds and statuses come from the payload too; keep them inert.
    return code(text) if text and not re.fullmatch(r"[a-z_]+", text) else text


def _verdict_rows(verdicts: Sequence[Verdict]) -> list[list[str]]:
    rows = []
    for verdict in verdicts:
        subject = f"{verdict.kind} {code(verdict.name)}" + (f" ({verdict.via})" if verdict.via else "")
        rows.append([_MARKS.get(verdict.status, verdict.status), subject, verdict.measure,
                     verdict.measured, verdict.limit])
    return rows


def _folded(
    writer: _Writer, summary: str, titles: Sequence[str], aligns: str, rows: Iterable[Sequence[str]], count: int
) -> None:
    if count <= 0:
        return
    if writer.room() < 200:
        writer.cut_rows += count
        return
    writer.force(f"<details><summary>{summary}</summary>\n\n")
    writer.table(titles, aligns, rows, count)
    writer.force("</details>\n\n")


def render_markdown(
    payload: Mapping[str, Any],
    *,
    overflows: Sequence[Overflow] = (),
    verdicts: Sequence[Verdict] | None = None,
    limit: int = REPORT_LIMIT,
) -> str:
    """The Markdown report of one comparison: *payload* from compare.diff_payload.

    *overflows* are the current build's overflowing regions; *verdicts* the
    budget check, when one was made.  The result is at most *limit*
    characters long.
    """
    writer = _Writer(limit)
    writer.force("## Brenvale size report\n\n")
    current, baseline = payload.get("current_build"), payload.get("baseline_build")
    if isinstance(current, Mapping) and isinstance(baseline, Mapping):
        writer.add(
            f"Target {code(current.get('target_name'), in_table=False)}: "
            f"{code(baseline.get('path'), in_table=False)} → {code(current.get('path'), in_table=False)}\n\n"
        )

    for overflow in overflows:
        writer.add(
            f"> ⛔ **Overflow:** region {code(overflow.region, in_table=False)} needs "
            f"{format_bytes(overflow.used_bytes)} of {format_bytes(overflow.size_bytes)}: "
            f"**{format_bytes(overflow.excess_bytes)} too many**.\n>\n"
        )
    if overflows:
        writer.force("\n")

    if verdicts is not None:
        counts = verdict_counts(verdicts)
        if counts[FAIL]:
            outcome = "❌ **Budget failed**"
        elif counts[WARN]:
            outcome = "⚠️ **Budget passed with warnings**"
        else:
            outcome = "✅ **Budget passed**"
        writer.add(f"{outcome}: {describe_counts(verdicts)}.\n\n")

    flash, ram = _number(payload.get("flash_delta_bytes")), _number(payload.get("ram_delta_bytes"))
    writer.add(f"**Flash** {format_bytes(flash, signed=True)} · **RAM** {format_bytes(ram, signed=True)}\n\n")
    regions = _region_rows(payload) + _total_rows(payload)
    writer.table(["Region", "Base", "PR", "Delta", "Utilisation"], "lrrrr", regions, len(regions))

    if verdicts:
        rows = _verdict_rows(verdicts)
        titles, aligns = ["Verdict", "Budget", "Measure", "Measured", "Limit"], "lllrl"
        failing = [row for row, verdict in zip(rows, verdicts) if verdict.status in (FAIL, WARN)]
        writer.add("### Budget\n\n")
        writer.table(titles, aligns, failing, len(failing))
        _folded(writer, f"Every budget verdict ({len(rows)})", titles, aligns, rows, len(rows))

    for title, key in (("Top regressions", "top_regressions"), ("Top reductions", "top_reductions")):
        ranked = [entry for entry in _list(payload.get(key)) if isinstance(entry, Mapping)]
        if ranked and writer.add(f"### {title}\n\n"):
            writer.table(["Kind", "Name", "Delta", "Change", "Status"], "llrrl",
                         _entry_rows(ranked, with_baseline=False), len(ranked))

    large = [[code(symbol.get("name")), format_bytes(_number(symbol.get("size")))]
             for symbol in _list(payload.get("added_large_symbols")) if isinstance(symbol, Mapping)]
    if large and writer.add(f"### Added large symbols ({len(large)})\n\n"):
        titles = ["Symbol", "Size"]
        shown = large[:VISIBLE_ROWS]
        writer.table(titles, "lr", shown, len(shown))
        rest = large[VISIBLE_ROWS:]
        _folded(writer, f"{len(rest)} more", titles, "lr", rest, len(rest))

    changed = []
    for key in ("sections", "components", "symbols"):
        entries = [e for e in _list(payload.get(key)) if isinstance(e, Mapping) and e.get("status") != "unchanged"]
        if entries:
            changed.append((key, entries))
    if changed and writer.add("### Every change\n\n"):
        for label, entries in changed:
            _folded(writer, f"Changed {label} ({len(entries):,})",
                    ["Kind", "Name", "Base", "PR", "Delta", "Change", "Status"], "llrrrrl",
                    _entry_rows(entries, with_baseline=True), len(entries))

    if writer.cut_rows:
        writer.force(
            f"_{writer.cut_rows:,} rows were left out to keep this report under {limit:,} characters; "
            "the CSV (`--csv`) and the HTML report (`--html`) list every entry._\n"
        )
    return writer.text()


__all__ = ["NAME_LIMIT", "REPORT_LIMIT", "VISIBLE_ROWS", "code", "render_markdown"]
