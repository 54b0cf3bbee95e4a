"""Many calls and many threads: no memory growth, no cross-talk.

The host calls the modules for every build it analyses, from several threads
when it compares builds in parallel.  A per-call leak grows a long-lived
analyser without bound, and any hidden shared state shows up as results that
differ between threads.
"""

from __future__ import annotations

import gc
import importlib.util
import json
import os
import random
import sys
import threading
from collections import Counter
from pathlib import Path
from typing import Any, Callable

import pytest

from brenvale import diffreport, plotspec
from reliability_helpers import SANITIZED, Record, watchdog

ROOT = Path(__file__).resolve().parents[2]


def _generator() -> Any:
    spec = importlib.util.spec_from_file_location("brenvale_bench_generate", ROOT / "bench" / "generate.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    # dataclasses resolve their module through sys.modules while the class is made.
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


gen = _generator()
# The benchmark's "small" model (1,000 symbols, 40 sections, 4 regions): large
# enough to pass through every builder, small enough for thousands of calls.
MODEL, KWARGS = gen.contract_inputs("small", seed=5)
ENTRIES = gen.diff_entries(400, seed=6)
PAYLOAD = gen.diff_payload(300, seed=7)


def mixed_calls() -> list[tuple[str, Callable[[], Any]]]:
    sections = {s.name: s for s in MODEL.sections}
    section_to_region = {s.name: s.execution_region for s in MODEL.sections}
    calls: list[tuple[str, Callable[[], Any]]] = [
        ("contract", lambda: plotspec.build_visualization_contract(MODEL, **KWARGS)),
        ("ownership", lambda: plotspec._build_ownership_views(
            symbols=MODEL.symbols, section_map=sections, section_to_region=section_to_region,
            components=KWARGS["components"])),
        ("symbols_by_section", lambda: plotspec._symbols_by_section(MODEL.symbols)),
        ("diff_view", lambda: plotspec._build_diff_view(KWARGS["regressions"])),
        ("regressions", lambda: diffreport.rank_top_regressions(ENTRIES, limit=25)),
        ("reductions", lambda: diffreport.rank_top_reductions(ENTRIES)),
        ("added", lambda: diffreport.added_large_symbols(ENTRIES, min_size_bytes=512)),
        ("summary", lambda: diffreport.render_diff_console_summary(PAYLOAD, output_paths={"html": "r.html"})),
        ("page", lambda: diffreport.render_diff_html(PAYLOAD)),
    ]
    if hasattr(plotspec, "build_visualization_contract_json"):
        calls.append(("contract_json", lambda: plotspec.build_visualization_contract_json(MODEL, **KWARGS)))
    return calls


def error_calls() -> list[tuple[str, Callable[[], Any]]]:
    """Calls that fail part-way, after the converters have taken references."""
    bad_model = gen.NormalizedBuildModel(MODEL.sections, MODEL.symbols + [None], MODEL.memory_regions,
                                         MODEL.stack_heap_hints)
    bad_entries = ENTRIES + [gen.DiffEntry("symbol", "x", "not a number", None, "added", "y")]

    def expect(exc: type[BaseException], fn: Callable[[], Any]) -> Callable[[], Any]:
        def call() -> Any:
            try:
                fn()
            except exc as caught:
                return type(caught).__name__
            raise AssertionError("expected an exception")
        return call

    return [
        ("contract_error", expect(Exception, lambda: plotspec.build_visualization_contract(bad_model, **KWARGS))),
        ("ranking_error", expect(ValueError, lambda: diffreport.rank_top_regressions(bad_entries))),
        ("page_error", expect(TypeError, lambda: diffreport.render_diff_html({"symbols": [object()]}))),
    ]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine holds freed memory on purpose")
def test_ten_thousand_calls_do_not_grow_the_process():
    calls = mixed_calls() + error_calls()
    rnd = random.Random(11)
    schedule = [calls[rnd.randrange(len(calls))][1] for _ in range(10_000)]
    # Warm-up fills the allocator's pools and the modules' caches of interned
    # keys; without it the first few hundred calls alone grow the process ~1 MB.
    for _ in range(30):
        for _, fn in calls:
            fn()
    gc.collect()
    before = rss_bytes()
    with watchdog(600):
        for fn in schedule:
            fn()
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 5 * 1024 * 1024, f"10,000 calls grew the process by {grown / 1e6:.1f} MB"


def test_a_build_large_enough_for_two_threads_is_the_same_on_both_paths():
    # At 20,000 symbols the core shares its work between two threads.
    model, kw = gen.contract_inputs("medium", seed=11)
    assert len(model.symbols) >= 20_000
    contract = plotspec.build_visualization_contract(model, **kw)
    assert contract == json.loads(plotspec.build_visualization_contract_json(model, **kw))
    assert contract == plotspec.build_visualization_contract(model, **kw)


def test_a_build_shared_between_two_threads_equals_the_build_on_one():
    # The two threads split the steps differently from one (the owner ranks among
    # them): every part of the contract must come out the same either way.
    model, kw = gen.contract_inputs("medium", seed=5)
    shared = plotspec._contract_phase_times(model, **kw)
    alone = plotspec._contract_phase_times(model, **kw, one_thread=True)
    assert shared["two_threads"] and not alone["two_threads"]
    assert shared["contract"] == alone["contract"] == plotspec.build_visualization_contract(model, **kw)


def test_eight_threads_get_the_sequential_results():
    calls = mixed_calls() + error_calls()
    expected = {name: fn() for name, fn in calls}
    threads = 8
    rounds = 3 if SANITIZED else 12
    barrier = threading.Barrier(threads)
    failures: list[str] = []
    lock = threading.Lock()

    def worker(seed: int) -> None:
        rnd = random.Random(seed)
        order = [calls[rnd.randrange(len(calls))] for _ in range(rounds * len(calls))]
        barrier.wait()
        for name, fn in order:
            try:
                got = fn()
            except BaseException as exc:  # noqa: BLE001 - any surprise is a failure to report
                got = exc
            if got != expected[name]:
                with lock:
                    failures.append(f"thread {seed}: {name} differs: {str(got)[:200]}")

    old = sys.getswitchinterval()
    # Frequent switches interleave the threads inside the calls' Python parts.
    sys.setswitchinterval(1e-5)
    try:
        with watchdog(600):
            pool = [threading.Thread(target=worker, args=(seed,)) for seed in range(threads)]
            for t in pool:
                t.start()
            for t in pool:
                t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[:5]
    # The inputs were only read.
    assert {name: fn() for name, fn in calls} == expected


def test_callers_changing_their_objects_during_calls_cause_no_crash():
    # Not a supported use, but the host's process must survive it: the modules
    # borrow text buffers from the caller's str objects, which another thread
    # may drop at any moment by replacing list items and attributes.
    # Plain records (the host's are frozen) so that the mutator can rebind attributes.
    symbols = [Record(name=f"s{i}" * 3, demangled_name=None, address=0x0800_0000 + i, size=i % 50,
                      section_name=MODEL.sections[i % 8].name, object_file=f"o{i % 7}.o", archive=None,
                      source_file=None, compilation_unit=None) for i in range(400)]
    model = gen.NormalizedBuildModel(MODEL.sections[:8], symbols, MODEL.memory_regions, MODEL.stack_heap_hints)
    payload = {"status": "ok", "symbols": [{"name": f"n{i}"} for i in range(300)],
               "top_regressions": [{"kind": "symbol", "name": f"r{i}", "delta": i} for i in range(20)]}
    stop = threading.Event()
    surprises: list[BaseException] = []
    results = Counter()

    def mutate() -> None:
        rnd = random.Random(3)
        try:
            mutate_until_stopped(rnd)
        except BaseException as exc:  # noqa: BLE001 - a dead mutator would make the test pass vacuously
            surprises.append(exc)

    def mutate_until_stopped(rnd: random.Random) -> None:
        while not stop.is_set():
            results["mutations"] += 1
            i = rnd.randrange(len(symbols))
            symbols[i] = Record(name=f"x{rnd.random()}", demangled_name=None, address=1, size=4,
                                section_name="gone", object_file=None, archive=None, source_file=None,
                                compilation_unit=None)
            symbols[rnd.randrange(len(symbols))].name = "".join(rnd.choice("ab\u00e9\U0001f600") for _ in range(9))
            payload["symbols"][rnd.randrange(300)] = {"name": str(rnd.random())}
            payload["top_regressions"][rnd.randrange(20)]["name"] = str(rnd.random())
            if rnd.random() < 0.01:
                payload["symbols"] = [{"name": str(rnd.random())} for _ in range(300)]

    def call() -> None:
        for _ in range(15 if SANITIZED else 60):
            for fn in (lambda: plotspec.build_visualization_contract(model, **KWARGS),
                       lambda: plotspec._symbols_by_section(symbols),
                       lambda: diffreport.render_diff_html(payload),
                       lambda: diffreport.render_diff_console_summary(payload)):
                try:
                    fn()
                    results["ok"] += 1
                except (TypeError, ValueError, AttributeError, KeyError, RuntimeError) as exc:
                    results[type(exc).__name__] += 1
                except BaseException as exc:  # noqa: BLE001 - SystemError and the like end up here
                    surprises.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with watchdog(600):
            mutator = threading.Thread(target=mutate)
            callers = [threading.Thread(target=call) for _ in range(3)]
            mutator.start()
            for t in callers:
                t.start()
            for t in callers:
                t.join()
            stop.set()
            mutator.join()
    finally:
        stop.set()
        sys.setswitchinterval(old)
    assert not surprises, surprises[:3]
    assert results["ok"] > 0 and results["mutations"] > 100, results
