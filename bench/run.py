"""Benchmarks of both modules: every figure is measured in this one run.

    python bench/run.py [--repeat N] [--quick]

Prints medians of N runs (default 5; the largest inputs fewer) and, for each
target, the ratio or figure it is stated in and whether this run met it.
--quick uses the medium model instead of the large one and small maps (a smoke
run whose figures are not held to the targets).
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
from brenvale import _benchfloor, diffreport, plotspec  # noqa: E402
from brenvale.readers.gnu_ld import read_map  # noqa: E402


def phase_times(model: object, kw: dict, one_thread: bool = False) -> dict:
    """The contract build's phase and step times, its result dropped at once."""
    times = plotspec._contract_phase_times(model, **kw, one_thread=one_thread)
    del times["contract"]
    return times


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result  # freeing the result is the caller's cost, not the call's
    return statistics.median(times)


def ms(seconds: float) -> str:
    return f"{seconds * 1000:8.1f} ms"


def row(label: str, value: str, note: str = "") -> None:
    print(f"  {label:<58} {value}{('   ' + note) if note else ''}")


def target(label: str, value: str, note: str, met: bool) -> None:
    row(label, value, f"{note}: {'met' if met else 'NOT met'}")


def in_child(size: str, code: str, env: dict[str, str] | None = None) -> str:
    """What `code` prints, run in a fresh interpreter with the model `m` and the
    contract's keyword arguments `kw` of `size` made."""
    prelude = f"""
import sys
sys.path.insert(0, {str(HERE)!r})
import generate
from brenvale import plotspec
m, kw = generate.contract_inputs({size!r})
"""
    done = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True, check=True, env=env)
    for line in done.stderr.splitlines():
        if line.startswith("no_cost_malloc:"):
            print(f"    ({line}: the next figure is no floor)")
    return done.stdout


def peak_extra_memory(size: str) -> tuple[int, int]:
    """Peak RSS growth of one contract build beyond the returned contract, in a fresh process."""
    code = """
import gc
gc.collect()
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
open('/proc/self/clear_refs', 'w').write('5')
before = status('VmRSS:')
c = plotspec.build_visualization_contract(m, **kw)
after = status('VmRSS:')
peak = status('VmHWM:')
print(peak - after, len(m.symbols))
"""
    extra, nsym = in_child(size, code).split()
    return int(extra), int(nsym)


# glibc keeps freed memory and grows its heaps far ahead, and backs them with huge
# pages: then a build's result tree costs no fresh pages. Only a benchmark may set
# this (it is the whole process's), so it runs in a child.
HELD_MEMORY = "glibc.malloc.top_pad=268435456:glibc.malloc.trim_threshold=1073741824:glibc.malloc.hugetlb=1"


def core_in_child(size: str, r: int, env: dict[str, str] | None = None, one_thread: bool = False) -> float:
    """Median wall time of the core in a fresh interpreter with `env` added."""
    code = f"""
import statistics
for _ in range(2):
    plotspec._contract_phase_times(m, **kw, one_thread={one_thread})
print(statistics.median(plotspec._contract_phase_times(m, **kw, one_thread={one_thread})["core"]
                        for _ in range({max(r, 5)})))
"""
    return float(in_child(size, code, dict(os.environ, **(env or {}))))


def faster_allocator() -> str | None:
    """A malloc that keeps freed memory per thread and allocates without locks, when
    the machine has one (Debian's libtcmalloc-minimal4)."""
    import ctypes.util
    return ctypes.util.find_library("tcmalloc_minimal")


def no_cost_malloc(directory: str) -> str | None:
    """no_cost_malloc.c built into `directory`, when the machine has a C compiler."""
    out = Path(directory) / "no_cost_malloc.so"
    try:
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(out), str(HERE / "no_cost_malloc.c")],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return str(out)


def map_maker():
    """The large-map maker of the reader's speed test: copies of a real map's text block."""
    path = HERE.parent / "tests" / "python" / "test_mapfile_speed.py"
    spec = importlib.util.spec_from_file_location("brenvale_bench_mapfile_speed", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.make_large_map


def cli() -> list[str]:
    """The installed command beside this interpreter, else the module."""
    script = Path(sys.executable).with_name("brenvale")
    return [str(script)] if script.exists() else [sys.executable, "-m", "brenvale"]


def wall_time(argv: list[str], output: Path, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        output.unlink(missing_ok=True)
        t0 = time.perf_counter()
        done = subprocess.run(argv, capture_output=True, text=True)
        times.append(time.perf_counter() - t0)
        # 3: the copied text block overflows the map's flash region, which the
        # command reports after writing everything; still the whole run.
        if done.returncode not in (0, 3) or not output.exists():
            raise SystemExit(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return statistics.median(times)


def core_profile(size: str, model: object, kw: dict, phases: list[dict], r: int) -> None:
    """What is left in the core: each step's wall time, shared between two threads and
    on one; the longest chain of the two threads, and that chain's steps alone."""
    alone = [phase_times(model, kw, one_thread=True) for _ in range(r)]
    shared = phases[0]["two_threads"]

    def step(runs: list[dict], name: str) -> float:
        return statistics.median(p["steps"][name] for p in runs)

    names = list(phases[0]["steps"])
    print(f"    core steps, wall time ({'two threads' if shared else 'one thread'} | one thread)")
    for name in names:
        if step(alone, name) >= 0.001 or step(phases, name) >= 0.001:
            row(f"    {name}", ms(step(phases, name)), f"| {ms(step(alone, name)).strip()}")
    rest = [n for n in names if step(alone, n) < 0.001 and step(phases, n) < 0.001]
    row(f"    the {len(rest)} other steps together", ms(sum(step(phases, n) for n in rest)))
    row("  the core on one thread", ms(statistics.median(p["core"] for p in alone)))
    if shared:
        # The second thread runs the owner ranks, then the ownership views.
        chain = ("owner ranks", "ownership views")
        row("  longest chain: owner ranks + ownership views", ms(sum(step(phases, n) for n in chain)),
            "the second thread's steps")
        row("floor: that chain's steps, each on one thread", ms(sum(step(alone, n) for n in chain)),
            "what two threads cost them is the difference")
    # What allocation costs the core: the same build in children, as it is, with the
    # allocator's memory held, and with another allocator.
    plain = core_in_child(size, r), core_in_child(size, r, one_thread=True)
    row("  the core in a child process (two threads | one thread)", ms(plain[0]), f"| {ms(plain[1]).strip()}")
    row("floor: the core with memory held by the allocator", ms(core_in_child(size, r, {"GLIBC_TUNABLES": HELD_MEMORY})),
        "glibc's top_pad and huge pages, in a child: no fresh pages")
    tcmalloc = faster_allocator()
    if tcmalloc:
        fast = (core_in_child(size, r, {"LD_PRELOAD": tcmalloc}),
                core_in_child(size, r, {"LD_PRELOAD": tcmalloc}, one_thread=True))
        row("  the core with tcmalloc (two threads | one thread)", ms(fast[0]),
            f"| {ms(fast[1]).strip()}   {fast[0] / plain[0]:.2f}x | {fast[1] / plain[1]:.2f}x the child as it is")
    else:
        row("  the core with tcmalloc", "     not run", "libtcmalloc_minimal is not installed")
    # The best a per-call arena could do: allocation that costs nothing and meets no
    # fresh page (what is left of the core is then its own work).
    with tempfile.TemporaryDirectory(prefix="brenvale-bench-") as directory:
        free_alloc = no_cost_malloc(directory)
        if free_alloc:
            # Nothing is reused, so the region holds every run of the child.
            env = {"LD_PRELOAD": free_alloc, "NO_COST_MALLOC_GIB": "8" if size == "large" else "2"}
            free = core_in_child(size, r, env), core_in_child(size, r, env, one_thread=True)
            row("floor: the core, allocation free (two | one thread)", ms(free[0]),
                f"| {ms(free[1]).strip()}   {free[0] / plain[0]:.2f}x | {free[1] / plain[1]:.2f}x the child as it is;"
                " bench/no_cost_malloc.c")
        else:
            row("floor: the core with allocation free", "     not run", "no C compiler (cc) to build it")


def first_build(model: object, kw: dict) -> float:
    """Seconds of a model's first contract build, which meets fresh pages from the
    system; its result is dropped at once."""
    gc.collect()
    t0 = time.perf_counter()
    plotspec.build_visualization_contract(model, **kw)
    elapsed = time.perf_counter() - t0
    gc.collect()
    return elapsed


def contract_section(size: str, r: int) -> None:
    model, kw = generate.contract_inputs(size)
    print(f"\ncontract ({len(model.symbols):,} symbols, {len(model.sections):,} sections, both relationship views on)")
    # Measured in the state of the floors and phases below (the first build printed apart).
    first = first_build(model, kw)
    total = median_time(lambda: plotspec.build_visualization_contract(model, **kw), r)
    phases = [phase_times(model, kw) for _ in range(r)]
    p_in = statistics.median(p["input"] for p in phases)
    p_core = statistics.median(p["core"] for p in phases)
    p_out = statistics.median(p["output"] for p in phases)
    p_cpu = statistics.median(p["core_cpu"] for p in phases)
    floor_read = median_time(lambda: _benchfloor.read_floor(model), r)
    contract = plotspec.build_visualization_contract(model, **kw)
    floor_create = median_time(lambda: _benchfloor.create_floor(contract), r)
    floor_write = statistics.median(_benchfloor.write_floor(contract, r))
    object_floor = floor_read + floor_create
    tree = _benchfloor.tree_floor(contract, r)
    tree_build = statistics.median(t[0] for t in tree)
    tree_free = statistics.median(t[1] for t in tree)
    target("core work (wall)", ms(p_core), "target <= 60 ms", p_core <= 0.060)
    row("  processor time of its threads", ms(p_cpu),
        f"{p_cpu / p_core:.2f}x the wall time (a large build runs on two)")
    core_profile(size, model, kw, phases, r)
    row("floor: building a copy of its result tree in the core", ms(tree_build),
        f"and {tree_free * 1000:.1f} ms to free it")
    target("build_visualization_contract total", ms(total),
           f"{total / object_floor:.2f}x (C read + C create) (target <= 1.3x)", total <= 1.3 * object_floor)
    row("  the process's first build, before the runs above", ms(first))
    row("  input conversion", ms(p_in), f"{p_in / floor_read:.2f}x the bare C read")
    row("  output conversion", ms(p_out), f"{p_out / floor_create:.2f}x creating the same objects")
    row("floor: bare C read of the same fields", ms(floor_read))
    row("floor: creating the same dicts and lists from C", ms(floor_create))

    as_json = median_time(lambda: plotspec.build_visualization_contract_json(model, **kw), r)
    json_floor = floor_read + floor_write
    target("build_visualization_contract_json", ms(as_json),
           f"{as_json / json_floor:.2f}x (C read + C write) (target <= 2x)", as_json <= 2 * json_floor)
    row("floor: the core's JSON writer on the built tree, one thread", ms(floor_write))
    same = plotspec.build_visualization_contract_json(model, **kw) == json.dumps(
        contract, ensure_ascii=False).encode("utf-8", "surrogatepass")
    target("JSON path bytes == json.dumps(contract, ensure_ascii=False)", f"{'yes' if same else 'NO':>11}",
           "must hold", same)
    dumps = median_time(lambda: json.dumps(contract, ensure_ascii=False), r)
    row("build_visualization_contract + json.dumps", ms(total + dumps),
        f"the JSON path is {as_json / (total + dumps):.0%} of it")
    del contract

    def two_threads() -> float:
        other_model, other_kw = generate.contract_inputs(size, seed=7)
        jobs = [(model, kw), (other_model, other_kw)]
        results: list[object] = []

        def build(m: object, k: dict) -> None:
            results.append(plotspec.build_visualization_contract(m, **k))  # freed after timing, as for one build

        threads = [threading.Thread(target=build, args=(m, k)) for m, k in jobs]
        gc.collect()
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - t0
        del results[:]
        return elapsed

    together = statistics.median(two_threads() for _ in range(max(3, r // 2)))
    row("two threads, one contract each", ms(together), f"{together / total:.2f}x one build")

    extra, nsym = peak_extra_memory(size)
    target("peak extra memory beyond the contract", f"{extra / 2**20:8.1f} MB",
           f"{extra / nsym:.0f} bytes per symbol (target <= 64)", extra / nsym <= 64)


def scaling_section(sizes: tuple[str, ...], r: int) -> None:
    print("\nlinear cost (contract object path, time per symbol)")
    per_symbol, read_per_symbol = [], []
    for size in sizes:
        model, kw = generate.contract_inputs(size)
        n = len(model.symbols)
        # The largest model once or twice: its run alone is seconds.
        reps = r if n <= 200_000 else max(1, r // 4)
        # Every size measured in the same state, after its first build (a second more
        # at 2,000,000 symbols), which a median over several runs leaves out but a
        # single run would not.
        first_build(model, kw)
        t = median_time(lambda: plotspec.build_visualization_contract(model, **kw), reps)
        read = median_time(lambda: _benchfloor.read_floor(model), reps)
        per_symbol.append(t / n)
        read_per_symbol.append(read / n)
        row(f"{n:,} symbols", ms(t),
            f"{t / n * 1e9:.0f} ns per symbol; bare C read {read / n * 1e9:.0f} ns"
            f" (median of {reps} after one untimed build)")
        del model, kw
        gc.collect()
    spread = max(per_symbol) / min(per_symbol)
    target("per-symbol times agree", f"{spread:10.2f}x", "largest / smallest (target <= 1.5x)", spread <= 1.5)
    # What the memory hierarchy alone does to a pass over the same objects.
    read_spread = max(read_per_symbol) / min(read_per_symbol)
    row("floor: the bare C read's per-symbol times", f"{read_spread:10.2f}x", "largest / smallest")


def diff_section(quick: bool, r: int) -> None:
    print("\ndiff report")
    payload = generate.diff_payload(20_000 if quick else 100_000)
    html = median_time(lambda: diffreport.render_diff_html(payload), r)
    dumps_symbols = median_time(lambda: json.dumps(payload["symbols"], indent=2), r)
    target(f"render_diff_html ({len(payload['symbols']):,} symbol rows)", ms(html),
           f"{html / dumps_symbols:.2f}x json.dumps(symbols, indent=2) (target <= 0.5x)", html <= 0.5 * dumps_symbols)
    row("json.dumps(symbols, indent=2)", ms(dumps_symbols))
    # What the page's size alone costs: one text of its length and width, every
    # character written once (a page of one character wider than Latin-1 takes two
    # bytes a character throughout).
    page = diffreport.render_diff_html(payload)
    length, widest = len(page), ord(max(page))
    del page
    blank = statistics.median(_benchfloor.text_floor(length, widest) for _ in range(max(r, 3)))
    row("floor: a text of the page's length and width, written once", ms(blank),
        f"{blank / dumps_symbols:.2f}x the dumps; {length:,} characters of {'1' if widest < 256 else '2' if widest < 65536 else '4'} bytes")
    del payload
    entries = generate.diff_entries(200_000 if quick else 1_000_000)
    rr = max(1, r // 2)
    # The ranking and its floor take tens of milliseconds: a median of several, or a
    # single swing of the host decides the ratio.
    rank = median_time(lambda: diffreport.rank_top_regressions(entries), max(r, 3))
    floor_c = median_time(lambda: _benchfloor.read_entries_floor(entries), max(r, 3))
    target(f"rank_top_regressions ({len(entries):,} entries)", ms(rank),
           f"{rank / floor_c:.2f}x the C read of kind/name/delta (target <= 1.5x)", rank <= 1.5 * floor_c)
    rank_all = median_time(lambda: diffreport.rank_top_regressions(entries, limit=None), rr)
    row("  the same with limit=None (every grown entry ordered)", ms(rank_all))
    row("floor: C read of kind, name and delta", ms(floor_c))
    floor_held = median_time(lambda: _benchfloor.read_entries_held_floor(entries), rr)
    row("floor: the same, the grown entries' values held to the end", ms(floor_held),
        f"ranking is {rank / floor_held:.2f}x this")
    floor_py = median_time(lambda: [(e.kind, e.name, e.delta) for e in entries], rr)
    row("reading kind/name/delta in Python", ms(floor_py))


def end_to_end_section(quick: bool, r: int) -> None:
    make_large_map = map_maker()
    command = cli()
    reps = min(r, 3)
    with tempfile.TemporaryDirectory(prefix="brenvale-bench-") as directory:
        d = Path(directory)
        current, baseline = d / "current.map", d / "baseline.map"
        big = 5_000_000 if quick else 50_000_000
        make_large_map(current, big)
        make_large_map(baseline, big * 49 // 50)  # a few copies fewer: the diff has growth to rank
        nsym = len(read_map(current, progress=False).model.symbols)
        print(f"\nend to end ({current.stat().st_size / 1e6:.1f} MB GNU ld map, {nsym:,} symbols; "
              f"{Path(command[0]).name} as a subprocess, median of {reps})")
        out = d / "contract.json"
        contract = wall_time([*command, "contract", str(current), "-o", str(out)], out, reps)
        target("brenvale contract MAP", ms(contract), "target <= 1.0 s", contract <= 1.0)
        out = d / "diff.html"
        diff = wall_time([*command, "diff", str(baseline), str(current), "--html", str(out)], out, reps)
        target("brenvale diff BASELINE CURRENT --html", ms(diff), "target <= 1.5 s", diff <= 1.5)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    size = "medium" if args.quick else "large"
    r = args.repeat
    started = time.perf_counter()
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, model '{size}', median of {r} runs")
    contract_section(size, r)
    scaling_section(("small", "medium") if args.quick else ("medium", "large", "huge"), r)
    diff_section(args.quick, r)
    end_to_end_section(args.quick, r)
    print(f"\n(whole run {time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
