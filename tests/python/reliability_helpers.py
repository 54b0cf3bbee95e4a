"""Shared generators and checks for the reliability tests.

The compiled modules run inside the host's process, so a bad input must end in
a result or an ordinary Python exception, never in a crash, a SystemError or
a change to the caller's objects.  This module makes hostile inputs (records
with missing or raising attributes, objects whose dunder methods raise,
cycles, deep nesting, huge integers, non-finite floats, lone surrogates) and
checks the outcome of one call.
"""

from __future__ import annotations

import contextlib
import enum
import faulthandler
import math
import os
import random
import sys
from collections import Counter
from typing import Any, Callable

from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st

# A modest number of examples by default keeps the whole suite fast; CI or a
# soak run raises it with BRENVALE_RELIABILITY_EXAMPLES.
EXAMPLES = int(os.environ.get("BRENVALE_RELIABILITY_EXAMPLES", "60"))
SANITIZED = bool(os.environ.get("BRENVALE_SANITIZED"))

PROPERTY_SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    derandomize=bool(os.environ.get("CI")),
    database=None,
    # Shrinking hostile inputs is slow; a soak run can turn it on to get minimal examples.
    phases=(
        [Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink]
        if os.environ.get("BRENVALE_RELIABILITY_SHRINK")
        else [Phase.explicit, Phase.reuse, Phase.generate]
    ),
    print_blob=False,
)

# Examples run per operation, and their outcomes (a result or the exception's
# type), reported at the end of each property module: a property whose cases
# all fail early would test little.
CASE_COUNTS: Counter[str] = Counter()
OUTCOMES: dict[str, Counter[str]] = {}


class Boom(Exception):
    """The caller's own exception: raised by hostile objects, must pass through."""


ALLOWED = (TypeError, ValueError, AttributeError, OverflowError, RecursionError, Boom)


# ---------------------------------------------------------------- hostile objects


class Hostile:
    """Base of the hostile objects: a safe repr, so failure reports stay readable."""

    def __repr__(self) -> str:
        return f"<{type(self).__name__}>"

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(repr(self))


class RaisingStr(Hostile):
    def __str__(self) -> str:
        raise Boom("str")

    def __format__(self, spec: str) -> str:
        raise Boom("format")


class RaisingEq(Hostile):
    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        raise Boom("eq")

    __ne__ = __eq__

    def __hash__(self) -> int:
        return id(self) >> 4

    def __str__(self) -> str:
        return "raising-eq"


class RaisingLt(Hostile):
    def __lt__(self, other: object) -> bool:
        raise Boom("lt")

    __gt__ = __le__ = __ge__ = __lt__

    def __str__(self) -> str:
        return "raising-lt"


class RaisingHash(Hostile):
    def __hash__(self) -> int:
        raise Boom("hash")

    def __eq__(self, other: object) -> bool:
        return self is other


class RaisingIndex(Hostile):
    """Looks numeric to duck-typed converters but raises when converted."""

    def __index__(self) -> int:
        raise Boom("index")

    def __int__(self) -> int:
        raise Boom("int")

    def __float__(self) -> float:
        raise Boom("float")


class RaisingBool(Hostile):
    def __bool__(self) -> bool:
        raise Boom("bool")

    def __len__(self) -> int:
        raise Boom("len")


class RaisingIter(list):  # type: ignore[type-arg]
    """A list subclass whose iteration raises: the slow path must cope."""

    def __iter__(self):  # type: ignore[no-untyped-def]
        raise Boom("iter")

    def __repr__(self) -> str:
        return "<RaisingIter>"

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        printer.text(repr(self))


class BadMapping(Hostile):
    """Has a get() and items() that raise."""

    def get(self, key: Any, default: Any = None) -> Any:
        raise Boom("get")

    def items(self) -> Any:
        raise Boom("items")

    def keys(self) -> Any:
        raise Boom("keys")

    def __getitem__(self, key: Any) -> Any:
        raise Boom("getitem")

    def __iter__(self) -> Any:
        raise Boom("iter")

    def __len__(self) -> int:
        return 1


class Plain(Hostile):
    """An arbitrary caller object that is not JSON-ready."""

    def __str__(self) -> str:
        return "plain-object"


class Color(enum.Enum):
    RED = "red"
    FLASH = "flash"
    NUM = 3


def self_list() -> list[Any]:
    out: list[Any] = [1, "x"]
    out.append(out)
    return out


def self_dict() -> dict[Any, Any]:
    out: dict[Any, Any] = {"a": 1}
    out["self"] = out
    return out


def deep_list(depth: int) -> list[Any]:
    out: list[Any] = []
    for _ in range(depth):
        out = [out]
    return out


def deep_dict(depth: int) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for _ in range(depth):
        out = {"k": out}
    return out


HOSTILE_FACTORIES: list[Callable[[], Any]] = [
    RaisingStr,
    RaisingEq,
    RaisingLt,
    RaisingHash,
    RaisingIndex,
    RaisingBool,
    lambda: RaisingIter([1, 2]),
    BadMapping,
    Plain,
    lambda: Color.RED,
    lambda: Color.NUM,
    self_list,
    self_dict,
    lambda: deep_list(50_000),
    lambda: deep_dict(50_000),
    lambda: deep_list(60),
    lambda: 2**64,
    lambda: -(2**63) - 1,
    lambda: 10**400,
    lambda: float("nan"),
    lambda: float("inf"),
    lambda: float("-inf"),
    lambda: 1e308,
    lambda: -0.0,
    lambda: "\ud800",
    lambda: "a\udfffb",
    lambda: "x" * 200_000,
    lambda: "<script>\x00\u2028</script>",
    lambda: b"bytes",
    lambda: (1, "tuple"),
    lambda: {1, 2},
    lambda: frozenset({"a"}),
    lambda: {None: 1, 2: "two", 1.5: [], True: None, (1, 2): "t"},
    lambda: True,
    lambda: object(),
    lambda: type,
    lambda: 1j,
]

hostile = st.sampled_from(HOSTILE_FACTORIES).map(lambda f: f())

texts = st.one_of(
    st.text(max_size=12),
    st.text(alphabet=st.characters(codec=None, categories=None), max_size=8),
    st.sampled_from(["", " ", ".text", ".bss", ".data", ".stack", ".heap", "FLASH", "RAM", "ok",
                     "symbol", "added", "region", "\ud800", "<b>&'\"", "\u0130\u212a"]),
)

# Surrogates: st.characters never yields lone surrogates unless asked.
surrogate_texts = st.lists(
    st.one_of(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), st.characters()), max_size=6
).map("".join)

numbers = st.one_of(
    st.integers(min_value=-5, max_value=5000),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, 1, -1, 2**63 - 1, -(2**63), 2**63, 2**64 + 1, 0.5, 1.5, -0.5]),
)

json_scalars = st.one_of(st.none(), st.booleans(), numbers, texts, surrogate_texts)

json_values = st.recursive(
    json_scalars,
    lambda kids: st.one_of(
        st.lists(kids, max_size=4),
        st.dictionaries(texts, kids, max_size=4),
        st.dictionaries(st.one_of(st.none(), st.booleans(), st.integers(), st.floats()), kids, max_size=3),
    ),
    max_leaves=12,
)

anything = st.one_of(json_values, json_values, hostile)


# ---------------------------------------------------------------- records


class Record:
    """A record read by attribute; the fields live in __dict__ so snapshots see them."""

    def __init__(self, **fields: Any) -> None:
        self.__dict__.update(fields)

    def __repr__(self) -> str:
        return f"Record({self.__dict__!r})"


def _raising_record_type(names: frozenset[str]) -> type:
    def getter(self: Any) -> Any:
        raise Boom("attribute")

    ns = {name: property(getter) for name in names}
    return type("RaisingRecord", (Record,), ns)


@st.composite
def records(draw: Any, fields: dict[str, Any], hostility: float = 0.15) -> Any:
    """A record with the given fields, each drawn from its plausible strategy or,
    now and then, hostile, missing or raising on access."""
    values: dict[str, Any] = {}
    raising: set[str] = set()
    # Hypothesis draws the ends of a range far more often than the middle
    # (its own Random too); a real PRNG seeded from the draw keeps the hostile
    # share at the rate asked for.
    rnd = random.Random(draw(st.integers(0, 2**32)))
    for name, strategy in fields.items():
        roll = rnd.random()
        cut = hostility
        if roll < cut * 0.2:
            continue  # missing attribute
        if roll < cut * 0.4:
            raising.add(name)
        elif roll < cut:
            values[name] = draw(anything)
        else:
            values[name] = draw(strategy)
    if raising:
        return _raising_record_type(frozenset(raising))(**values)
    return Record(**values)


SECTION_NAMES = [".text", ".rodata", ".data", ".bss", ".stack", ".heap", ".vectors", ".init_array",
                 ".noinit", "reserved", "\u0130nit", ".text.\ud800"]
REGION_NAMES = ["FLASH", "RAM", "CCM", "\ud801", "<b>"]
OBJ_NAMES = ["a.o", "b.o", "lib/c.o", None, "\u00e9.o"]

small_addr = st.integers(0, 0x4000)
small_size = st.integers(0, 0x800)
section_name = st.one_of(st.sampled_from(SECTION_NAMES), texts)
region_name = st.one_of(st.sampled_from(REGION_NAMES), st.none(), texts)
obj_name = st.one_of(st.sampled_from(OBJ_NAMES), texts)

SECTION_FIELDS = {
    "name": section_name,
    "execution_region": region_name,
    "load_region": region_name,
    "vma": small_addr,
    "lma": small_addr,
    "size": small_size,
    "padding_before": st.integers(0, 16),
    "padding_after": st.integers(0, 16),
}
SYMBOL_FIELDS = {
    "name": texts,
    "demangled_name": st.one_of(st.none(), texts),
    "address": st.one_of(small_addr, st.none()),
    "size": small_size,
    "section_name": section_name,
    "object_file": obj_name,
    "archive": st.one_of(st.none(), st.sampled_from(["libx.a", "liby.a"])),
    "source_file": st.one_of(st.none(), texts),
    "compilation_unit": st.one_of(st.none(), texts),
}
REGION_FIELDS = {
    "name": st.sampled_from(REGION_NAMES),
    "start_address": st.sampled_from([0, 0x1000, 0x2000]),
    "end_address": st.sampled_from([0xFFF, 0x1FFF, 0x3FFF, 0x4FFF]),
    "size": st.one_of(st.none(), st.sampled_from([0x1000, 0x2000, 0])),
    "category": st.sampled_from([Color.FLASH, Color.RED]),
}


class IssueCategory(enum.Enum):
    OVERFLOW = "overflow"
    POLICY = "policy"
    RESERVED = "reserved"
    ALIGNMENT = "alignment"


ISSUE_FIELDS = {
    "id": st.one_of(texts, st.integers(0, 5)),
    "title": texts,
    "description": texts,
    "severity": st.sampled_from([Color.RED, Color.NUM]),
    "category": st.sampled_from(list(IssueCategory)),
    "affected_entities": st.lists(st.one_of(st.sampled_from(SECTION_NAMES + OBJ_NAMES[:3]), texts), max_size=3),
}
COMPONENT_FIELDS = {
    "name": st.one_of(texts, st.sampled_from(["core", "drivers"])),
    "objects": st.lists(obj_name, max_size=3),
    "total_flash": st.one_of(small_size, st.floats(0, 1e6)),
    "total_ram": small_size,
    "symbols": st.lists(st.none(), max_size=3),
}
DIFF_ENTRY_FIELDS = {
    "kind": st.sampled_from(["symbol", "section", "region", "Symbol"]),
    "name": texts,
    "delta": st.one_of(st.integers(-5000, 5000), st.floats(-1e4, 1e4), st.sampled_from(["12", " 3 ", "x", "1e3"])),
    "delta_pct": st.one_of(st.none(), st.floats(-2, 2)),
    "status": st.sampled_from(["added", "removed", "changed", "Added"]),
    "current": st.one_of(st.integers(0, 5000), st.floats(0, 5000), st.sampled_from(["2048", "1.5", "x"])),
}


def listish(strategy: Any, max_size: int = 5) -> Any:
    """A list of items, now and then not a list at all."""
    return st.one_of(
        st.lists(strategy, max_size=max_size),
        st.lists(strategy, max_size=max_size),
        st.lists(strategy, max_size=max_size).map(tuple),
        st.lists(strategy, max_size=2).map(lambda xs: (x for x in xs)),
        hostile,
    )


hashable_keys = st.one_of(
    st.integers(), st.none(), st.booleans(), st.floats(), st.tuples(st.integers(), texts),
    st.sampled_from([Color.RED, frozenset({"a"})]), st.builds(RaisingEq), st.builds(Plain),
)


def mapish(keys: Any, values: Any, max_size: int = 4) -> Any:
    return st.one_of(
        st.dictionaries(keys, values, max_size=max_size),
        st.dictionaries(keys, values, max_size=max_size),
        st.dictionaries(st.one_of(keys, hashable_keys), values, max_size=max_size),
        hostile,
    )


sections = records(SECTION_FIELDS)
symbols = records(SYMBOL_FIELDS)
regions = records(REGION_FIELDS)
issues = records(ISSUE_FIELDS)
components = records(COMPONENT_FIELDS)
diff_entries = records(DIFF_ENTRY_FIELDS)

hints = mapish(
    st.sampled_from(["stack_sections", "heap_sections"]),
    listish(st.one_of(section_name, hostile), 3),
)

models = records(
    {
        "sections": listish(sections),
        "symbols": listish(symbols, 8),
        "memory_regions": listish(regions, 3),
        "stack_heap_hints": hints,
    },
    hostility=0.08,
)

usage_records = records(
    {
        "used_bytes": small_size,
        "free_bytes": small_size,
        "overflow_bytes": st.integers(0, 10),
        "utilization_ratio": st.floats(0, 1.5),
    }
)

baseline_entry = st.one_of(
    st.fixed_dictionaries(
        {"name": section_name, "delta": st.one_of(st.integers(-100, 100), numbers, texts)},
        optional={"kind": st.sampled_from(["section", "region", "symbol"]), "current": numbers,
                  "baseline": numbers, "delta_pct": numbers, "extra": anything},
    ),
    anything,
)
section_delta = st.one_of(
    st.fixed_dictionaries({}, optional={"delta_bytes": st.one_of(st.integers(-100, 100), numbers, anything)}),
    anything,
)
region_ratio = st.one_of(
    st.fixed_dictionaries({}, optional={"current": numbers, "baseline": numbers,
                                        "delta": st.one_of(numbers, texts, anything)}),
    anything,
)
regressions_maps = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={
            "sections": mapish(section_name, section_delta),
            "regions": mapish(region_name, region_ratio),
            "symbols": listish(anything),
            "status": st.one_of(st.sampled_from(["ok", "schema_mismatch"]), anything),
            "flash_delta_bytes": st.one_of(numbers, anything),
            "ram_delta_bytes": numbers,
            "unread": anything,
        },
    ),
    mapish(texts, anything),
)

features = st.one_of(
    st.none(),
    st.fixed_dictionaries({}, optional={"sankey_enabled": st.one_of(st.booleans(), anything),
                                        "relationship_graph_enabled": st.one_of(st.booleans(), anything)}),
    st.fixed_dictionaries({"sankey_enabled": st.just(True), "relationship_graph_enabled": st.just(True)}),
    anything,
)

ranked_entry = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={"kind": texts, "name": st.one_of(texts, anything), "delta": numbers,
                  "delta_pct": st.one_of(st.none(), numbers), "status": texts, "current": numbers,
                  "baseline": numbers},
    ),
    anything,
)
build_maps = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={k: st.one_of(texts, numbers, anything) for k in
                  ("path", "target_name", "analysis_timestamp", "tool_version", "total_flash", "total_ram")},
    ),
    anything,
)
diff_payloads = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={
            "status": st.one_of(st.sampled_from(["ok", "OK", "schema_mismatch"]), anything),
            "current_schema_version": anything,
            "baseline_schema_version": anything,
            "schema_error": anything,
            "flash_delta_bytes": st.one_of(numbers, anything),
            "ram_delta_bytes": st.one_of(numbers, anything),
            "top_regressions": listish(ranked_entry),
            "top_reductions": listish(ranked_entry),
            "regions": listish(ranked_entry),
            "sections": listish(json_values),
            "symbols": listish(json_values),
            "components": listish(json_values),
            "current_build": build_maps,
            "baseline_build": build_maps,
        },
    ),
    mapish(texts, anything),
)


# ---------------------------------------------------------------- snapshots


def snapshot(root: Any) -> list[Any]:
    """A structural, order-preserving picture of everything reachable from
    *root* through containers and record attributes.

    Iterative, so that inputs nested far beyond the recursion limit can be
    pictured; shared and cyclic references appear as back references, so a
    call that rewired the caller's objects is caught as well as one that
    changed a value.  Objects are never compared with ==, so hostile
    __eq__ methods cannot interfere.
    """
    out: list[Any] = []
    seen: dict[int, int] = {}
    stack: list[Any] = [root]
    keep: list[Any] = []  # ids stay unique while the walk holds the objects
    while stack:
        obj = stack.pop()
        t = type(obj)
        if t in (int, bool, str, bytes, type(None), complex):
            out.append((t.__name__, obj))
            continue
        if t is float:
            out.append(("float", repr(obj)))
            continue
        key = id(obj)
        if key in seen:
            out.append(("ref", seen[key]))
            continue
        seen[key] = len(out)
        keep.append(obj)
        if isinstance(obj, (list, tuple)):
            # list.copy never calls an overridden __iter__.
            items = list.copy(obj) if isinstance(obj, list) else tuple.__getitem__(obj, slice(None))
            out.append((t.__name__, len(items)))
            stack.extend(reversed(items))
        elif isinstance(obj, dict):
            items = list(dict.items(obj))
            out.append((t.__name__, len(items)))
            for k, v in reversed(items):
                stack.append(v)
                stack.append(k)
        elif isinstance(obj, (set, frozenset)):
            out.append((t.__name__, len(obj)))
        elif isinstance(obj, Record):
            attrs = list(obj.__dict__.items())
            out.append(("record", t.__name__, tuple(k for k, _ in attrs)))
            stack.extend(reversed([v for _, v in attrs]))
        else:
            out.append(("object", t.__name__, key))
    return out


# ---------------------------------------------------------------- the check


def _touch(result: Any) -> None:
    """Walk a result completely so that a broken object surfaces here."""
    stack = [result]
    seen: set[int] = set()
    while stack:
        obj = stack.pop()
        if isinstance(obj, (dict, list, tuple)):
            # Results may share the caller's own (possibly cyclic) containers.
            if id(obj) in seen:
                continue
            seen.add(id(obj))
        if isinstance(obj, dict):
            # Keys are not checked: a private operation may hand the caller's
            # own map back inside its result, as the Python original would.
            for k, v in dict.items(obj):
                stack.append(k)
                stack.append(v)
        elif isinstance(obj, list):
            # A result may hold the caller's own list subclass, whose __iter__
            # is the caller's business.
            stack.extend(list.copy(obj))
        elif isinstance(obj, tuple):
            stack.extend(tuple.__getitem__(obj, slice(None)))


@contextlib.contextmanager
def watchdog(seconds: float = 120.0) -> Any:
    """A hang aborts the run with every thread's stack instead of stalling CI."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def check_call(name: str, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """Call *fn* and check the outcome: a result or an allowed exception, never
    SystemError, and the arguments unchanged.  Returns the result or the
    exception."""
    CASE_COUNTS[name] += 1
    before = snapshot((args, kwargs))
    outcome: Any
    with watchdog():
        try:
            outcome = fn(*args, **kwargs)
        except SystemError as exc:  # pragma: no cover - the fault we hunt
            raise AssertionError(f"{name} raised SystemError: {exc!r}") from exc
        except ALLOWED as exc:
            outcome = exc
            # An exception chained from a SystemError hides the real fault.
            cause = exc.__cause__ or exc.__context__
            assert not isinstance(cause, SystemError), f"{name}: {exc!r} caused by {cause!r}"
    OUTCOMES.setdefault(name, Counter())[
        type(outcome).__name__ if isinstance(outcome, BaseException) else "result"] += 1
    after = snapshot((args, kwargs))
    assert before == after, f"{name} modified its inputs"
    if not isinstance(outcome, BaseException):
        _touch(outcome)
    return outcome


def require(module: Any, name: str) -> Callable[..., Any]:
    import pytest

    fn = getattr(module, name, None)
    if fn is None:
        pytest.skip(f"{module.__name__}.{name} is not available in this build")
    return fn  # type: ignore[no-any-return]


def finite(x: Any) -> bool:
    return isinstance(x, (int, float)) and not isinstance(x, bool) and math.isfinite(x)


def recursion_limit() -> int:
    return sys.getrecursionlimit()


def model_strategy(hostility: float) -> Any:
    """Models whose records are hostile only now and then, so that most calls
    get past the first record and through every builder."""
    return records(
        {
            "sections": st.lists(records(SECTION_FIELDS, hostility), max_size=6),
            "symbols": st.lists(records(SYMBOL_FIELDS, hostility), max_size=10),
            "memory_regions": st.lists(records(REGION_FIELDS, hostility), min_size=1, max_size=3),
            "stack_heap_hints": st.fixed_dictionaries(
                {"stack_sections": st.lists(section_name, max_size=2),
                 "heap_sections": st.lists(section_name, max_size=2)}),
        },
        hostility=0.0,
    )


plausible_models = model_strategy(0.01)
plausible_usage = st.dictionaries(st.sampled_from(REGION_NAMES), records(
    {"used_bytes": small_size, "free_bytes": small_size, "overflow_bytes": st.integers(0, 10),
     "utilization_ratio": st.floats(0, 1.5)}, 0.01), max_size=5)
