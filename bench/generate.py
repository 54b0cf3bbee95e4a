"""Deterministic generators of build models and diff payloads for the benchmarks.

Every figure the benchmarks print is measured on inputs made here from a fixed
seed, so two runs (or two machines) measure the same work.
"""

from __future__ import annotations

import random
from typing import Any

from brenvale.records import (
    ComponentGroup,
    DiffEntry,
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    PaddingWasteResult,
    RegionCategory,
    RegionUsageResult,
    SectionPlacement,
    SymbolEntry,
)

SIZES = {
    # name: (symbols, sections, regions, objects, archives, components, issues)
    "small": (1_000, 40, 4, 60, 6, 10, 20),
    "medium": (20_000, 400, 8, 600, 24, 60, 100),
    "large": (200_000, 2_000, 16, 3_000, 120, 300, 500),
    # Ten times the large model in symbols, for the growth of the cost per symbol.
    "huge": (2_000_000, 10_000, 16, 15_000, 600, 1_500, 2_500),
}


_KINDS = [".text", ".rodata", ".data", ".bss", ".noinit", ".stack", ".heap", ".vectors"]


def contract_inputs(size: str = "large", seed: int = 1) -> tuple[NormalizedBuildModel, dict[str, Any]]:
    """A build model and the keyword arguments of build_visualization_contract."""
    n_sym, n_sec, n_reg, n_obj, n_arc, n_comp, n_iss = SIZES[size]
    rnd = random.Random(seed)
    regions = []
    base = 0x0800_0000
    region_span = 1 << 22
    for r in range(n_reg):
        cat = RegionCategory.FLASH if r % 2 == 0 else RegionCategory.RAM
        name = f"{'FLASH' if cat is RegionCategory.FLASH else 'RAM'}{r}"
        start = base + r * region_span
        regions.append(MemoryRegion(name, start, start + region_span - 1, region_span, cat))
    sections = []
    per_region = max(1, n_sec // n_reg)
    for s in range(n_sec):
        reg = regions[min(s // per_region, n_reg - 1)]
        idx = s % per_region
        kind = _KINDS[s % len(_KINDS)]
        size_ = rnd.randrange(64, region_span // (per_region + 1) // 2)
        vma = reg.start_address + idx * (region_span // (per_region + 1))
        # Initialised data runs where it is and is stored in the first region, as
        # .data is in flash; everything else is stored where it runs.
        stored = kind == ".data" and reg is not regions[0]
        load, lma = (regions[0].name, regions[0].start_address + (s * 64) % region_span) if stored else (reg.name, vma)
        sections.append(SectionPlacement(f"{kind}.s{s}", reg.name, load, vma, lma, size_,
                                         rnd.choice([0, 0, 4, 8]), rnd.choice([0, 0, 2, 16])))
    objects = [f"src/mod{o % 97}/obj{o}.o" for o in range(n_obj)]
    archives = [f"lib{a}.a" for a in range(n_arc)]
    symbols = []
    for i in range(n_sym):
        sec = sections[rnd.randrange(n_sec)]
        o = rnd.randrange(n_obj)
        mangled = f"_ZN3app{i}fnEv" if i % 5 == 0 else f"sym_{i}"
        symbols.append(SymbolEntry(
            name=mangled,
            demangled_name=f"app::fn{i}()" if i % 5 == 0 else None,
            address=sec.vma + rnd.randrange(max(sec.size, 1)),
            size=rnd.choice([0, 2, 4, 8, 16, 32, 64, 128, 256, 1024, rnd.randrange(1, 5000)]),
            section_name=sec.name,
            object_file=objects[o] if i % 11 else None,
            archive=archives[o % n_arc],
            source_file=f"src/mod{o % 97}/file{o}.c",
            compilation_unit=f"cu{o}" if i % 3 == 0 else None,
        ))
    components = []
    for c in range(n_comp):
        objs = objects[c::n_comp]
        components.append(ComponentGroup(f"component-{c:03d}", objs, rnd.randrange(1 << 20), rnd.randrange(1 << 16),
                                         [f"s{c}-{k}" for k in range(rnd.randrange(1, 20))]))
    issues = []
    cats = [IssueCategory.OVERFLOW, IssueCategory.POLICY, IssueCategory.RESERVED, IssueCategory.ALIGNMENT]
    for k in range(n_iss):
        ents = [rnd.choice(sections).name for _ in range(rnd.randrange(1, 4))]
        if k % 7 == 0:
            ents.append(rnd.choice(regions).name)
        issues.append(Issue(f"ISSUE-{k:04d}", f"Issue {k}", "Generated issue <for> benchmarks & tests",
                            rnd.choice(list(IssueSeverity)), cats[k % len(cats)], ents))
    model = NormalizedBuildModel(sections, symbols, regions,
                                 {"stack_sections": [s.name for s in sections if s.name.startswith(".stack")][:5],
                                  "heap_sections": [s.name for s in sections if s.name.startswith(".heap")][:5]})
    usage = {}
    padding = {}
    for reg in regions:
        used = sum(s.size for s in sections if s.execution_region == reg.name)
        usage[reg.name] = RegionUsageResult(used, max(reg.size - used, 0), max(used - reg.size, 0), used / reg.size)
        padding[reg.name] = sum(s.padding_before + s.padding_after for s in sections if s.execution_region == reg.name)
    regressions = {
        "status": "ok",
        "flash_delta_bytes": rnd.randrange(-5000, 5000),
        "ram_delta_bytes": rnd.randrange(-500, 500),
        "sections": {s.name: {"delta_bytes": rnd.randrange(-300, 300)} for s in sections},
        "regions": {r.name: {"current": u.utilization_ratio, "baseline": max(u.utilization_ratio - 0.01, 0.0),
                             "delta": 0.01} for r, u in ((r, usage[r.name]) for r in regions)},
    }
    kwargs = dict(region_usage=usage, padding_waste=PaddingWasteResult(padding), components=components,
                  issues=issues, regressions=regressions,
                  features={"sankey_enabled": True, "relationship_graph_enabled": True})
    return model, kwargs


def diff_entries(n: int, seed: int = 2) -> list[DiffEntry]:
    rnd = random.Random(seed)
    kinds = ["symbol", "section", "region", "component"]
    statuses = ["changed", "added", "removed", "unchanged"]
    out = []
    for i in range(n):
        cur = rnd.randrange(0, 100_000)
        delta = rnd.randrange(-5000, 5000)
        out.append(DiffEntry(rnd.choice(kinds), f"entity_{i}", delta, delta / max(cur, 1) * 100,
                             rnd.choice(statuses), cur))
    return out


def diff_payload(n_symbols: int = 100_000, seed: int = 3) -> dict[str, Any]:
    """A diff payload whose raw symbol list has n_symbols rows."""
    rnd = random.Random(seed)

    def row(kind: str, i: int) -> dict[str, Any]:
        base = rnd.randrange(0, 50_000)
        delta = rnd.randrange(-2000, 2000)
        return {"kind": kind, "name": f"{kind}_{i}_\u00e9", "baseline": base, "current": base + delta,
                "delta": delta, "delta_pct": round(delta / max(base, 1) * 100, 3), "status": "changed"}

    symbols = [row("symbol", i) for i in range(n_symbols)]
    ranked = sorted(symbols, key=lambda r: -r["delta"])
    return {
        "status": "ok",
        "current_schema_version": "1.0",
        "baseline_schema_version": "1.0",
        "flash_delta_bytes": 4521,
        "ram_delta_bytes": -1280,
        "top_regressions": [{k: r[k] for k in ("kind", "name", "delta", "delta_pct", "status")} for r in ranked[:10]],
        "top_reductions": [{k: r[k] for k in ("kind", "name", "delta", "delta_pct", "status")} for r in ranked[-10:]],
        "regions": [{"kind": "region", "name": f"RAM{i}", "delta": 0.01 * (i - 2), "current": 0.5, "baseline": 0.5 - 0.01 * (i - 2)}
                    for i in range(5)],
        "sections": [row("section", i) for i in range(200)],
        "symbols": symbols,
        "components": [row("component", i) for i in range(50)],
        "current_build": {"path": "build/current/app.map", "target_name": "demo", "analysis_timestamp": "2026-12-07T10:00:00Z",
                          "tool_version": "0.1.0", "total_flash": 412_345, "total_ram": 65_432},
        "baseline_build": {"path": "build/baseline/app.map", "target_name": "demo", "analysis_timestamp": "2026-12-01T10:00:00Z",
                           "tool_version": "0.1.0", "total_flash": 407_824, "total_ram": 66_712},
    }
