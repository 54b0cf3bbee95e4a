"""Size budgets: reading a budget file and judging a build against it.

A budget file is TOML.  Each table is named after what it limits and holds up
to four limits::

    [region.FLASH]          # one region, by name
    max_used = "90%"        # hard ceiling on the bytes used
    warn_used = "80%"       # warning level below it
    max_growth = 4096       # growth against the baseline, hard ceiling
    warn_growth = 1024      # growth warning level

    [category.flash]        # every region of a category: flash, ram, other
    max_used = "95%"

    [section.".text"]       # a section, by name
    max_used = 200000

    [component.libc]        # a component, by name
    max_growth = "5%"

A limit is a whole number of bytes or a text percentage.  A percentage is of
the region's size for region and category tables, of the size of the region
the section runs in for section tables, and of the component's size in the
baseline for a component's growth limits (a component spans regions, so its
``max_used`` and ``warn_used`` take bytes only).

Overflow is judged whatever the budget says: every region of the build gets a
verdict on whether its sections fit, and an overflowing region fails.

Verdicts are ``pass``, ``warn``, ``fail`` and ``skip`` (a growth limit without
a baseline).  A figure equal to its limit passes: the limit is the largest
figure allowed.
"""

from __future__ import annotations

import os
import re
import tomllib
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any, Final

from .analysis import region_capacity, region_usage
from .compare import Comparison
from .records import BuildInput, DiffEntry, MemoryRegion, RegionCategory

#: Exit status of a command whose build fails its budget or overflows a region
#: (1 is input that cannot be used, 2 a usage error).
EXIT_BUDGET_FAILED: Final = 3

PASS: Final = "pass"
WARN: Final = "warn"
FAIL: Final = "fail"
SKIP: Final = "skip"

KINDS: Final = ("region", "category", "section", "component")
LIMIT_KEYS: Final = ("max_used", "warn_used", "max_growth", "warn_growth")
CATEGORIES: Final = ("flash", "ram", "other")

_PERCENT = re.compile(r"\s*(\d+(?:\.\d+)?)\s*%\s*")


class BudgetError(ValueError):
    """A budget file that cannot be used; the message names the file, line and key."""

    def __init__(self, path: str, problem: str, *, line: int | None = None, key: str | None = None) -> None:
        self.path = path
        self.problem = problem
        self.line = line
        self.key = key
        parts = [path]
        if line is not None:
            parts.append(f"line {line}")
        if key is not None:
            parts.append(f"key '{key}'")
        parts.append(problem)
        super().__init__(": ".join(parts))


@dataclass(frozen=True, slots=True)
class Limit:
    """A number of bytes, or a percentage when *percent* is true."""

    value: Fraction
    percent: bool
    source: str  # as written in the file, for the report

    def resolve(self, whole: int | None) -> Fraction | None:
        """The limit in bytes; a percentage of *whole*, None when *whole* is unknown."""
        if not self.percent:
            return self.value
        if whole is None or whole <= 0:
            return None
        return self.value * whole / 100


@dataclass(frozen=True, slots=True)
class Rule:
    kind: str
    name: str
    limits: dict[str, Limit]
    line: int | None


@dataclass(frozen=True, slots=True)
class Budget:
    path: str
    rules: list[Rule]
    # [region.NAME] category = "flash": what the region is, whatever the map
    # suggests (as --region-category says it; the command line wins).
    categories: dict[str, RegionCategory] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class Verdict:
    """One judged figure: what was measured, against what, and the outcome."""

    kind: str  # "region", "category", "section", "component"
    name: str
    measure: str  # "fits", "used", "growth"
    measured: str
    limit: str
    status: str
    via: str = ""  # the category rule a region was judged by

    @property
    def subject(self) -> str:
        return f"{self.kind} {self.name}" + (f" ({self.via})" if self.via else "")


@dataclass(frozen=True, slots=True)
class Overflow:
    region: str
    used_bytes: int
    size_bytes: int

    @property
    def excess_bytes(self) -> int:
        return self.used_bytes - self.size_bytes


# ---------------------------------------------------------------------------
# Reading


def _key_lines(text: str) -> dict[tuple[str, ...], int]:
    """Line of every table header and key of a TOML text, by key path.

    tomllib keeps no positions, so each header and each one-line assignment
    is parsed on its own; a key inside a multi-line value is not found and
    the error falls back to its table's line.
    """
    lines: dict[tuple[str, ...], int] = {}
    table: tuple[str, ...] = ()

    def record(prefix: tuple[str, ...], value: Any, number: int) -> None:
        if isinstance(value, dict):
            for key, inner in value.items():
                path = prefix + (key,)
                lines.setdefault(path, number)
                record(path, inner, number)

    for number, raw in enumerate(text.splitlines(), start=1):
        stripped = raw.strip()
        if not stripped or stripped.startswith("#"):
            continue
        try:
            parsed = tomllib.loads(stripped)
        except tomllib.TOMLDecodeError:
            continue
        if stripped.startswith("["):
            path: tuple[str, ...] = ()
            node: Any = parsed
            while isinstance(node, dict) and len(node) == 1:
                key = next(iter(node))
                path += (key,)
                node = node[key]
            table = path
            for end in range(1, len(table) + 1):
                lines.setdefault(table[:end], number)
        else:
            record(table, parsed, number)
    return lines


def _parse_limit(value: Any) -> Limit | str:
    """The limit a value states, or the problem with it."""
    if isinstance(value, bool) or not isinstance(value, int | str):
        return f'expected a whole number of bytes or a percentage such as "90%", got {value!r}'
    if isinstance(value, int):
        if value < 0:
            return f"a limit cannot be negative, got {value}"
        return Limit(Fraction(value), False, f"{value:,} B")
    match = _PERCENT.fullmatch(value)
    if match is None:
        return f'expected a percentage such as "90%" or a whole number of bytes, got {value!r}'
    return Limit(Fraction(match.group(1)), True, f"{match.group(1)}%")


def parse_budget(text: str, path: str = "<budget>") -> Budget:
    """Read a budget file's text; BudgetError names the file, line and key of a problem."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        # tomllib puts "(at line L, column C)" at the end of its message.
        message = str(error)
        line = getattr(error, "lineno", None)
        if line is None:
            found = re.search(r"\(at line (\d+), column \d+\)$", message)
            if found:
                line = int(found.group(1))
            elif message.endswith("(at end of document)"):
                line = max(len(text.splitlines()), 1)
        message = re.sub(r"\s*\(at line \d+, column \d+\)$", "", message)
        message = re.sub(r"\s*\(at end of document\)$", "", message)
        key = None
        if line is not None:
            # The key of the broken statement, when the line has one.
            source_lines = text.splitlines()
            if line <= len(source_lines):
                found = re.match(r"\s*([^=\[\]#]+?)\s*=", source_lines[line - 1])
                key = found.group(1) if found else None
        raise BudgetError(path, f"not valid TOML: {message}", line=line, key=key) from None

    lines = _key_lines(text)

    def fail(problem: str, *keys: str) -> BudgetError:
        key_path = tuple(keys)
        line = None
        while key_path:
            if key_path in lines:
                line = lines[key_path]
                break
            key_path = key_path[:-1]
        return BudgetError(path, problem, line=line, key=".".join(_toml_key(k) for k in keys) or None)

    if not document:
        raise fail("no limits: expected tables such as [region.FLASH] with max_used, warn_used, "
                   "max_growth or warn_growth")
    rules = []
    categories: dict[str, RegionCategory] = {}
    for kind, entries in document.items():
        if kind not in KINDS:
            raise fail(f"unknown table; expected one of {', '.join(KINDS)} (as in [region.FLASH])", kind)
        if not isinstance(entries, dict) or not entries:
            raise fail(f"expected tables such as [{kind}.NAME]", kind)
        for name, limits in entries.items():
            if not isinstance(limits, dict):
                raise fail(f"expected a table of limits, got {limits!r}", kind, name)
            if kind == "category" and name not in CATEGORIES:
                raise fail(f"unknown category; expected one of {', '.join(CATEGORIES)}", kind, name)
            parsed: dict[str, Limit] = {}
            for key, value in limits.items():
                if kind == "region" and key == "category":
                    if value not in CATEGORIES:
                        raise fail(f"unknown category {value!r}; expected one of {', '.join(CATEGORIES)}",
                                   kind, name, key)
                    categories[name] = RegionCategory(value)
                    continue
                if key not in LIMIT_KEYS:
                    raise fail(f"unknown limit; expected one of {', '.join(LIMIT_KEYS)}", kind, name, key)
                limit = _parse_limit(value)
                if isinstance(limit, str):
                    raise fail(limit, kind, name, key)
                if kind == "component" and limit.percent and key.endswith("_used"):
                    raise fail("a component spans regions, so its used limits take bytes, not a percentage",
                               kind, name, key)
                parsed[key] = limit
            if not parsed:
                if name in categories:
                    continue  # a table that only says what the region is
                raise fail(f"no limits; expected one or more of {', '.join(LIMIT_KEYS)}", kind, name)
            for measure in ("used", "growth"):
                warn, top = parsed.get(f"warn_{measure}"), parsed.get(f"max_{measure}")
                if warn is not None and top is not None and warn.percent == top.percent and warn.value > top.value:
                    raise fail(f"the warning level is above max_{measure} ({top.source})",
                               kind, name, f"warn_{measure}")
            rules.append(Rule(kind, name, parsed, lines.get((kind, name))))
    return Budget(path, rules, categories)


def _toml_key(key: str) -> str:
    return key if re.fullmatch(r"[A-Za-z0-9_-]+", key) else '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


def load_budget(path: str | os.PathLike[str]) -> Budget:
    """Read a budget file; OSError passes through, BudgetError for its content."""
    source = os.fspath(path)
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise BudgetError(source, "not valid UTF-8 text", line=line) from None
    return parse_budget(text, source)


# ---------------------------------------------------------------------------
# Judging


def region_overflows(build: BuildInput) -> list[Overflow]:
    """Every region of *build* whose sections do not fit in it, in model order."""
    usage = region_usage(build.model)
    out = []
    for region in build.model.memory_regions:
        result = usage.get(region.name)
        if result is not None and result.overflow_bytes > 0:
            out.append(Overflow(region.name, result.used_bytes, region_capacity(region)))
    return out


def format_bytes(value: int | Fraction, *, signed: bool = False) -> str:
    number = int(value)
    return (f"{number:+,}" if signed else f"{number:,}") + " B"


def _percent_of(part: int, whole: int) -> str:
    return f"{part * 100 / whole:.2f}%"


def _judge(value: int, warn: Fraction | None, top: Fraction | None) -> str:
    if top is not None and value > top:
        return FAIL
    if warn is not None and value > warn:
        return WARN
    return PASS


def _limit_text(limits: Mapping[str, Limit], measure: str, whole: int | None, of: str) -> tuple[str, bool]:
    """The limits of *measure* as text, and whether every one could be resolved."""
    parts = []
    resolved = True
    for level in ("warn", "max"):
        limit = limits.get(f"{level}_{measure}")
        if limit is None:
            continue
        amount = limit.resolve(whole)
        if not limit.percent:
            parts.append(f"{level} {limit.source}")
        elif amount is None:
            resolved = False
            parts.append(f"{level} {limit.source} of {of} (size unknown)")
        else:
            parts.append(f"{level} {format_bytes(amount)} ({limit.source} of {of})")
    return ", ".join(parts), resolved


@dataclass(frozen=True, slots=True)
class _Figures:
    kind: str
    name: str
    via: str
    used: int
    growth: int | None  # None without a baseline
    whole: int | None  # what a used percentage is of
    growth_whole: int | None  # what a growth percentage is of
    of: str
    growth_of: str


def _status(rule_limits: Mapping[str, Limit], measure: str, value: int, whole: int | None) -> str:
    """The verdict of *value* against the warn_ and max_ limits of *measure*."""
    return _judge(
        value,
        _resolve(rule_limits.get(f"warn_{measure}"), whole),
        _resolve(rule_limits.get(f"max_{measure}"), whole),
    )


def _verdicts_of(rule_limits: Mapping[str, Limit], figures: _Figures) -> list[Verdict]:
    out = []
    if "max_used" in rule_limits or "warn_used" in rule_limits:
        limit, resolved = _limit_text(rule_limits, "used", figures.whole, figures.of)
        measured = format_bytes(figures.used)
        if figures.whole:
            measured += f" ({_percent_of(figures.used, figures.whole)} of {figures.of})"
        status = _status(rule_limits, "used", figures.used, figures.whole) if resolved else WARN
        out.append(Verdict(figures.kind, figures.name, "used", measured, limit, status, figures.via))
    if "max_growth" in rule_limits or "warn_growth" in rule_limits:
        limit, resolved = _limit_text(rule_limits, "growth", figures.growth_whole, figures.growth_of)
        if figures.growth is None:
            out.append(Verdict(figures.kind, figures.name, "growth", "no baseline given", limit, SKIP, figures.via))
        else:
            measured = format_bytes(figures.growth, signed=True)
            if figures.growth_whole:
                measured += f" ({figures.growth * 100 / figures.growth_whole:+.2f}% of {figures.growth_of})"
            status = _status(rule_limits, "growth", figures.growth, figures.growth_whole) if resolved else WARN
            out.append(Verdict(figures.kind, figures.name, "growth", measured, limit, status, figures.via))
    return out


def _resolve(limit: Limit | None, whole: int | None) -> Fraction | None:
    return None if limit is None else limit.resolve(whole)


def _entries_by_name(entries: Iterable[DiffEntry], kind: str) -> dict[str, DiffEntry]:
    return {entry.name: entry for entry in entries if entry.kind == kind}


def check_build(
    current: BuildInput,
    budget: Budget | None,
    comparison: Comparison,
    *,
    has_baseline: bool,
) -> list[Verdict]:
    """The verdicts on *current*: first whether each region fits, then each budget rule.

    *comparison* compares *current* with its baseline; without one
    (*has_baseline* false) pass the comparison of the build with itself, which
    still gives every entity's size, and growth limits are skipped.
    """
    usage = region_usage(current.model)
    regions: dict[str, MemoryRegion] = {region.name: region for region in current.model.memory_regions}
    verdicts = []
    for region in current.model.memory_regions:
        used = usage[region.name].used_bytes
        size = region_capacity(region)
        over = used - size
        measured = f"{format_bytes(used)} of {format_bytes(size)}"
        if over > 0:
            verdicts.append(Verdict("region", region.name, "fits", measured, f"overflows by {format_bytes(over)}", FAIL))
        else:
            verdicts.append(Verdict("region", region.name, "fits", measured, f"{format_bytes(size - used)} free", PASS))
    if budget is None:
        return verdicts

    entries = comparison.entries
    by_kind = {kind: _entries_by_name(entries, kind) for kind in ("region", "section", "component")}
    section_regions: dict[str, str | None] = {}
    for section in current.model.sections:
        section_regions.setdefault(section.name, section.execution_region)

    def region_figures(region: MemoryRegion, via: str) -> _Figures:
        entry = by_kind["region"].get(region.name)
        growth = int(entry.delta) if entry is not None and has_baseline else None
        size = region_capacity(region) or None
        return _Figures("region", region.name, via, usage[region.name].used_bytes, growth, size, size,
                        "the region", "the region")

    for rule in budget.rules:
        if rule.kind == "region":
            named = regions.get(rule.name)
            if named is None:
                verdicts.append(Verdict("region", rule.name, "used", "not in the build", _rule_text(rule), WARN))
                continue
            verdicts += _verdicts_of(rule.limits, region_figures(named, ""))
        elif rule.kind == "category":
            matching = [r for r in current.model.memory_regions if str(r.category) == rule.name]
            if not matching:
                verdicts.append(Verdict("category", rule.name, "used", "no region of this category",
                                        _rule_text(rule), WARN))
            for region in matching:
                verdicts += _verdicts_of(rule.limits, region_figures(region, f"category {rule.name}"))
        else:
            entry = by_kind[rule.kind].get(rule.name)
            if entry is None:
                verdicts.append(Verdict(rule.kind, rule.name, "used", "not in either build", _rule_text(rule), WARN))
                continue
            before = comparison.baseline_size(entry)
            growth = int(entry.delta) if has_baseline else None
            if rule.kind == "section":
                home = section_regions.get(rule.name)
                runs_in = regions.get(home or "")
                whole = region_capacity(runs_in) if runs_in is not None else None
                figures = _Figures(rule.kind, rule.name, "", int(entry.current), growth, whole or None,
                                   whole or None, "its region", "its region")
            else:
                figures = _Figures(rule.kind, rule.name, "", int(entry.current), growth, None, before or None,
                                   "", "the baseline")
            verdicts += _verdicts_of(rule.limits, figures)
    return verdicts


def _rule_text(rule: Rule) -> str:
    return ", ".join(f"{key} {limit.source}" for key, limit in rule.limits.items())


def exit_status(verdicts: Sequence[Verdict], *, strict: bool = False) -> int:
    """0 when every verdict passes (warnings too unless *strict*), else EXIT_BUDGET_FAILED."""
    statuses = {verdict.status for verdict in verdicts}
    if FAIL in statuses or (strict and WARN in statuses):
        return EXIT_BUDGET_FAILED
    return 0


def render_verdicts(verdicts: Sequence[Verdict]) -> str:
    """One aligned line per verdict: outcome, subject, measure, measured figure, limit."""
    if not verdicts:
        return ""
    rows = [(v.status.upper(), v.subject, v.measure, v.measured, v.limit) for v in verdicts]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) for cell, width in zip(row[:4], widths)]
        lines.append("  ".join(cells + [row[4]]).rstrip())
    return "\n".join(lines)


def describe_counts(verdicts: Sequence[Verdict]) -> str:
    """ "1 failed, 2 warnings, 7 passed" (and the skipped ones, when there are any)."""
    counts = verdict_counts(verdicts)
    warnings = "1 warning" if counts[WARN] == 1 else f"{counts[WARN]} warnings"
    text = f"{counts[FAIL]} failed, {warnings}, {counts[PASS]} passed"
    return text + (f", {counts[SKIP]} skipped" if counts[SKIP] else "")


def verdict_counts(verdicts: Sequence[Verdict]) -> dict[str, int]:
    counts = {PASS: 0, WARN: 0, FAIL: 0, SKIP: 0}
    for verdict in verdicts:
        counts[verdict.status] = counts.get(verdict.status, 0) + 1
    return counts


__all__ = [
    "CATEGORIES",
    "EXIT_BUDGET_FAILED",
    "FAIL",
    "KINDS",
    "LIMIT_KEYS",
    "PASS",
    "SKIP",
    "WARN",
    "Budget",
    "BudgetError",
    "Limit",
    "Overflow",
    "Rule",
    "Verdict",
    "check_build",
    "describe_counts",
    "exit_status",
    "format_bytes",
    "load_budget",
    "parse_budget",
    "region_overflows",
    "render_verdicts",
    "verdict_counts",
]
