"""The build comparison: diff entries, the diff payload and the contract's regressions map."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brenvale import diffreport
from brenvale.compare import (
    compare_builds,
    contract_regressions,
    delta_percent,
    describe_build,
    diff_payload,
    flash_and_ram_totals,
)
from brenvale.model_io import load_build
from brenvale.pipeline import build_contract, load_input
from brenvale.records import (
    BuildInput,
    ComponentGroup,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)
from brenvale.samples import BASELINE_SAMPLE, DEFAULT_SAMPLE, sample_path

FLASH = MemoryRegion("FLASH", 0, 999, 1000, RegionCategory.FLASH)
RAM = MemoryRegion("RAM", 0x2000_0000, 0x2000_0000 + 399, 400, RegionCategory.RAM)
OTHER = MemoryRegion("IDT", 0xFFFF_0000, 0xFFFF_00FF, 256, RegionCategory.OTHER)


def section(name, region, size, vma=0, load=None):
    return SectionPlacement(name, region, load or region, vma, vma, size, 0, 0)


def symbol(name, section_name, size, object_file="main.o", archive=None):
    return SymbolEntry(name, None, 0, size, section_name, object_file, archive, None, None)


def build(sections, symbols=(), components=(), regions=(FLASH, RAM), metadata=None):
    model = NormalizedBuildModel(sections=list(sections), symbols=list(symbols), memory_regions=list(regions))
    return BuildInput(model=model, components=list(components), metadata=dict(metadata or {}))


def pair():
    """A baseline and a current build that differ in every way the comparison reports."""
    baseline = build(
        [section(".text", "FLASH", 300), section(".data", "RAM", 40, 0x2000_0000, load="FLASH"),
         section(".bss", "RAM", 100, 0x2000_0100), section(".old", "FLASH", 20, 400)],
        [symbol("main", ".text", 200), symbol("helper", ".text", 100), symbol("legacy", ".old", 20),
         symbol("buffer", ".bss", 100, "buf.o")],
        [ComponentGroup("app", ["main.o"], 320, 0, ["main", "helper"]), ComponentGroup("gone", [], 5, 5, [])],
    )
    current = build(
        [section(".text", "FLASH", 420), section(".data", "RAM", 40, 0x2000_0000, load="FLASH"),
         section(".bss", "RAM", 60, 0x2000_0100), section(".new", "FLASH", 8, 500)],
        [symbol("main", ".text", 200), symbol("helper", ".text", 120), symbol("printf", ".text", 100, "libc.o"),
         symbol("buffer", ".bss", 60, "buf.o")],
        [ComponentGroup("app", ["main.o"], 440, 0, ["main", "helper"]), ComponentGroup("libc", ["libc.o"], 100, 0, [])],
    )
    return baseline, current


def entry_map(comparison):
    return {(e.kind, e.name): e for e in comparison.entries}


class TestTotals:
    def test_initialised_data_counts_in_flash_and_ram(self):
        baseline, _ = pair()
        # .text + .old + .data's load image in flash; .data + .bss in RAM.
        assert flash_and_ram_totals(baseline.model) == (300 + 20 + 40, 40 + 100)

    def test_sections_outside_flash_and_ram_count_nowhere(self):
        b = build([section("idt", "IDT", 64, 0xFFFF_0000), section("lost", None, 8), section("neg", "FLASH", -4)],
                  regions=(FLASH, RAM, OTHER))
        assert flash_and_ram_totals(b.model) == (0, 0)


class TestEntries:
    def test_statuses_deltas_and_current_sizes(self):
        baseline, current = pair()
        entries = entry_map(compare_builds(current, baseline))
        expected = {
            # .data's load image (40 bytes) is stored in FLASH in both builds.
            ("region", "FLASH"): ("changed", 468 - 360, 468),
            ("region", "RAM"): ("changed", -40, 100),
            ("section", ".text"): ("changed", 120, 420),
            ("section", ".data"): ("unchanged", 0, 40),
            ("section", ".new"): ("added", 8, 8),
            ("section", ".old"): ("removed", -20, 0),
            ("symbol", "helper"): ("changed", 20, 120),
            ("symbol", "printf"): ("added", 100, 100),
            ("symbol", "legacy"): ("removed", -20, 0),
            ("symbol", "main"): ("unchanged", 0, 200),
            ("component", "app"): ("changed", 120, 440),
            ("component", "libc"): ("added", 100, 100),
            ("component", "gone"): ("removed", -10, 0),
        }
        for key, (status, delta, now) in expected.items():
            entry = entries[key]
            assert (entry.status, entry.delta, entry.current) == (status, delta, now), key

    def test_every_entity_of_either_build_has_one_entry(self):
        baseline, current = pair()
        keys = [(e.kind, e.name) for e in compare_builds(current, baseline).entries]
        assert len(keys) == len(set(keys))
        assert {kind for kind, _ in keys} == {"region", "section", "symbol", "component"}
        assert sum(1 for kind, _ in keys if kind == "section") == 5

    def test_delta_pct_relative_to_baseline(self):
        baseline, current = pair()
        entries = entry_map(compare_builds(current, baseline))
        assert entries[("section", ".text")].delta_pct == 40.0
        assert entries[("symbol", "helper")].delta_pct == 20.0
        assert entries[("section", ".old")].delta_pct == -100.0
        # Nothing to be relative to for a new entity.
        assert entries[("section", ".new")].delta_pct is None
        assert delta_percent(1, 3) == 33.33 and delta_percent(5, 0) is None

    def test_symbols_of_one_name_in_several_objects_stay_apart(self):
        regions = (FLASH,)
        baseline = build([section(".text", "FLASH", 30)],
                         [symbol("init", ".text", 10, "a.o"), symbol("init", ".text", 20, "b.o")], regions=regions)
        current = build([section(".text", "FLASH", 30)],
                        [symbol("init", ".text", 16, "a.o"), symbol("init", ".text", 14, "c.o")], regions=regions)
        entries = entry_map(compare_builds(current, baseline))
        assert entries[("symbol", "init (a.o)")].delta == 6
        assert entries[("symbol", "init (b.o)")].status == "removed"
        assert entries[("symbol", "init (c.o)")].status == "added"
        assert ("symbol", "init") not in entries

    def test_repeated_section_names_are_summed(self):
        baseline = build([section(".text", "FLASH", 10), section(".text", "FLASH", 5)], regions=(FLASH,))
        current = build([section(".text", "FLASH", 12)], regions=(FLASH,))
        assert entry_map(compare_builds(current, baseline))[("section", ".text")].delta == -3

    def test_entries_feed_the_ranking_of_the_report(self):
        baseline, current = pair()
        ranked = diffreport.rank_top_regressions(compare_builds(current, baseline).entries, limit=3)
        assert [(r["kind"], r["name"], r["delta"]) for r in ranked] == [
            ("component", "app", 120), ("section", ".text", 120), ("region", "FLASH", 108),
        ]
        added = diffreport.added_large_symbols(compare_builds(current, baseline).entries, min_size_bytes=100)
        assert [a["name"] for a in added] == ["printf"]


class TestRegionsOfOneBuildOnly:
    def test_added_and_removed_regions_are_compared_with_their_contents(self):
        baseline, current = pair()
        sram = MemoryRegion("SRAM", 0x3000_0000, 0x3000_0000 + 99, 100, RegionCategory.RAM)
        moved = build([*current.model.sections, section(".sram", "SRAM", 64, 0x3000_0000)],
                      [*current.model.symbols, symbol("dma_buf", ".sram", 64)],
                      regions=(FLASH, sram))  # RAM gone, SRAM new
        comparison = compare_builds(moved, baseline)
        assert (comparison.added_regions, comparison.removed_regions) == (["SRAM"], ["RAM"])
        regions = {e.name: (e.status, e.delta, e.current) for e in comparison.of_kind("region")}
        assert regions["SRAM"] == ("added", 64, 64)
        assert regions["RAM"][0] == "removed" and regions["RAM"][2] == 0
        assert {e.name: e.status for e in comparison.of_kind("section")}[".sram"] == "added"
        assert ("symbol", "dma_buf", "added") in {(e.kind, e.name, e.status) for e in comparison.entries}
        rows = {row["region"]: row for row in diff_payload(comparison)["regions"]}
        assert rows["SRAM"]["name"] == "SRAM (added)" and rows["SRAM"]["status"] == "added"
        assert rows["RAM"]["name"] == "RAM (removed)" and rows["RAM"]["current_used_bytes"] == 0
        assert rows["FLASH"]["name"] == "FLASH" and rows["FLASH"]["status"] == "changed"
        assert set(contract_regressions(comparison)["regions"]) == {"FLASH", "RAM", "SRAM"}

    def test_region_order_and_sizes_may_differ(self):
        bigger = MemoryRegion("RAM", RAM.start_address, RAM.end_address + 400, 800, RegionCategory.RAM)
        comparison = compare_builds(build([], regions=(RAM, FLASH)), build([], regions=(FLASH, bigger)))
        assert (comparison.added_regions, comparison.removed_regions) == ([], [])
        assert comparison.regions["RAM"][4] == 400


class TestPayload:
    def payload(self):
        baseline, current = pair()
        comparison = compare_builds(current, baseline, current_path="/b/new.model.json", baseline_path="C:\\b\\old.map")
        return diff_payload(comparison)

    def test_keys_the_report_reads(self):
        payload = self.payload()
        assert list(payload) == [
            "status", "current_schema_version", "baseline_schema_version", "flash_delta_bytes",
            "ram_delta_bytes", "top_regressions", "top_reductions", "added_large_symbols", "regions",
            "sections", "symbols", "components", "current_build", "baseline_build",
        ]
        assert payload["status"] == "ok"
        assert payload["current_schema_version"] == payload["baseline_schema_version"] != ""
        # .text +120, .new +8, .old -20 in flash; .bss -40 in RAM.
        assert (payload["flash_delta_bytes"], payload["ram_delta_bytes"]) == (108, -40)

    def test_payload_is_json_ready(self):
        payload = self.payload()
        assert json.loads(json.dumps(payload, allow_nan=False)) == payload

    def test_ranked_lists_come_from_the_module(self):
        payload = self.payload()
        assert payload["top_regressions"][0] == {
            "kind": "component", "name": "app", "delta": 120, "delta_pct": 37.5, "status": "changed",
        }
        # Equal deltas rank by kind, then name.
        assert [(r["kind"], r["name"]) for r in payload["top_reductions"][:3]] == [
            ("region", "RAM"), ("section", ".bss"), ("symbol", "buffer"),
        ]
        assert all(r["delta"] > 0 for r in payload["top_regressions"])
        assert all(r["delta"] < 0 for r in payload["top_reductions"])

    def test_regions_are_utilisation_ratios(self):
        rows = {row["name"]: row for row in self.payload()["regions"]}
        assert set(rows) == {"FLASH", "RAM"}
        flash = rows["FLASH"]
        assert flash["kind"] == "region"
        assert (flash["current"], flash["baseline"]) == (0.468, 0.36)
        assert flash["delta"] == pytest.approx(0.108)
        assert (flash["current_used_bytes"], flash["baseline_used_bytes"], flash["delta_bytes"]) == (468, 360, 108)
        assert rows["RAM"]["delta"] == pytest.approx(-0.1)

    def test_overflowing_ratio_is_capped_for_the_report_only(self):
        small = MemoryRegion("FLASH", 0, 99, 100, RegionCategory.FLASH)
        baseline = build([section(".text", "FLASH", 50)], regions=(small,))
        current = build([section(".text", "FLASH", 300)], regions=(small,))
        comparison = compare_builds(current, baseline)
        row = diff_payload(comparison)["regions"][0]
        assert (row["current"], row["baseline"], row["delta"], row["delta_bytes"]) == (1.5, 0.5, 1.0, 250)
        assert contract_regressions(comparison)["regions"]["FLASH"]["current"] == 3.0

    def test_entity_lists(self):
        payload = self.payload()
        sections = payload["sections"]
        assert [s["name"] for s in sections] == [".text", ".bss", ".old", ".new", ".data"]
        assert sections[2] == {
            "kind": "section", "name": ".old", "status": "removed", "delta": -20, "delta_pct": -100.0,
            "current": 0, "baseline": 20,
        }
        # Unchanged symbols are left out, changed ones largest change first.
        assert [s["name"] for s in payload["symbols"]] == ["printf", "buffer", "helper", "legacy"]
        assert {c["name"]: c["status"] for c in payload["components"]} == {
            "app": "changed", "libc": "added", "gone": "removed",
        }

    def test_build_descriptions(self):
        payload = self.payload()
        assert payload["current_build"] == {
            "path": "/b/new.model.json", "target_name": "new", "analysis_timestamp": "",
            "tool_version": payload["current_build"]["tool_version"], "total_flash": 468, "total_ram": 100,
        }
        assert payload["current_build"]["tool_version"].startswith("brenvale ")
        assert payload["baseline_build"]["target_name"] == "old"
        assert (payload["baseline_build"]["total_flash"], payload["baseline_build"]["total_ram"]) == (360, 140)

    def test_metadata_names_the_build(self, tmp_path):
        described = describe_build(
            build([], metadata={"target_name": "board", "analysis_timestamp": "2026-01-02T03:04:05Z",
                                "tool_version": 7}),
            str(tmp_path / "x.model.json"),
        )
        assert (described.target_name, described.analysis_timestamp) == ("board", "2026-01-02T03:04:05Z")
        # A non-text value in the free-form metadata falls back instead of leaking through.
        assert described.tool_version.startswith("brenvale ")

    def test_timestamp_falls_back_to_the_file_time(self, tmp_path):
        path = tmp_path / "fw.map"
        path.write_text("x")
        stamp = describe_build(build([]), str(path)).analysis_timestamp
        assert stamp[4] == "-" and stamp[10] == "T" and stamp.endswith("Z")

    def test_report_renders_the_payload(self):
        payload = self.payload()
        summary = diffreport.render_diff_console_summary(payload)
        assert "Flash delta: 108 B" in summary and "RAM delta: -40 B" in summary
        page = diffreport.render_diff_html(payload)
        assert "new.model.json" in page and "old.map" in page and "+108 B" in page


class TestContractRegressions:
    def test_keys_the_contract_reads(self):
        baseline, current = pair()
        regressions = contract_regressions(compare_builds(current, baseline))
        assert (regressions["status"], regressions["flash_delta_bytes"], regressions["ram_delta_bytes"]) == (
            "ok", 108, -40,
        )
        assert regressions["regions"]["FLASH"] == {"current": 0.468, "baseline": 0.36, "delta": 0.468 - 0.36}
        assert regressions["sections"][".text"] == {"delta_bytes": 120}
        assert regressions["sections"][".old"] == {"delta_bytes": -20}
        assert set(regressions["sections"]) == {".text", ".data", ".bss", ".new", ".old"}

    def test_contract_carries_the_comparison(self):
        baseline, current = pair()
        regressions = contract_regressions(compare_builds(current, baseline))
        contract = build_contract(current, regressions=regressions)
        diff = contract["diff"]
        assert (diff["status"], diff["flash_delta_bytes"], diff["ram_delta_bytes"]) == ("ok", 108, -40)
        assert [row["name"] for row in diff["top_growth"]] == ["FLASH"]
        assert [row["name"] for row in diff["top_shrink"]] == ["RAM"]
        text = next(r for r in contract["regions"][0]["ranges"] if r.get("section_name") == ".text")
        assert text["baseline_delta_bytes"] == 120


class TestBundledPair:
    @pytest.mark.parametrize("name", [DEFAULT_SAMPLE, BASELINE_SAMPLE])
    def test_sections_do_not_overlap_and_hold_their_symbols(self, name):
        model = load_build(sample_path(name)).model
        sections = {s.name: s for s in model.sections}
        for region in model.memory_regions:
            # The map's fill bytes lie inside a section's size.
            placed = sorted((s.vma, s.vma + s.size) for s in model.sections
                            if s.execution_region == region.name)
            for (_, end), (start, _) in zip(placed, placed[1:]):
                assert end <= start, (name, region.name)
        for sym in model.symbols:
            home = sections[sym.section_name]
            assert home.vma <= sym.address and sym.address + sym.size <= home.vma + home.size, sym.name

    def test_pair_shows_growth_shrinkage_additions_and_removals(self):
        current, baseline = load_build(sample_path()), load_build(sample_path(BASELINE_SAMPLE))
        comparison = compare_builds(current, baseline)
        statuses = {e.status for e in comparison.entries}
        assert statuses == {"added", "removed", "changed", "unchanged"}
        assert comparison.flash_delta_bytes > 0 > comparison.ram_delta_bytes
        large = diffreport.added_large_symbols(comparison.entries)
        assert [entry["name"] for entry in large] == ["__l_vfprintf"]


class TestBundledSamples:
    def test_the_model_and_the_map_of_one_build_compare_as_identical(self):
        map_path = Path(__file__).parent / "data" / "maps" / "nrf52840-zephyr-spectrum-analyzer.map"
        comparison = compare_builds(load_input(map_path), load_build(sample_path()))
        assert {entry.status for entry in comparison.entries} == {"unchanged"}
        assert len(comparison.of_kind("symbol")) == len(load_build(sample_path()).model.symbols)

    def test_the_samples_are_what_the_generator_makes_of_the_map(self):
        tool = Path(__file__).resolve().parents[2] / "tools" / "make_samples.py"
        done = subprocess.run([sys.executable, str(tool), "--check"], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
