"""Reference-leak check of the compiled modules under a debug interpreter.

Calls every public operation of brenvale.plotspec and brenvale.diffreport (and
the private helpers the report page is built from) many times, on success and
on each error path, and checks that sys.gettotalrefcount() and
sys.getallocatedblocks() return to the same value once the calls have warmed
up.  A module that forgets a Py_DECREF on some path leaks one reference (or
one whole input object) per call there, which shows as a steady growth.

    python3.14d tools/refleak_check.py [--loops N] [--runs R] [-k SUBSTRING] [--shard K/N]

Exits 1 when a case leaks or when an error case stops raising what it should
(its error path would then go unchecked).  Needs an interpreter built with
Py_DEBUG; elsewhere it checks allocated blocks only, when --blocks-only is
given.
"""

from __future__ import annotations

import argparse
import dataclasses
import enum
import gc
import importlib
import importlib.util
import sys
import time
import types
from pathlib import Path
from typing import Any, Callable

from brenvale import diffreport, plotspec

ROOT = Path(__file__).resolve().parents[1]
NS = types.SimpleNamespace


def _load_generator() -> Any:
    spec = importlib.util.spec_from_file_location("brenvale_bench_generate", ROOT / "bench" / "generate.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


class Boom(Exception):
    pass


class RaisingStr:
    def __str__(self) -> str:
        raise Boom("str")


class RaisingLt:
    def __lt__(self, other: object) -> bool:
        raise Boom("lt")

    __gt__ = __le__ = __ge__ = __lt__


class RaisingFloat:
    def __float__(self) -> float:
        raise Boom("float")

    def __index__(self) -> int:
        raise Boom("index")


class RaisingAttr:
    """A record whose every attribute read raises."""

    def __getattr__(self, name: str) -> Any:
        raise Boom(name)


class Cat(enum.Enum):
    FLASH = "flash"


def without(record: Any, field: str) -> NS:
    values = {k: getattr(record, k) for k in dir(record) if not k.startswith("_")}
    values.pop(field, None)
    return NS(**values)


def replaced(record: Any, **fields: Any) -> NS:
    values = {k: getattr(record, k) for k in dir(record) if not k.startswith("_") and not callable(getattr(record, k))}
    values.update(fields)
    return NS(**values)


def deep(depth: int) -> list[Any]:
    out: list[Any] = []
    for _ in range(depth):
        out = [out]
    return out


def cyclic() -> list[Any]:
    out: list[Any] = [1]
    out.append(out)
    return out


# name, call, expected exception type or None[, calls per run for a case too slow for the usual count]
Case = tuple[str, Callable[[], Any], Any] | tuple[str, Callable[[], Any], Any, int]


def cases() -> list[Case]:
    gen = _load_generator()
    model, kw = gen.contract_inputs("small", seed=3)
    # A cut-down model keeps the debug interpreter's loops short.
    model = gen.NormalizedBuildModel(model.sections[:12], model.symbols[:150], model.memory_regions,
                                     model.stack_heap_hints)
    entries = gen.diff_entries(60, seed=4)
    payload = gen.diff_payload(40, seed=5)
    section = model.sections[0]
    symbol = model.symbols[0]
    region = model.memory_regions[0]
    component = kw["components"][0]
    issue = kw["issues"][0]
    build = plotspec.build_visualization_contract

    def contract(m: Any = model, **changes: Any) -> Callable[[], Any]:
        args = dict(kw, **changes)
        return lambda: build(m, **args)

    def model_with(**changes: Any) -> Any:
        return replaced(model, **changes)

    out: list[Case] = [
        # -- contract: success paths
        ("contract", contract(), None),
        ("contract/no features", contract(features=None), None),
        ("contract/surrogates and huge texts", contract(model_with(
            symbols=[replaced(symbol, name="\ud800" + "x" * 5000, demangled_name="\udfff")] + model.symbols[1:])),
         None),
        ("contract/empty", lambda: build(NS(sections=[], symbols=[], memory_regions=[],
                                            stack_heap_hints={}), region_usage={}, padding_waste=NS(by_region={}),
                                         components=[], issues=[], regressions={}), None),
        # -- contract: argument binding
        ("contract/missing keyword", lambda: build(model, region_usage=kw["region_usage"]), TypeError),
        ("contract/extra positional", lambda: build(model, 1, **kw), TypeError),
        ("contract/unknown keyword", lambda: build(model, bogus=1, **kw), TypeError),
        # -- contract: missing and raising attributes of each record type
        ("contract/model without sections", contract(without(model, "sections")), AttributeError),
        ("contract/model raising", contract(RaisingAttr()), Boom),
        ("contract/section without name", contract(model_with(sections=model.sections[1:] + [without(section, "name")])),
         AttributeError),
        ("contract/section without size", contract(model_with(sections=model.sections[1:] + [without(section, "size")])),
         AttributeError),
        ("contract/raising section", contract(model_with(sections=model.sections + [RaisingAttr()])), Boom),
        ("contract/symbol without size", contract(model_with(symbols=model.symbols + [without(symbol, "size")])),
         AttributeError),
        ("contract/symbol size text", contract(model_with(symbols=model.symbols + [replaced(symbol, size="big")])),
         (TypeError, ValueError)),
        ("contract/symbol size huge", contract(model_with(symbols=model.symbols + [replaced(symbol, size=2**70)])),
         OverflowError),
        ("contract/symbol name unorderable", contract(model_with(
            symbols=model.symbols + [replaced(symbol, name=RaisingLt(), size=symbol.size)] * 2)), Exception),
        ("contract/region without start", contract(model_with(
            memory_regions=model.memory_regions + [without(region, "start_address")])), AttributeError),
        ("contract/component without name", contract(components=kw["components"] + [without(component, "name")]),
         AttributeError),
        ("contract/issue without id", contract(issues=kw["issues"] + [without(issue, "id")]), AttributeError),
        ("contract/issue entity str raises", contract(issues=kw["issues"] + [
            replaced(issue, affected_entities=[RaisingStr()])]), Boom),
        ("contract/regressions not a map", contract(regressions=None), (AttributeError, TypeError)),
        ("contract/region ratio text", contract(regressions={"regions": {"FLASH0": {"delta": "x"}}}), ValueError),
        ("contract/padding without by_region", contract(padding_waste=NS()), AttributeError),
        ("contract/usage without lookup", contract(region_usage=[1]), (AttributeError, TypeError)),
    ]
    if hasattr(plotspec, "build_visualization_contract_json"):
        build_json = plotspec.build_visualization_contract_json
        out += [
            ("contract_json", lambda: build_json(model, **kw), None),
            ("contract_json/indent", lambda: build_json(model, indent=2, **kw), None),
            ("contract_json/bad indent", lambda: build_json(model, indent="x", **kw), TypeError),
            ("contract_json/raising section", lambda: build_json(
                model_with(sections=model.sections + [RaisingAttr()]), **kw), Boom),
        ]

    bad_delta = gen.DiffEntry("symbol", "x", "not a number", None, "added", 1)
    bad_current = gen.DiffEntry("symbol", "x", 5, None, "added", "1.5")
    out += [
        # -- ranking
        ("regressions", lambda: diffreport.rank_top_regressions(entries), None),
        ("regressions/limit", lambda: diffreport.rank_top_regressions(entries, limit=None), None),
        ("regressions/iterator", lambda: diffreport.rank_top_regressions(iter(entries)), None),
        ("regressions/tuple, all kept", lambda: diffreport.rank_top_regressions(tuple(entries), limit=-1), None),
        ("regressions/bad delta", lambda: diffreport.rank_top_regressions(entries + [bad_delta]), ValueError),
        ("regressions/raising delta", lambda: diffreport.rank_top_regressions(
            entries + [replaced(bad_delta, delta=RaisingFloat())]), Boom),
        ("regressions/missing attribute", lambda: diffreport.rank_top_regressions(entries + [NS(delta=1)]),
         AttributeError),
        ("regressions/not iterable", lambda: diffreport.rank_top_regressions(None), TypeError),
        ("regressions/bad limit", lambda: diffreport.rank_top_regressions(entries, limit="x"), TypeError),
        ("regressions/huge limit", lambda: diffreport.rank_top_regressions(entries, limit=2**80), None),
        ("regressions/positional limit", lambda: diffreport.rank_top_regressions(entries, 3), TypeError),
        ("regressions/bytes names", lambda: diffreport.rank_top_regressions(
            [replaced(e, name=str(e.name).encode()) for e in entries]), None),
        ("regressions/caller's ordering error", lambda: diffreport.rank_top_regressions(
            [replaced(entries[0], name=RaisingLt(), delta=7), replaced(entries[0], name=RaisingLt(), delta=7)]),
         Boom),
        ("reductions", lambda: diffreport.rank_top_reductions(entries), None),
        ("reductions/bad delta", lambda: diffreport.rank_top_reductions(entries + [bad_delta]), ValueError),
        ("reductions/raising attribute", lambda: diffreport.rank_top_reductions(entries + [RaisingAttr()]), Boom),
        ("added", lambda: diffreport.added_large_symbols(entries, min_size_bytes=100), None),
        ("added/fraction text", lambda: diffreport.added_large_symbols(entries + [bad_current]), ValueError),
        ("added/raising current", lambda: diffreport.added_large_symbols(
            entries + [replaced(bad_current, current=RaisingFloat())]), Boom),
        ("added/huge current", lambda: diffreport.added_large_symbols(
            entries + [replaced(bad_current, current=2**80)]), (OverflowError, type(None))),
        # -- console summary
        ("summary", lambda: diffreport.render_diff_console_summary(payload, output_paths={"a": "b", "c": "d"}),
         None),
        ("summary/not a map", lambda: diffreport.render_diff_console_summary([1]), AttributeError),
        ("summary/paths not a map", lambda: diffreport.render_diff_console_summary(payload, output_paths=[1]),
         AttributeError),
        ("summary/paths unorderable", lambda: diffreport.render_diff_console_summary(
            payload, output_paths={1: "a", "b": "c"}), TypeError),
        ("summary/paths caller's ordering error", lambda: diffreport.render_diff_console_summary(
            payload, output_paths={RaisingLt(): "a", RaisingLt(): "b"}), Boom),
        ("summary/bytes path names", lambda: diffreport.render_diff_console_summary(
            payload, output_paths={b"a": "x", b"b": "y"}), None),
        ("summary/status str raises", lambda: diffreport.render_diff_console_summary({"status": RaisingStr()}),
         Boom),
        # -- page
        ("page", lambda: diffreport.render_diff_html(payload), None),
        ("page/hostile texts", lambda: diffreport.render_diff_html(
            {"status": "</script>\ud800", "symbols": [{"n": "<!--\x00"}], "top_regressions": [{"name": "<b>"}]}),
         None),
        ("page/not a map", lambda: diffreport.render_diff_html("x"), AttributeError),
        ("page/not JSON-ready", lambda: diffreport.render_diff_html({"symbols": [{"a": object()}]}), TypeError),
        ("page/cycle", lambda: diffreport.render_diff_html({"symbols": cyclic()}), ValueError),
        # Where the C stack is the limit (3.14), the page's indented dump reaches tens
        # of thousands of levels, gigabytes of indentation, before it fails: a few calls.
        ("page/deep nesting", lambda: diffreport.render_diff_html({"symbols": deep(100_000)}), RecursionError, 3),
        ("page/huge integer", lambda: diffreport.render_diff_html({"symbols": [2**200]}), None),
        ("page/status str raises", lambda: diffreport.render_diff_html({"status": RaisingStr()}), Boom),
        # -- page fragments
        ("safe_script_json", lambda: diffreport._safe_script_json({"a": ["<", 1.5, None, True]}), None),
        ("safe_script_json/not JSON-ready", lambda: diffreport._safe_script_json([object()]), TypeError),
        ("safe_script_json/cycle", lambda: diffreport._safe_script_json(cyclic()), ValueError),
        ("comparison_card", lambda: diffreport._render_comparison_card(payload["current_build"] if
                                                                        "current_build" in payload else {}, {}), None),
        ("table_rows", lambda: diffreport._render_diff_table_rows(payload["top_regressions"]), None),
        ("region_strip", lambda: diffreport._render_region_delta_strip(payload["regions"]), None),
        ("chart_entries", lambda: diffreport._build_diff_chart_entries(payload["top_regressions"],
                                                                        payload["top_reductions"]), None),
        ("coercions", lambda: (diffreport._as_list(payload), diffreport._as_mapping([1]),
                               diffreport._as_number("1e3")), None),
    ]
    out += private_plotspec_cases(model, kw)
    out += map_reader_cases()
    return out


def map_reader_cases() -> list[Case]:
    """The map reader's compiled scanner: a real map, a cut one and wrong arguments."""
    from brenvale.readers import gnu_ld, rules

    text = (ROOT / "tests" / "python" / "data" / "maps" / "nrf52840-zephyr-spectrum-analyzer.map").read_text()
    scanner = importlib.import_module("brenvale._mapscan")
    from brenvale import analysis, compare

    model = gnu_ld.parse_map_text(text).model
    symbols = model.symbols
    big = [dataclasses.replace(s, size=2**62) for s in symbols[:40]] + [dataclasses.replace(symbols[0], size=1.5)]
    odd = symbols[:5] + [dataclasses.replace(symbols[0], size="4")]
    return [
        ("map/whole", lambda: gnu_ld.parse_map_text(text), None),
        ("map/cut", lambda: gnu_ld.parse_map_text(text[: len(text) * 2 // 3]), rules.MapFormatError),
        ("map/cut read partially", lambda: gnu_ld.parse_map_text(text[: len(text) * 2 // 3], allow_partial=True), None),
        ("map/scan bad arguments", lambda: scanner.scan(text, 0), TypeError),
        ("tallies/components", lambda: analysis.components_by_archive(model), None),
        ("tallies/sizes", lambda: compare._symbol_sizes(symbols), None),
        ("tallies/sizes past 64 bits", lambda: compare._symbol_sizes(big), None),
        ("tallies/components past 64 bits", lambda: analysis.components_by_archive(
            dataclasses.replace(model, symbols=big)), None),
        ("tallies/size not comparable", lambda: compare._symbol_sizes(odd), TypeError),
        ("tallies/components size not comparable", lambda: analysis.components_by_archive(
            dataclasses.replace(model, symbols=odd)), TypeError),
        ("tallies/bad arguments", lambda: scanner.component_tallies(symbols, None, dict, {}, str), TypeError),
    ]


def private_plotspec_cases(model: Any, kw: dict[str, Any]) -> list[Case]:
    """The contract's builders one by one: each has its own argument binding
    and converters, so each has its own error paths."""
    p = plotspec
    region = model.memory_regions[0]
    sections = [s for s in model.sections if s.execution_region == region.name]
    section_map = {s.name: s for s in model.sections}
    to_region = {s.name: s.execution_region for s in model.sections}
    by_section = p._symbols_by_section(model.symbols)
    usage = kw["region_usage"][region.name]
    layout_kw = dict(region=region, sections=sections, section_symbols=by_section, issues_by_entity={},
                     section_baseline_deltas={}, stack_heap_hints=model.stack_heap_hints, usage=usage,
                     padding_bytes=8)
    # Sections stored in the region that run elsewhere (initialised data); a made-up one
    # when the model has none, so the load-image path always runs.
    images = [s for s in model.sections if s.load_region == region.name and s.execution_region != region.name]
    images = images or [replaced(sections[0], name=".data", execution_region="RAM")]
    flags = {"sankey_enabled": True, "relationship_graph_enabled": True}
    out: list[Case] = [
        ("_symbols_by_section", lambda: p._symbols_by_section(model.symbols), None),
        ("_symbols_by_section/bad size", lambda: p._symbols_by_section(
            [replaced(model.symbols[0], size="x"), model.symbols[0]]), TypeError),
        ("_owners_from_symbols", lambda: p._owners_from_symbols(model.symbols), None),
        ("_issues_by_entity", lambda: p._issues_by_entity(kw["issues"]), None),
        ("_issues_by_entity/str raises", lambda: p._issues_by_entity(
            [replaced(kw["issues"][0], affected_entities=[RaisingStr()])]), Boom),
        ("_policy_issue_index", lambda: p._policy_issue_index(kw["issues"]), None),
        ("_policy_issue_index/mixed ids", lambda: p._policy_issue_index(
            [replaced(kw["issues"][0], id=1), kw["issues"][1]]), TypeError),
        ("_section_baseline_deltas", lambda: p._section_baseline_deltas(kw["regressions"]), None),
        ("_merge_issue_ids", lambda: p._merge_issue_ids(["b", "a"], ("c", 1)), None),
        ("_normalize_feature_flags", lambda: p._normalize_feature_flags(flags), None),
        ("_build_diff_view", lambda: p._build_diff_view(kw["regressions"]), None),
        ("_build_diff_view/huge values", lambda: p._build_diff_view(
            {"status": 2**70, "regions": {"R": {"current": 2**70}}}), None),
        ("_normalize_feature_flags/huge integer", lambda: p._normalize_feature_flags({"sankey_enabled": 2**70}),
         None),
        ("_build_diff_view/ratio text", lambda: p._build_diff_view({"regions": {"R": {"current": "x"}}}),
         ValueError),
        ("_build_ownership_views", lambda: p._build_ownership_views(
            symbols=model.symbols, section_map=section_map, section_to_region=to_region,
            components=kw["components"]), None),
        ("_build_ownership_views/component without name", lambda: p._build_ownership_views(
            symbols=model.symbols, section_map=section_map, section_to_region=to_region,
            components=[without(kw["components"][0], "name")]), AttributeError),
        ("_build_relationship_views", lambda: p._build_relationship_views(
            model=model, section_map=section_map, section_to_region=to_region, components=kw["components"],
            feature_flags=flags), None),
        ("_build_relationship_views/raising symbol", lambda: p._build_relationship_views(
            model=replaced(model, symbols=model.symbols + [RaisingAttr()]), section_map=section_map,
            section_to_region=to_region, components=kw["components"], feature_flags=flags), Boom),
    ]
    if hasattr(p, "_build_region_layout"):
        interval = p._Interval
        out += [
            ("_build_region_layout", lambda: p._build_region_layout(**layout_kw), None),
            ("_build_region_layout/load images", lambda: p._build_region_layout(
                **dict(layout_kw, usage=None, load_images=images)), None),
            ("_build_region_layout/load image with text lma", lambda: p._build_region_layout(
                **dict(layout_kw, load_images=images + [replaced(images[0], lma="0x100")])), TypeError),
            ("_build_region_layout/missing argument", lambda: p._build_region_layout(
                **{k: v for k, v in layout_kw.items() if k != "usage"}), TypeError),
            ("_build_region_layout/section without vma", lambda: p._build_region_layout(
                **dict(layout_kw, sections=sections + [without(sections[0], "vma")])), AttributeError),
            ("_build_region_layout/huge address", lambda: p._build_region_layout(
                **dict(layout_kw, sections=sections + [replaced(sections[0], vma=2**70)])), OverflowError),
            ("_free_intervals", lambda: p._free_intervals(0, 1000, [interval(10, 20), interval(500, 600)]), None),
            ("_free_intervals/not intervals", lambda: p._free_intervals(0, 1000, [1]), (AttributeError, TypeError)),
            ("_clip_interval", lambda: p._clip_interval(interval(10, 2000), 0, 1000), None),
            ("_section_kind", lambda: p._section_kind(".stack", "RAM", stack_hint_sections=[],
                                                      heap_hint_sections=[]), None),
            ("_section_kind/null name", lambda: p._section_kind(None, "RAM", stack_hint_sections=[],
                                                                heap_hint_sections=[]), AttributeError),
            ("_boundary_payload", lambda: p._boundary_payload([5, 10.5, 20], region_start=0, region_end=100),
             None),
            ("_synthetic_range_payload", lambda: p._synthetic_range_payload(
                range_id="r", kind="free", label="l", start=0, end=9, region_size=100), None),
            ("_synthetic_range_payload/null start", lambda: p._synthetic_range_payload(
                range_id="r", kind="free", label="l", start=None, end=9, region_size=100), TypeError),
            ("_build_region_render_hints", lambda: p._build_region_render_hints(
                region=p._build_region_layout(**layout_kw), total_region_bytes=10**6, regions_count=3), None),
        ]
    return out


def outcome(fn: Callable[[], Any]) -> Any:
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the type is the outcome
        return type(exc)
    return None


def matches(got: Any, expected: Any) -> bool:
    if expected is None:
        return got is None
    if isinstance(expected, tuple):
        return any(matches(got, e) for e in expected)
    if expected is type(None):
        return got is None
    return got is not None and issubclass(got, expected)


def _measure_once(fn: Callable[[], Any], loops: int, counters: list[Callable[[], int]]) -> list[int]:
    gc.collect()
    before = [c() for c in counters]
    for _ in range(loops):
        try:
            fn()
        except Exception:  # noqa: BLE001, S110 - outcomes were checked before
            pass
    gc.collect()
    return [c() - b for c, b in zip(counters, before)]


def _noop() -> None:
    return None


def _noop_raising() -> None:
    raise ValueError("baseline")


def measure(fn: Callable[[], Any], loops: int, counters: list[Callable[[], int]], raises: bool) -> list[int]:
    """Growth over *loops* calls, less what the measuring itself allocates (the
    except clause keeps one block of its own when something was raised)."""
    own = _measure_once(_noop_raising if raises else _noop, loops, counters)
    return [a - b for a, b in zip(_measure_once(fn, loops, counters), own)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--loops", type=int, default=40, help="calls per measured run")
    parser.add_argument("--runs", type=int, default=3, help="measured runs; a leak grows in every one")
    parser.add_argument("--warmup", type=int, default=10)
    parser.add_argument("-k", dest="select", default="", help="only cases whose name holds this text")
    parser.add_argument("--blocks-only", action="store_true", help="allow a non-debug interpreter")
    parser.add_argument("--shard", default="0/1", metavar="K/N",
                        help="only every Nth selected case from the Kth (counting from 0), for N processes")
    args = parser.parse_args()
    try:
        shard, shards = (int(part) for part in args.shard.split("/"))
    except ValueError:
        parser.error(f"--shard: expected K/N, got {args.shard!r}")
    if not 0 <= shard < shards:
        parser.error(f"--shard: K must lie in 0..N-1, got {args.shard!r}")

    counters: list[Callable[[], int]] = [sys.getallocatedblocks]
    names = ["blocks"]
    if hasattr(sys, "gettotalrefcount"):
        counters.insert(0, sys.gettotalrefcount)
        names.insert(0, "refs")
    elif not args.blocks_only:
        print("this interpreter has no sys.gettotalrefcount(); run it with a debug build (python3.14d)",
              file=sys.stderr)
        return 2
    print(f"{sys.version.split()[0]} {sys.abiflags or '(release)'}; plotspec from {plotspec.__file__}")

    failures: list[str] = []
    selected = [c for c in cases() if args.select in c[0]][shard::shards]
    for name, fn, expected, *few in selected:
        loops, warmup = (min(args.loops, few[0]), min(args.warmup, few[0])) if few else (args.loops, args.warmup)
        started = time.perf_counter()
        got = outcome(fn)
        if not matches(got, expected):
            shown = got.__name__ if got else "a result"
            failures.append(f"{name}: expected {getattr(expected, '__name__', expected)}, got {shown}")
            print(f"FAIL {name}: unexpected outcome {shown}")
            continue
        for _ in range(warmup):
            outcome(fn)
        runs = [measure(fn, loops, counters, got is not None) for _ in range(args.runs)]
        # Allocator noise rises and falls; a leak grows in every run.
        leaking = [n for i, n in enumerate(names) if all(run[i] > 0 for run in runs)]
        detail = "; ".join(f"{n} {[run[i] for run in runs]}" for i, n in enumerate(names))
        label = got.__name__ if got else "ok"
        if leaking:
            failures.append(f"{name} ({label}): {detail}")
            print(f"LEAK {name} ({label}): {detail}")
        else:
            print(f"ok   {name} ({label}): {detail}; {time.perf_counter() - started:.1f} s")
    print(f"\n{len(selected)} cases, {args.runs} runs of {args.loops} calls each after {args.warmup} warm-up calls"
          " (fewer where a case says so)")
    if failures:
        print(f"{len(failures)} failing:")
        for line in failures:
            print("  " + line)
        return 1
    print("no reference or block leaks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
