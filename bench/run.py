"""Benchmarks of both modules: every figure is measured in this one run.

    python bench/run.py [--repeat N] [--quick]

Prints medians of N runs (default 5) and the ratios the targets are stated in.
--quick uses the medium model instead of the large one (a smoke run).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate  # noqa: E402
from brenvale import _benchfloor, diffreport, plotspec  # noqa: E402


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


def peak_extra_memory(size: str) -> tuple[int, int]:
    """Peak RSS growth of one contract build beyond the returned contract, in a fresh process."""
    code = f"""
import sys, gc
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
import generate
from brenvale import plotspec
m, kw = generate.contract_inputs({size!r})
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
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    extra, nsym = out.stdout.split()
    return int(extra), int(nsym)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    size = "medium" if args.quick else "large"
    r = args.repeat
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, model '{size}', median of {r} runs")

    model, kw = generate.contract_inputs(size)
    print(f"\ncontract ({len(model.symbols):,} symbols, {len(model.sections):,} sections, both relationship views on)")
    total = median_time(lambda: plotspec.build_visualization_contract(model, **kw), r)
    phases = [plotspec._contract_phase_times(model, **kw) for _ in range(r)]
    p_in = statistics.median(p["input"] for p in phases)
    p_core = statistics.median(p["core"] for p in phases)
    p_out = statistics.median(p["output"] for p in phases)
    floor_read = median_time(lambda: _benchfloor.read_floor(model), r)
    contract = plotspec.build_visualization_contract(model, **kw)
    floor_create = median_time(lambda: _benchfloor.create_floor(contract), r)
    row("build_visualization_contract total", ms(total), "target <= 250 ms")
    row("  input conversion", ms(p_in), f"{p_in / floor_read:.2f}x the bare C read (target <= 1.5x)")
    row("  core work", ms(p_core), f"{p_core / total:.0%} of the total (target <= 25%)")
    row("  output conversion", ms(p_out), f"{p_out / floor_create:.2f}x creating the same objects (target <= 1.5x)")
    row("floor: bare C read of the same fields", ms(floor_read))
    row("floor: creating the same dicts and lists from C", ms(floor_create))

    as_json = median_time(lambda: plotspec.build_visualization_contract_json(model, **kw), r)
    dumps = median_time(lambda: json.dumps(contract, ensure_ascii=False), r)
    row("build_visualization_contract_json", ms(as_json), "target <= 100 ms")
    row("build_visualization_contract + json.dumps", ms(total + dumps),
        f"JSON path is {as_json / (total + dumps):.0%} of it (target <= 25%)")

    def two_threads() -> None:
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
    row("two threads, one contract each", ms(together), f"{together / total:.2f}x one build (target <= 1.6x)")

    extra, nsym = peak_extra_memory(size)
    row("peak extra memory beyond the contract", f"{extra / 2**20:8.1f} MB",
        f"{extra / nsym:.0f} bytes per symbol (target <= 300)")

    print("\ndiff report")
    payload = generate.diff_payload(20_000 if args.quick else 100_000)
    html = median_time(lambda: diffreport.render_diff_html(payload), r)
    dumps_symbols = median_time(lambda: json.dumps(payload["symbols"], indent=2), r)
    row(f"render_diff_html ({len(payload['symbols']):,} symbol rows)", ms(html),
        f"{html / dumps_symbols:.2f}x json.dumps(symbols, indent=2) (target <= 0.5x)")
    row("json.dumps(symbols, indent=2)", ms(dumps_symbols))
    entries = generate.diff_entries(200_000 if args.quick else 1_000_000)
    rank = median_time(lambda: diffreport.rank_top_regressions(entries), max(1, r // 2))
    floor_attr = median_time(lambda: [(e.kind, e.name, e.delta) for e in entries], max(1, r // 2))
    row(f"rank_top_regressions ({len(entries):,} entries)", ms(rank),
        f"reading kind/name/delta in Python alone: {ms(floor_attr).strip()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
