"""Contract assembly, region layout, range payloads and render hints through
build_visualization_contract: every region is laid out in address order, its ranges
tile it (load images included), and render hints come last."""

import json
import random
from types import SimpleNamespace

import pytest

from brenvale import plotspec
from brenvale.model_io import load_build
from brenvale.pipeline import build_contract
from brenvale.records import (
    BuildInput,
    MemoryRegion,
    NormalizedBuildModel,
    PaddingWasteResult,
    RegionCategory,
    RegionUsageResult,
    SectionPlacement,
    SymbolEntry,
)
from brenvale.samples import sample_path

REGION_KEYS = [
    "id", "name", "category", "start_address", "end_address", "size_bytes", "used_bytes", "free_bytes",
    "utilization_ratio", "overflow_bytes", "range_count", "density_score", "stats", "boundaries", "ranges",
    "render_hints",
]


def contract(model, *, usage=None, padding=None, **kw):
    return plotspec.build_visualization_contract(
        model, region_usage=usage or {}, padding_waste=PaddingWasteResult(by_region=padding or {}),
        components=[], issues=[], regressions={}, **kw)


def assert_tiles(region):
    """Sections and free ranges partition the region in address order; paddings fall on gaps."""
    ranges = region["ranges"]
    keys = [(r["start_address"], r["end_address"], r["id"]) for r in ranges]
    assert keys == sorted(keys)
    assert region["range_count"] == len(ranges)
    start, end = region["start_address"], region["end_address"]
    cover = [r for r in ranges if r["kind"] != "padding"]
    cursor = start
    for r in cover:
        assert r["start_address"] == cursor, (region["name"], r["id"], cursor)
        assert r["end_address"] >= r["start_address"]
        cursor = r["end_address"] + 1
    assert cursor == end + 1
    free = [r for r in ranges if r["kind"] == "free"]
    assert region["stats"]["free_ranges_count"] == len(free)
    if region["used_bytes"] <= region["size_bytes"]:
        assert sum(r["size_bytes"] for r in cover) == region["size_bytes"]
    # the gap flag: only between two sections
    for r in free:
        inner = r["start_address"] != start and r["end_address"] != end
        assert r["is_inter_section_gap"] is inner
        assert r["label"] == ("Inter-section gap (alignment waste)" if inner else "Free space")
    return free


def realistic_build(seed=7, regions=16, sections_per_region=12, symbols_per_section=30):
    rnd = random.Random(seed)
    mem, secs, syms = [], [], []
    base = 0x0800_0000
    for r in range(regions):
        name = ["FLASH", "RAM", "CCMRAM", "BACKUP_SRAM"][r % 4] + (f"_{r}" if r >= 4 else "")
        size = rnd.choice([16, 64, 128, 256]) * 1024
        mem.append(MemoryRegion(name=name, start_address=base, end_address=base + size - 1, size=size,
                                category=RegionCategory.FLASH if r % 2 == 0 else RegionCategory.RAM))
        cursor = base + rnd.choice([0, 0x40])
        placed = []
        for s in range(sections_per_region):
            sec_size = rnd.randrange(1, size // (sections_per_region * 2))
            placed.append([f"{rnd.choice(['.text', '.data', '.bss', '.rodata', '.stack', 'heap'])}.{s}",
                           cursor, sec_size])
            align = rnd.choice([4, 8, 32, 256])
            cursor = (cursor + sec_size + align - 1) // align * align
        for i, (sname, vma, sec_size) in enumerate(placed):
            nxt = placed[i + 1][1] if i + 1 < len(placed) else vma + sec_size
            secs.append(SectionPlacement(name=sname, execution_region=name, load_region=name, vma=vma, lma=vma,
                                         size=sec_size, padding_before=0, padding_after=nxt - (vma + sec_size)))
            for k in range(symbols_per_section):
                syms.append(SymbolEntry(name=f"{sname}_sym{k}", demangled_name=None, address=vma + k,
                                        size=rnd.randrange(1, 64), section_name=sname, object_file=f"obj{k % 7}.o",
                                        archive=f"lib{k % 3}.a", source_file=f"src{k % 5}.c", compilation_unit=None))
        base += size + 0x1000
    rnd.shuffle(mem)
    model = NormalizedBuildModel(sections=secs, symbols=syms, memory_regions=mem,
                                 stack_heap_hints={"stack_sections": [], "heap_sections": []})
    return BuildInput(model=model)


class TestBundledSample:
    def test_every_region_is_tiled_in_address_order(self):
        out = build_contract(load_build(sample_path()))
        regions = out["regions"]
        assert [r["name"] for r in regions] == ["FLASH", "RAM", "IDT_LIST"]
        for region in regions:
            assert list(region) == REGION_KEYS
            assert_tiles(region)
            for pad in (r for r in region["ranges"] if r["kind"] == "padding"):
                assert region["start_address"] <= pad["start_address"] <= pad["end_address"] <= region["end_address"]
        flash = regions[0]
        assert flash["stats"]["sections_count"] == 9 and flash["stats"]["padding_bytes"] == 5
        # The 5 fill bytes lie inside text and rodata: waste, but no range of their own.
        assert [r["id"] for r in flash["ranges"] if r["kind"] == "padding"] == []
        roles = {r["section_name"]: r["role"] for r in regions[1]["ranges"] if r["kind"] != "free"}
        assert roles["bss"] == "bss"
        noinit = next(r for r in regions[1]["ranges"] if r["section_name"] == "noinit")
        assert noinit["policy_issue_ids"] == ["stacks-in-noinit"]
        assert regions[2]["ranges"][0]["policy_issue_ids"] == []  # free ranges carry no attribution
        assert regions[2]["range_count"] == 1

    def test_render_hints(self):
        regions = build_contract(load_build(sample_path()))["regions"]
        for region in regions:
            assert region["render_hints"] == {"layout_mode": "segmented-stacked", "min_height_px": 180,
                                              "preferred_height_px": 220,
                                              "scaled_for_readability": region["name"] != "FLASH"}


class TestRealisticModel:
    def test_ranges_tile_every_region(self):
        out = build_contract(realistic_build())
        regions = out["regions"]
        assert len(regions) == 16
        assert [r["start_address"] for r in regions] == sorted(r["start_address"] for r in regions)
        for region in regions:
            assert list(region) == REGION_KEYS
            free = assert_tiles(region)
            # every alignment padding coincides with the inter-section gap it fills
            pads = {(r["start_address"], r["end_address"]) for r in region["ranges"] if r["kind"] == "padding"}
            gaps = {(r["start_address"], r["end_address"]) for r in free if r["is_inter_section_gap"]}
            assert pads == gaps
            assert region["stats"]["padding_bytes"] == sum(b - a + 1 for a, b in pads)
            sections = [r for r in region["ranges"] if r["kind"] not in ("free", "padding")]
            assert region["stats"]["sections_count"] == len(sections) == 12
            assert all(len(r["top_symbols"]) == 24 for r in sections)
            assert region["stats"]["stack_bytes"] == sum(r["size_bytes"] for r in sections if r["kind"] == "stack")
            addresses = [b["address"] for b in region["boundaries"]]
            assert addresses == sorted(set(addresses))
            assert region["boundaries"][0]["kind"] == "start" and region["boundaries"][-1]["kind"] == "end"
        total = sum(r["size_bytes"] for r in regions)
        for region in regions:
            proportional = round(region["size_bytes"] / total * 16 * 220)
            assert region["render_hints"]["scaled_for_readability"] is (
                region["render_hints"]["preferred_height_px"] > proportional)


def model(regions, sections, hints=None):
    return NormalizedBuildModel(sections=sections, symbols=[], memory_regions=regions,
                                stack_heap_hints=hints if hints is not None else {})


def region(name, start=0, end=99, size=100):
    return MemoryRegion(name=name, start_address=start, end_address=end, size=size, category=RegionCategory.RAM)


def section(name, where, vma=0, size=10, **kw):
    fields = dict(name=name, execution_region=where, load_region=where, vma=vma, lma=vma, size=size,
                  padding_before=0, padding_after=0)
    fields.update(kw)
    return SimpleNamespace(**fields)


class TestAssembly:
    def test_regions_sorted_by_start_end_name(self):
        out = contract(model([region("B"), region("A"), region("C", start=-5)], []))
        assert [r["name"] for r in out["regions"]] == ["C", "A", "B"]

    def test_sections_matched_by_exact_region_name(self):
        out = contract(model([region("RAM")], [section("a", "RAM"), section("b", " RAM"), section("c", "ram"),
                                                section("d", None)]))
        assert [r["section_name"] for r in out["regions"][0]["ranges"] if r["kind"] != "free"] == ["a"]

    def test_empty_region_name_takes_sections_without_region(self):
        out = contract(model([region("")], [section("a", None), section("b", "")]))
        assert out["regions"][0]["stats"]["sections_count"] == 2

    def test_usage_and_padding_lookups(self):
        usage = {"RAM": RegionUsageResult(used_bytes=5, free_bytes=6, overflow_bytes=7, utilization_ratio=0.25)}
        out = contract(model([region("RAM"), region("ROM", 200, 299)], []), usage=usage, padding={"RAM": -3,
                                                                                                "ROM": 12})
        ram, rom = out["regions"]
        assert (ram["used_bytes"], ram["free_bytes"], ram["overflow_bytes"], ram["utilization_ratio"]) == (
            5, 6, 7, 0.25)
        assert (rom["used_bytes"], rom["free_bytes"]) == (0, 100)
        assert (ram["stats"]["padding_bytes"], rom["stats"]["padding_bytes"]) == (0, 12)

    def test_total_region_bytes_counts_non_negative_sizes(self):
        out = contract(model([region("A", 0, 99, 100), region("B", 100, 99, -50), region("C", 200, 1199, 1000)], []))
        a = out["regions"][0]
        # total 1100 over 3 regions: 100 / 1100 * 660 = 60 -> scaled
        assert a["render_hints"]["scaled_for_readability"] is True
        assert out["regions"][2]["render_hints"]["scaled_for_readability"] is False  # 600 > 220

    def test_no_regions(self):
        assert contract(model([], [section("a", "RAM")]))["regions"] == []


class TestBadInputThroughTheContract:
    def test_null_section_size_or_vma(self):
        for bad in (section("a", "RAM", size=None), section("a", "RAM", vma=None)):
            with pytest.raises(TypeError):
                contract(model([region("RAM")], [bad]))

    def test_usage_without_a_figure(self):
        usage = {"RAM": SimpleNamespace(used_bytes=1, free_bytes=2, utilization_ratio=0.5)}
        with pytest.raises(AttributeError):
            contract(model([region("RAM")], []), usage=usage)

    def test_null_region_name(self):
        # a null name cannot be ordered against another region's name at the same span ...
        with pytest.raises(TypeError):
            contract(model([region(None), region("RAM")], []))
        # ... and matches no section, so it is only shown, as the host's str() shows it
        out = contract(model([region(None)], [section("a", None)]))
        assert out["regions"][0]["ranges"][0]["id"] == "None:free:0"

    def test_uncomparable_addresses(self):
        with pytest.raises(TypeError):
            contract(model([region("A", 0, 99), region("B", "0", 99)], []))
        with pytest.raises(TypeError):
            contract(model([region("RAM", 0, "99")], []))

    def test_hints_that_are_not_a_map(self):
        with pytest.raises(AttributeError):
            contract(model([region("RAM")], [section("a", "RAM")], hints=["stack"]))

    def test_markup_and_unusual_text_pass_through(self):
        for name in ['<img src=x onerror="a()">&amp;', "\u00c5ngstr\u00f6m", "\U0001f680", "x\ud800y"]:
            out = contract(model([region(name)], [section(name, name, padding_before=3, vma=5)]))
            reg = out["regions"][0]
            assert reg["id"] == name
            ids = [r["id"] for r in reg["ranges"]]
            assert f"{name}:{name}:5" in ids and f"{name}:{name}:padding-before:2" in ids
            assert f"{name} (padding before)" in [r["label"] for r in reg["ranges"]]


class TestSectionOwnersInContract:
    """The contract ranks owner texts once for the whole model; each section's owners
    must still be exactly the sorted, distinct, first-24 texts of its own symbols."""

    @staticmethod
    def build(symbols, sections=("s0", "s1")):
        secs = [section(name, "RAM", vma=i * 10) for i, name in enumerate(sections)]
        m = NormalizedBuildModel(sections=secs, symbols=symbols, memory_regions=[region("RAM")],
                                 stack_heap_hints={})
        return {r["section_name"]: r for r in contract(m)["regions"][0]["ranges"] if r["kind"] != "free"}

    @staticmethod
    def sym(i, sec, obj=None, arch=None, src=None):
        return SimpleNamespace(name=f"f{i}", demangled_name=None, address=i, size=1, section_name=sec,
                               object_file=obj, archive=arch, source_file=src, compilation_unit=None)

    def test_matches_plain_computation(self):
        rng = random.Random(5)
        pool = ["b.o", "a.o", "é.o", "z.o", "A.o", "a.o ", "", None] + [f"x{i}.o" for i in range(40)]
        symbols = []
        for i in range(600):
            # equal texts as distinct objects, so identity never stands in for equality
            pick = lambda: (lambda t: "".join(list(t)) if isinstance(t, str) else t)(rng.choice(pool))  # noqa: E731
            symbols.append(self.sym(i, rng.choice(["s0", "s1", " s1 "]), pick(), pick(), pick()))
        ranges = self.build(symbols)
        for name, r in ranges.items():
            mine = [s for s in symbols if s.section_name.strip() == name]
            for key, attr in (("objects", "object_file"), ("archives", "archive"), ("sources", "source_file")):
                expect = sorted({getattr(s, attr) for s in mine if getattr(s, attr)})[:24]
                assert r["owners"][key] == expect, (name, key)
            assert r["panel"]["owners"] == r["owners"]

    def test_non_text_owner_raises_the_first_one_in_symbol_order(self):
        with pytest.raises(TypeError, match="'bytes' and 'str'"):
            self.build([self.sym(0, "s0", obj="a.o"), self.sym(1, "s1", arch="lib.a"),
                        self.sym(2, "s1", obj=b"x.o"), self.sym(3, "s1", src=7)])
        # the first offending value in symbol order is the one named
        with pytest.raises(TypeError, match="'int' and 'str'"):
            self.build([self.sym(0, "s1", src=7), self.sym(1, "s1", obj=b"x.o")])


class TestLoadImagesInContract:
    """Initialised data runs in RAM and is stored in FLASH: the stored copy takes room in
    FLASH as well, where it used to show as free space or an alignment gap."""

    FLASH = MemoryRegion("FLASH", 0x0, 0xFFFF, 0x10000, RegionCategory.FLASH)
    RAM = MemoryRegion("RAM", 0x2000_0000, 0x2000_0FFF, 0x1000, RegionCategory.RAM)

    @classmethod
    def sections(cls, **data):
        place = SectionPlacement
        fields = dict(name=".data", execution_region="RAM", load_region="FLASH", vma=0x2000_0000, lma=0x1000,
                      size=0x40, padding_before=0, padding_after=0)
        fields.update(data)
        return [
            place(".text", "FLASH", "FLASH", 0x0, 0x0, 0x1000, 0, 0),
            SimpleNamespace(**fields),
            place(".rodata", "FLASH", "FLASH", 0x1100, 0x1100, 0x80, 0, 0),
            # none of these leaves a load image in FLASH
            place(".bss", "RAM", "FLASH", 0x2000_0040, None, 0x100, 0, 0),  # no contents: no lma
            place(".ramfunc", "RAM", "FLASH", 0x2000_0140, 0x1040, 0, 0, 0),  # empty
            place(".noinit", "RAM", "RAM", 0x2000_0140, 0x2000_0140, 0x20, 0, 0),
            place(".tdata", "RAM", " FLASH", 0x2000_0160, 0x1048, 0x8, 0, 0),  # names match exactly
        ]

    def test_flash_shows_the_load_image(self):
        out = contract(model([self.RAM, self.FLASH], self.sections()))
        flash, ram = out["regions"]
        assert flash["name"] == "FLASH"
        free = assert_tiles(flash)
        (data,) = [r for r in flash["ranges"] if r["label"].endswith(" (load image)")]
        assert (data["id"], data["label"], data["execution_region"]) == ("FLASH:.data:4096", ".data (load image)",
                                                                        "RAM")
        assert (data["start_address"], data["end_address"], data["size_bytes"]) == (0x1000, 0x103F, 0x40)
        assert not [r for r in free if r["start_address"] <= 0x103F and r["end_address"] >= 0x1000]
        # only the rest of the space between .data's image and .rodata is a gap
        assert [(r["start_address"], r["is_inter_section_gap"]) for r in free] == [(0x1040, True), (0x1180, False)]
        assert flash["used_bytes"] == 0x1000 + 0x40 + 0x80
        assert flash["free_bytes"] == 0x10000 - flash["used_bytes"]
        assert flash["stats"]["sections_count"] == 2
        # RAM is laid out exactly as it would be without FLASH in the model at all
        alone = contract(model([self.RAM], self.sections()))["regions"][0]
        assert {k: v for k, v in ram.items() if k != "render_hints"} == {
            k: v for k, v in alone.items() if k != "render_hints"}
        assert ram["used_bytes"] == 0x40 + 0x100 + 0x20 + 0x8

    def test_host_usage_figures_are_taken_unchanged(self):
        usage = {"FLASH": RegionUsageResult(used_bytes=7, free_bytes=8, overflow_bytes=0, utilization_ratio=0.5)}
        flash = contract(model([self.FLASH], self.sections()), usage=usage)["regions"][0]
        assert (flash["used_bytes"], flash["free_bytes"]) == (7, 8)
        assert "FLASH:.data:4096" in [r["id"] for r in flash["ranges"]]

    def test_json_path_is_json_dumps_of_the_object_path(self):
        m = model([self.RAM, self.FLASH], self.sections(name="d\u00e9j\u00e0 \ud800"))
        args = dict(region_usage={}, padding_waste=PaddingWasteResult(by_region={}), components=[], issues=[],
                    regressions={}, features={"sankey_enabled": True, "relationship_graph_enabled": True})
        obj = plotspec.build_visualization_contract(m, **args)
        assert "d\u00e9j\u00e0 \ud800 (load image)" in [r["label"] for r in obj["regions"][0]["ranges"]]
        raw = plotspec.build_visualization_contract_json(m, **args)
        assert raw == json.dumps(obj, ensure_ascii=False).encode("utf-8", "surrogatepass")
        assert plotspec.build_visualization_contract_json(m, indent=2, **args) == json.dumps(
            obj, indent=2).encode()

    @pytest.mark.parametrize("bad", [dict(lma="0x1000"), dict(lma=[0x1000]), dict(size="64"), dict(size=None)])
    def test_wrong_types_are_type_errors(self, bad):
        with pytest.raises(TypeError):
            contract(model([self.FLASH], self.sections(**bad)))
        with pytest.raises(TypeError):
            plotspec.build_visualization_contract_json(
                model([self.FLASH], self.sections(**bad)), region_usage={},
                padding_waste=PaddingWasteResult(by_region={}), components=[], issues=[], regressions={})

    def test_stored_in_the_unnamed_region(self):
        # a null load region reads as "", like a null execution region
        out = contract(model([region("")], [section("d", "RAM", load_region=None, lma=5, size=4)]))
        assert [(r["id"], r["label"]) for r in out["regions"][0]["ranges"] if not r["is_synthetic"]] == [
            (":d:5", "d (load image)")]
