"""_build_region_layout (ranges, stats, usage figures, density, boundaries)."""

import dataclasses
import enum
from dataclasses import dataclass
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import test_layout_reference as ref
from brenvale import plotspec

LAYOUT_KEYS = [
    "id", "name", "category", "start_address", "end_address", "size_bytes", "used_bytes", "free_bytes",
    "utilization_ratio", "overflow_bytes", "range_count", "density_score", "stats", "boundaries", "ranges",
]
STATS_KEYS = ["stack_bytes", "heap_bytes", "padding_bytes", "reserved_bytes", "protected_bytes", "sections_count",
              "free_ranges_count"]


class Category(enum.Enum):
    FLASH = "flash"
    RAM = "ram"


@dataclass
class Region:
    name: object
    start_address: object
    end_address: object
    size: object
    category: Category = Category.RAM


@dataclass
class Section:
    name: object
    vma: object
    size: object
    padding_before: object = 0
    padding_after: object = 0
    execution_region: object = "RAM"
    load_region: object = "RAM"
    lma: object = 0


@dataclass
class Usage:
    used_bytes: object
    free_bytes: object
    overflow_bytes: object
    utilization_ratio: object


def symbol(name, size, section_name, obj=None):
    return SimpleNamespace(name=name, demangled_name=None, address=0, size=size, section_name=section_name,
                           object_file=obj, archive=None, source_file=None, compilation_unit=None)


def layout_args(region, sections=(), **kw):
    args = dict(region=region, sections=list(sections), section_symbols={}, issues_by_entity={},
                section_baseline_deltas={}, stack_heap_hints={"stack_sections": [], "heap_sections": []},
                usage=None, padding_bytes=0)
    args.update(kw)
    return args


def layout(region, sections=(), **kw):
    return plotspec._build_region_layout(**layout_args(region, sections, **kw))


def spans(result):
    return [(r["kind"], r["start_address"], r["end_address"]) for r in result["ranges"]]


def typed(v):
    if isinstance(v, dict):
        return ("dict", [(k, typed(x)) for k, x in v.items()])
    if isinstance(v, (list, tuple)):
        return (type(v).__name__, [typed(x) for x in v])
    return (type(v).__name__, v)


class TestShape:
    def test_empty_region(self):
        out = layout(Region("RAM", 0x2000_0000, 0x2000_0FFF, 4096))
        assert list(out) == LAYOUT_KEYS
        assert list(out["stats"]) == STATS_KEYS
        assert out["category"] == "ram"
        assert out["range_count"] == 1
        (free,) = out["ranges"]
        assert (free["id"], free["label"], free["is_inter_section_gap"]) == ("RAM:free:536870912", "Free space", False)
        assert (free["start_address"], free["end_address"], free["size_bytes"]) == (0x2000_0000, 0x2000_0FFF, 4096)
        assert [b["address"] for b in out["boundaries"]] == [0x2000_0000, 0x2000_0FFF]
        assert (out["used_bytes"], out["free_bytes"], out["utilization_ratio"], out["overflow_bytes"]) == (
            0, 4096, 0.0, 0)
        assert out["stats"]["free_ranges_count"] == 1 and out["stats"]["sections_count"] == 0

    def test_end_below_start_has_no_free_range(self):
        out = layout(Region("R", 100, 50, 0))
        assert out["ranges"] == [] and out["range_count"] == 0
        assert [(b["address"], b["kind"]) for b in out["boundaries"]] == [(50, "end"), (100, "start")]

    def test_region_size(self):
        assert layout(Region("R", 0, 9, None))["size_bytes"] == 0
        assert layout(Region("R", 0, 9, -10))["size_bytes"] == 0
        assert layout(Region("R", 0, 9, 12.9))["size_bytes"] == 12
        assert layout(Region("R", 0, 9, "16"))["size_bytes"] == 16  # int() of text, as the host does

    def test_identity_values_pass_through(self):
        start, end = 10**15, 10**15 + 99
        out = layout(Region("R", start, end, 100))
        assert (out["start_address"], out["end_address"]) == (start, end)
        name = "n" * 40
        assert layout(Region(name, 0, 9, 10))["id"] is name


class TestRanges:
    def test_two_sections_leave_free_space_a_gap_and_free_space(self):
        out = layout(Region("R", 0x0, 0xFFF, 0x1000), [Section("b", 0x300, 0x100), Section("a", 0x100, 0x100)])
        free = [(r["start_address"], r["end_address"], r["label"], r["is_inter_section_gap"])
                for r in out["ranges"] if r["kind"] == "free"]
        assert free == [(0x0, 0xFF, "Free space", False),
                        (0x200, 0x2FF, "Inter-section gap (alignment waste)", True),
                        (0x400, 0xFFF, "Free space", False)]
        assert [r["id"] for r in out["ranges"]] == ["R:free:0", "R:a:256", "R:free:512", "R:b:768", "R:free:1024"]

    def test_touching_and_overlapping_sections(self):
        out = layout(Region("R", 0, 99, 100), [Section("a", 0, 10), Section("b", 10, 10)])
        assert spans(out) == [("section", 0, 9), ("section", 10, 19), ("free", 20, 99)]
        out = layout(Region("R", 0, 99, 100), [Section("a", 0, 20), Section("b", 10, 20)])
        assert [s for s in spans(out) if s[0] == "free"] == [("free", 30, 99)]
        assert out["used_bytes"] == 40  # overlaps are counted twice
        assert out["free_bytes"] == 70

    def test_zero_size_section(self):
        out = layout(Region("R", 0, 99, 100), [Section("z", 50, 0, padding_before=2, padding_after=3)])
        assert spans(out) == [("free", 0, 99), ("padding", 48, 49), ("section", 50, 50), ("padding", 51, 53)]
        z = next(r for r in out["ranges"] if r["kind"] == "section")
        assert (z["size_bytes"], z["size_kib"], z["utilization_ratio_in_region"]) == (0, 0.0, 0.0)
        assert [b["address"] for b in out["boundaries"]] == [0, 48, 49, 50, 51, 53, 99]

    def test_sections_partly_or_wholly_outside(self):
        out = layout(Region("R", 100, 199, 100), [Section("in", 150, 100), Section("out", 500, 10)])
        assert spans(out) == [("free", 100, 149), ("section", 150, 249), ("section", 500, 509)]
        assert out["stats"]["free_ranges_count"] == 1
        assert out["used_bytes"] == 110 and out["overflow_bytes"] == 10
        assert [b["address"] for b in out["boundaries"]] == [100, 150, 199, 249, 500, 509]

    def test_paddings(self):
        out = layout(Region("FLASH", 0, 99, 100), [Section(".text", 10, 20, padding_before=4, padding_after=2)])
        pads = [r for r in out["ranges"] if r["kind"] == "padding"]
        assert [(p["id"], p["label"], p["start_address"], p["end_address"], p["size_bytes"]) for p in pads] == [
            ("FLASH:.text:padding-before:6", ".text (padding before)", 6, 9, 4),
            ("FLASH:.text:padding-after:30", ".text (padding after)", 30, 31, 2)]
        assert all(p["lod_group_key"] == f"padding:{p['start_address']}" for p in pads)
        # paddings are neither clipped nor occupied: the free ranges still cover them
        out = layout(Region("R", 0, 99, 100), [Section("s", 0, 10, padding_before=5)])
        assert ("padding", -5, -1) in spans(out) and ("free", 10, 99) in spans(out)

    def test_negative_sizes_and_paddings(self):
        out = layout(Region("R", 0, 99, 100), [Section("neg", 20, -8, padding_before=-1, padding_after=-2)],
                     padding_bytes=-30)
        assert spans(out) == [("free", 0, 99), ("section", 20, 20)]
        assert out["used_bytes"] == 0 and out["stats"]["padding_bytes"] == 0
        neg = out["ranges"][1]
        assert neg["size_bytes"] == 0 and neg["panel"]["section"]["size_bytes"] == -8

    def test_equal_spans_ordered_by_id(self):
        out = layout(Region("R", 0, 99, 100), [Section("b", 10, 5), Section("a", 10, 5)])
        assert [r["id"] for r in out["ranges"][1:3]] == ["R:a:10", "R:b:10"]
        # a padding and the gap it fills share the span: ids decide ("R:s:..." < "R:free:..." is false)
        out = layout(Region("R", 0, 99, 100), [Section("s", 0, 10, padding_after=2), Section("t", 12, 8)])
        assert [r["id"] for r in out["ranges"]][1:3] == ["R:free:10", "R:s:padding-after:10"]

    def test_sort_of_sections_by_vma_size_name(self):
        out = layout(Region("R", 0, 99, 100), [Section("c", 5, 3), Section("b", 5, 2), Section("a", 5, 3)])
        assert [r["section_name"] for r in out["ranges"] if r["kind"] == "section"] == ["b", "a", "c"]


class TestFigures:
    def test_stats_by_kind(self):
        sections = [Section(".stack", 0, 16), Section("HEAP", 16, 32), Section("x_reserved", 48, 4),
                    Section("secure_cfg", 52, 8), Section(".data", 60, 4), Section("hinted", 64, 2)]
        out = layout(Region("RAM", 0, 999, 1000), sections, padding_bytes=7,
                     stack_heap_hints={"stack_sections": ["hinted"]})
        assert out["stats"] == {"stack_bytes": 18, "heap_bytes": 32, "padding_bytes": 7, "reserved_bytes": 4,
                                "protected_bytes": 8, "sections_count": 6, "free_ranges_count": 1}
        kinds = {r["section_name"]: (r["kind"], r["role"]) for r in out["ranges"] if r["kind"] != "free"}
        assert kinds["hinted"] == ("stack", None) and kinds[".data"] == ("section", "data")

    def test_region_name_makes_sections_protected_or_reserved(self):
        out = layout(Region("RESERVED_RAM", 0, 99, 100), [Section(".data", 0, 10)])
        assert out["stats"]["reserved_bytes"] == 10 and out["ranges"][0]["kind"] == "reserved"

    def test_hint_elements_are_taken_as_text(self):
        out = layout(Region("R", 0, 99, 100), [Section("7", 0, 10)], stack_heap_hints={"heap_sections": [7]})
        assert out["stats"]["heap_bytes"] == 10

    def test_usage_null_with_size_zero(self):
        out = layout(Region("R", 0, 99, 0), [Section("a", 0, 30), Section("b", 50, 20)])
        assert (out["used_bytes"], out["utilization_ratio"], out["overflow_bytes"]) == (50, 0.0, 50)
        assert all(r["utilization_ratio_in_region"] == 0.0 for r in out["ranges"])

    def test_usage_null_ratio_not_rounded(self):
        out = layout(Region("R", 0, 2, 3), [Section("a", 0, 1)])
        assert out["utilization_ratio"] == 1 / 3

    def test_usage_figures_taken_unchanged(self):
        marker = object()
        out = layout(Region("R", 0, 99, 100), [Section("a", 0, 30)], usage=Usage(1, 2, marker, "x"))
        assert (out["used_bytes"], out["free_bytes"], out["overflow_bytes"], out["utilization_ratio"]) == (
            1, 2, marker, "x")

    def test_density_score(self):
        assert layout(Region("R", 0, 4095, 4096))["density_score"] == 1.0
        sections = [Section(f"s{i}", i * 100, 10) for i in range(3)]
        out = layout(Region("R", 0, 16383, 16384), sections[:2] + [Section("s2", 16000, 384)])
        assert out["range_count"] == 5
        assert out["density_score"] == round(5 / 4, 4)
        # 16384 bytes with 6 ranges scores 1.5
        sections = [Section("a", 100, 100), Section("b", 300, 100)]
        out = layout(Region("R", 0, 16383, 16384), sections, )
        assert out["range_count"] == 5
        out = layout(Region("R", 0, 16383, 16384), sections + [Section("c", 16300, 84)])
        assert out["range_count"] == 6 and out["density_score"] == 1.5
        out = layout(Region("R", 0, 3 * 4096 * 7 - 1, 3 * 4096 * 7), [Section("a", 0, 1)])
        assert out["density_score"] == round(2 / 21, 4) == 0.0952


class TestLookups:
    def test_symbols_issues_and_deltas(self):
        symbols = {".data": [symbol("big", 50, ".data", "a.o"), symbol("small", 5, ".data", "b.o")],
                   "other": [symbol("x", 1, "other")]}
        out = layout(Region("RAM", 0, 999, 1000), [Section(".data", 0, 100), Section(".bss", 100, 10)],
                     section_symbols=symbols,
                     issues_by_entity={".data": ["i2", "i1"], "RAM": ["i0", "i2"], "zzz": ["never"]},
                     section_baseline_deltas={".data": -12, ".bss": "7"})
        data, bss = out["ranges"][0], out["ranges"][1]
        assert [s["name"] for s in data["top_symbols"]] == ["big", "small"]
        assert data["owners"]["objects"] == ["a.o", "b.o"]
        assert data["policy_issue_ids"] == ["i0", "i1", "i2"]
        assert bss["policy_issue_ids"] == ["i0", "i2"]
        assert bss["top_symbols"] == []
        assert (data["baseline_delta_bytes"], bss["baseline_delta_bytes"]) == (-12, 7)
        assert data["panel"]["policy"]["violations_count"] == 3

    def test_entries_never_read_are_never_converted(self):
        class Boom:
            def __getattr__(self, name):
                raise RuntimeError("read")

        out = layout(Region("R", 0, 99, 100), [Section("a", 0, 10)], section_symbols={"b": [Boom()]},
                     issues_by_entity={"c": Boom()}, section_baseline_deltas={"d": Boom()})
        assert out["range_count"] == 2


def image(name, lma, size, runs_in="RAM", **kw):
    """A section running in `runs_in` whose load image sits at `lma` of the region laid out."""
    return Section(name, 0x2000_0000 + lma, size, execution_region=runs_in, load_region="FLASH", lma=lma, **kw)


class TestLoadImages:
    def test_image_occupies_its_lma_span_and_counts_as_used(self):
        flash = Region("FLASH", 0, 999, 1000, Category.FLASH)
        out = layout(flash, [Section(".text", 0, 100), Section(".rodata", 300, 50)],
                     load_images=[image(".data", 100, 60, padding_before=3, padding_after=4)],
                     section_symbols={".data": [symbol("buf", 60, ".data", "d.o")]},
                     issues_by_entity={".data": ["D"], "FLASH": ["F"]}, section_baseline_deltas={".data": 8})
        assert spans(out) == [("section", 0, 99), ("section", 100, 159), ("free", 160, 299), ("section", 300, 349),
                              ("free", 350, 999)]
        data = out["ranges"][1]
        assert (data["id"], data["label"], data["section_name"]) == ("FLASH:.data:100", ".data (load image)", ".data")
        assert (data["execution_region"], data["load_region"], data["role"]) == ("RAM", "FLASH", "data")
        assert data["panel"]["section"]["vma"] == 0x2000_0000 + 100 and data["panel"]["section"]["lma"] == 100
        assert data["top_symbols"] == [{"name": "buf", "size": 60, "address": 0}]
        assert (data["policy_issue_ids"], data["baseline_delta_bytes"]) == (["D", "F"], 8)
        # the gap between .text and .rodata is now partly the image: only the rest is a gap
        assert out["ranges"][2]["is_inter_section_gap"] is True
        assert (out["used_bytes"], out["free_bytes"], out["overflow_bytes"]) == (210, 790, 0)
        assert out["utilization_ratio"] == 0.21
        assert out["stats"]["sections_count"] == 2 and out["stats"]["free_ranges_count"] == 2
        assert [b["address"] for b in out["boundaries"]] == [0, 99, 100, 159, 300, 349, 999]
        assert out["range_count"] == 5  # no padding ranges for the image

    def test_image_adds_nothing_to_the_kind_counters(self):
        out = layout(Region("RESERVED_FLASH", 0, 999, 1000), [Section(".stack", 0, 16)],
                     load_images=[image(".stack_copy", 16, 32), image("heap_init", 48, 8)],
                     stack_heap_hints={"stack_sections": [], "heap_sections": ["heap_init"]})
        assert out["stats"]["stack_bytes"] == 16 and out["stats"]["heap_bytes"] == 0
        assert out["stats"]["reserved_bytes"] == 0
        assert [r["kind"] for r in out["ranges"][:3]] == ["stack", "stack", "heap"]  # kind still shown

    def test_images_sorted_by_lma_size_name_and_after_sections_in_ties(self):
        images = [image("b", 50, 10), image("a", 50, 10), image("c", 20, 5)]
        out = layout(Region("R", 0, 99, 100), [Section("a", 50, 10)], load_images=images)
        # "R:a:50" twice: the running section was made first and the sort is stable
        assert [(r["id"], r["label"]) for r in out["ranges"] if r["kind"] != "free"] == [
            ("R:c:20", "c (load image)"), ("R:a:50", "a"), ("R:a:50", "a (load image)"), ("R:b:50", "b (load image)")]

    def test_image_outside_the_region_and_images_without_contents(self):
        out = layout(Region("R", 100, 199, 100), [], load_images=[image("out", 500, 10), image("half", 190, 20),
                                                                  image("empty", 150, 0), image("neg", 160, -4)])
        assert spans(out) == [("free", 100, 189), ("section", 150, 149), ("section", 160, 155),
                              ("section", 190, 209), ("section", 500, 509)]
        assert out["used_bytes"] == 30 and out["overflow_bytes"] == 0
        assert [b["address"] for b in out["boundaries"]] == [100, 149, 150, 155, 160, 190, 199, 209, 500, 509]

    def test_no_images_is_the_layout_without_them(self):
        args = layout_args(Region("R", 0, 99, 100), [Section("a", 10, 10, padding_after=2)])
        want = plotspec._build_region_layout(**args)
        assert typed(plotspec._build_region_layout(**args, load_images=None)) == typed(want)
        assert typed(plotspec._build_region_layout(**args, load_images=())) == typed(want)
        assert typed(ref.build_region_layout(**args)) == typed(want)

    @pytest.mark.parametrize("bad", [None, "0x100", b"\x01", [1]])
    def test_lma_of_the_wrong_type_is_type_error(self, bad):
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [], load_images=[dataclasses.replace(image("d", 0, 10), lma=bad)])
        with pytest.raises(TypeError):  # also where the sort compares it first
            layout(Region("R", 0, 99, 100), [], load_images=[dataclasses.replace(image("d", 0, 10), lma=bad), image("e", 5, 1)])

    def test_bad_load_images_argument(self):
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [], load_images=5)
        with pytest.raises(AttributeError):
            layout(Region("R", 0, 99, 100), [], load_images=[SimpleNamespace(name="d", size=1, vma=0)])
        with pytest.raises(OverflowError):
            layout(Region("R", 0, 99, 100), [], load_images=[image("d", 2**63 - 5, 10)])


class TestBadInput:
    def test_null_size_or_vma(self):
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", 0, None)])
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", None, 10)])
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", None, 0)])  # boundaries cannot be ordered
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", 0, 10, padding_after=None)])

    def test_null_region_name(self):
        with pytest.raises(AttributeError):
            layout(Region(None, 0, 99, 100), [Section("a", 0, 10)])
        # without sections nothing lower-cases the name: it is shown as the host's str() shows it
        assert layout(Region(None, 0, 9, 10))["ranges"][0]["id"] == "None:free:0"

    def test_usage_missing_a_figure(self):
        with pytest.raises(AttributeError):
            layout(Region("R", 0, 99, 100), usage=SimpleNamespace(used_bytes=1, free_bytes=2, overflow_bytes=3))

    def test_uncomparable_addresses(self):
        with pytest.raises(TypeError):
            layout(Region("R", 0, "99", 100))
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", "10", 10)])
        with pytest.raises(TypeError):
            layout(Region("R", 0, 99, 100), [Section("a", 10, 10), Section("b", 10, "x")])

    def test_missing_attributes(self):
        with pytest.raises(AttributeError):
            layout(SimpleNamespace(name="R", start_address=0, end_address=9, size=10))  # no category
        with pytest.raises(AttributeError):
            layout(Region("R", 0, 9, 10), [SimpleNamespace(name="a", vma=0, size=1)])
        with pytest.raises(AttributeError):
            layout(Region("R", 0, 9, 10), [Section("a", 0, 1)], stack_heap_hints=None)

    def test_huge_integers(self):
        with pytest.raises(OverflowError):
            layout(Region("R", 0, 2**64, 100))
        with pytest.raises(OverflowError):
            layout(Region("R", 0, 99, 100), [Section("a", 2**63 - 1, 10)])

    def test_argument_binding(self):
        with pytest.raises(TypeError, match="takes 0 positional arguments"):
            plotspec._build_region_layout(Region("R", 0, 9, 10))
        args = layout_args(Region("R", 0, 9, 10))
        del args["usage"]
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'usage'"):
            plotspec._build_region_layout(**args)

    @pytest.mark.parametrize("name", ['<script>"x"&\'y\'</script>', "r\u00e9gion \u00fc", "\U0001f9e0 RAM",
                                      "lone \udc80 surrogate", "  padded  "])
    def test_names_pass_through_unchanged(self, name):
        out = layout(Region(name, 0, 99, 100), [Section(name, 10, 10, padding_before=2, padding_after=1,
                                                        execution_region=name)],
                     issues_by_entity={name: ["i"]})
        assert out["id"] == out["name"] == name
        ids = [r["id"] for r in out["ranges"]]
        assert ids == [f"{name}:free:0", f"{name}:{name}:padding-before:8", f"{name}:{name}:10",
                       f"{name}:{name}:padding-after:20", f"{name}:free:20"]
        sec = out["ranges"][2]
        assert sec["label"] == sec["section_name"] == sec["panel"]["section"]["name"] == name
        assert sec["execution_region"] == name
        assert out["ranges"][1]["label"] == f"{name} (padding before)"
        assert sec["policy_issue_ids"] == ["i"]


NAMES = st.sampled_from([".text", ".data", ".bss", "STACK", "heap", "x", "reserved_x", "", " .rodata"])


@st.composite
def load_images(draw, addresses=st.integers(-20, 700), sizes=st.integers(-5, 120), max_size=5):
    """Sections running elsewhere, stored in the region laid out (their lma may overlap
    the region's own sections, each other or the region's ends)."""
    out = []
    for _ in range(draw(st.integers(0, max_size))):
        out.append(Section(draw(NAMES), draw(st.integers(0, 10)), draw(sizes), lma=draw(addresses),
                           padding_before=draw(st.integers(0, 3)), padding_after=draw(st.integers(0, 3)),
                           execution_region=draw(st.sampled_from(["RAM", "ITCM", None])), load_region="FLASH"))
    return out


@st.composite
def regions(draw):
    start = draw(st.integers(0, 200))
    end = start + draw(st.integers(-5, 400))
    size = draw(st.one_of(st.none(), st.just(end - start + 1), st.integers(-5, 5000)))
    name = draw(st.sampled_from(["RAM", "FLASH", "SECURE_RAM", "RESERVED", "STACK"]))
    sections = []
    for _ in range(draw(st.integers(0, 12))):
        sections.append(Section(draw(NAMES), draw(st.integers(-20, 700)), draw(st.integers(-5, 120)),
                                padding_before=draw(st.integers(-3, 9)), padding_after=draw(st.integers(-3, 9))))
    return Region(name, start, end, size), sections


def odd_numbers(ints):
    """Mostly ints; sometimes the same value as a float, or a bool, as a host may hand them."""
    return st.one_of(ints, ints.map(float), ints.map(lambda i: i + 0.5), st.booleans())


@st.composite
def odd_regions(draw):
    start = draw(odd_numbers(st.integers(0, 50)))
    end = draw(odd_numbers(st.integers(0, 200)))
    size = draw(st.one_of(st.none(), odd_numbers(st.integers(-5, 300))))
    sections = []
    for _ in range(draw(st.integers(0, 6))):
        sections.append(Section(draw(NAMES), draw(odd_numbers(st.integers(-5, 220))),
                                draw(odd_numbers(st.integers(-3, 60))),
                                padding_before=draw(odd_numbers(st.integers(-2, 6))),
                                padding_after=draw(odd_numbers(st.integers(-2, 6)))))
    return Region("RAM", start, end, size), sections


@settings(max_examples=300, deadline=None)
@given(odd_regions(), st.one_of(st.none(), load_images(odd_numbers(st.integers(-5, 220)) | st.none(),
                                                       odd_numbers(st.integers(-3, 60)), max_size=3)))
def test_layout_with_floats_and_bools_agrees_with_the_reference(region_sections, images):
    region, sections = region_sections
    args = layout_args(region, sections, load_images=images)
    try:
        want = ref.build_region_layout(**args)
    except Exception as e:  # the same kind of error, raised by both
        with pytest.raises(type(e)):
            plotspec._build_region_layout(**args)
        return
    assert typed(plotspec._build_region_layout(**args)) == typed(want)


@settings(max_examples=300, deadline=None)
@given(regions(), st.booleans(), st.integers(-10, 100), st.lists(NAMES, max_size=2), load_images())
def test_layout_agrees_with_the_reference(region_sections, with_usage, padding, stack_hints, images):
    region, sections = region_sections
    symbols = {".data": [symbol(f"d{i}", 40 - i, ".data", f"o{i}.o") for i in range(30)],
               "x": [symbol("x1", 1, "x")]}
    args = layout_args(region, sections, section_symbols=symbols,
                       issues_by_entity={".text": ["t"], region.name: ["r", "t"]},
                       section_baseline_deltas={".bss": 3, "x": 0},
                       stack_heap_hints={"stack_sections": stack_hints},
                       usage=Usage(1, 2, 3, 0.5) if with_usage else None, padding_bytes=padding,
                       load_images=images)
    assert typed(plotspec._build_region_layout(**args)) == typed(ref.build_region_layout(**args))
