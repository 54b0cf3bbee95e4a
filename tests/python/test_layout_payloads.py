"""Section and synthetic range payloads, the section panel, boundary rows."""

from types import SimpleNamespace

import pytest

import test_layout_reference as ref
from brenvale import plotspec

SECTION_KEYS = [
    "id", "kind", "role", "label", "section_name", "execution_region", "load_region", "start_address",
    "end_address", "size_bytes", "size_kib", "utilization_ratio_in_region", "owners", "top_symbols",
    "policy_issue_ids", "baseline_delta_bytes", "panel", "is_synthetic", "lod_group_key",
]
SYNTHETIC_KEYS = [
    "id", "kind", "label", "section_name", "execution_region", "load_region", "start_address", "end_address",
    "size_bytes", "size_kib", "utilization_ratio_in_region", "owners", "top_symbols", "policy_issue_ids",
    "baseline_delta_bytes", "panel", "is_synthetic", "is_inter_section_gap", "lod_group_key",
]


def section(name=".text", size=256, vma=134217728, **kw):
    fields = dict(name=name, execution_region="FLASH", load_region="FLASH", vma=vma, lma=vma, size=size,
                  padding_before=0, padding_after=0)
    fields.update(kw)
    return SimpleNamespace(**fields)


def symbol(i, demangled=None, **kw):
    fields = dict(name=f"sym{i}", demangled_name=demangled, size=100 - i, address=1000 + i,
                  object_file=f"o{i % 3}.o", archive=None, source_file=f"s{i % 2}.c")
    fields.update(kw)
    return SimpleNamespace(**fields)


def section_range(**kw):
    args = dict(region_name="FLASH", section=section(), section_start=134217728, section_end=134217983,
                region_size=1024, kind="section", role="text", symbols=[], issue_ids=[], baseline_delta=None)
    args.update(kw)
    return plotspec._section_range_payload(**args)


def synthetic(**kw):
    args = dict(range_id="R:free:0", kind="free", label="Free space", start=0, end=1535, region_size=4096)
    args.update(kw)
    return plotspec._synthetic_range_payload(**args)


def typed(v):
    """A structure that compares equal only when types match too (1 != 1.0 != True)."""
    if isinstance(v, dict):
        return ("dict", [(k, typed(x)) for k, x in v.items()])
    if isinstance(v, (list, tuple)):
        return (type(v).__name__, [typed(x) for x in v])
    return (type(v).__name__, v)


class TestSectionRange:
    def test_keys_id_and_sizes(self):
        r = section_range()
        assert list(r) == SECTION_KEYS
        assert r["id"] == "FLASH:.text:134217728"
        assert r["size_bytes"] == 256 and r["size_kib"] == 0.25
        assert r["utilization_ratio_in_region"] == 0.25
        assert r["is_synthetic"] is False and r["lod_group_key"] is None
        assert r["owners"] == {"objects": [], "archives": [], "sources": []}
        assert list(r["panel"]) == ["section", "symbol_breakdown", "owners", "baseline", "policy"]
        assert list(r["panel"]["section"]) == ["name", "execution_region", "load_region", "vma", "lma",
                                               "size_bytes", "padding_before", "padding_after"]

    def test_zero_and_negative_sizes(self):
        r = section_range(section=section(size=0))
        assert (r["size_bytes"], r["size_kib"], r["utilization_ratio_in_region"]) == (0, 0.0, 0.0)
        r = section_range(section=section(size=-7))
        assert r["size_bytes"] == 0
        assert r["panel"]["section"]["size_bytes"] == -7

    def test_region_size_zero_or_negative(self):
        for size in (0, -5):
            assert section_range(region_size=size)["utilization_ratio_in_region"] == 0.0
            assert synthetic(region_size=size)["utilization_ratio_in_region"] == 0.0

    def test_first_24_symbols_in_given_order(self):
        symbols = [symbol(i) for i in range(30)]
        r = section_range(symbols=symbols)
        assert [row["name"] for row in r["top_symbols"]] == [f"sym{i}" for i in range(24)]
        assert len(r["panel"]["symbol_breakdown"]) == 24
        assert list(r["top_symbols"][0]) == ["name", "size", "address"]
        assert list(r["panel"]["symbol_breakdown"][0]) == ["name", "size", "address", "object_file", "archive",
                                                          "source_file"]
        # owners cover every symbol, not only the first 24
        assert r["owners"] == {"objects": ["o0.o", "o1.o", "o2.o"], "archives": [], "sources": ["s0.c", "s1.c"]}
        assert r["panel"]["owners"] == r["owners"]

    def test_display_name_falls_back_to_name(self):
        symbols = [symbol(0, demangled=""), symbol(1, demangled="ns::f()"), symbol(2, demangled=None),
                   symbol(3, address=None)]
        r = section_range(symbols=symbols)
        assert [row["name"] for row in r["top_symbols"]] == ["sym0", "ns::f()", "sym2", "sym3"]
        assert r["top_symbols"][3]["address"] is None

    def test_baseline_and_policy(self):
        r = section_range()
        assert r["baseline_delta_bytes"] is None
        assert r["panel"]["baseline"] == {"delta_bytes": None, "status": "unknown"}
        r = section_range(baseline_delta=0, issue_ids=["b", "a", "a"])
        assert r["panel"]["baseline"] == {"delta_bytes": 0, "status": "available"}
        assert r["policy_issue_ids"] == ["b", "a", "a"]
        assert r["panel"]["policy"] == {"issue_ids": ["b", "a", "a"], "violations_count": 3}

    def test_names_pass_through_unchanged(self):
        for name in ['<b>"q"&\'</b>', "caf\u00e9 \u65e5\u672c", "\U0001f600astral", "lone\ud800surrogate"]:
            r = section_range(region_name=name, section=section(name=name))
            assert r["id"] == f"{name}:{name}:134217728"
            assert r["label"] == r["section_name"] == r["panel"]["section"]["name"] == name

    def test_null_size_raises_type_error(self):
        with pytest.raises(TypeError):
            section_range(section=section(size=None))
        with pytest.raises(TypeError):
            section_range(region_size=None)
        with pytest.raises(AttributeError):
            section_range(section=SimpleNamespace(name="x"))

    def test_all_arguments_keyword_only_and_required(self):
        with pytest.raises(TypeError, match="takes 0 positional arguments"):
            plotspec._section_range_payload("FLASH")
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'baseline_delta'"):
            plotspec._section_range_payload(region_name="F", section=section(), section_start=0, section_end=0,
                                            region_size=0, kind="k", role=None, symbols=[], issue_ids=[])

    def test_agrees_with_the_reference(self):
        symbols = [symbol(i, demangled="d" if i % 4 == 0 else "") for i in range(30)]
        for sec, size in [(section(), 1024), (section(size=-1), 0), (section(size=3000), 100)]:
            args = dict(region_name="FLASH", section=sec, section_start=sec.vma, section_end=sec.vma + 9,
                        region_size=size, kind="section", role=None, symbols=symbols, issue_ids=["x"],
                        baseline_delta=-4)
            assert typed(plotspec._section_range_payload(**args)) == typed(ref.section_range_payload(**args))


class TestSectionPanel:
    def test_keys_and_values(self):
        owners = {"objects": ["a.o"], "archives": [], "sources": []}
        p = plotspec._section_panel_data(section=section(size=-3), symbols=[symbol(0)], owners=owners,
                                         issue_ids=("i1", "i2"), baseline_delta=12)
        assert p["section"]["size_bytes"] == -3
        assert p["owners"] == owners
        assert p["baseline"] == {"delta_bytes": 12, "status": "available"}
        assert p["policy"]["violations_count"] == 2
        assert p["symbol_breakdown"] == [{"name": "sym0", "size": 100, "address": 1000, "object_file": "o0.o",
                                          "archive": None, "source_file": "s0.c"}]


class TestSyntheticRange:
    def test_keys_and_values(self):
        r = synthetic()
        assert list(r) == SYNTHETIC_KEYS
        assert "role" not in r
        assert r["size_bytes"] == 1536 and r["size_kib"] == 1.5
        assert r["utilization_ratio_in_region"] == 0.375
        assert r["is_synthetic"] is True and r["is_inter_section_gap"] is False
        assert r["lod_group_key"] == "free:0"
        assert r["owners"] == {"objects": [], "archives": [], "sources": []}
        assert (r["top_symbols"], r["policy_issue_ids"], r["panel"]) == ([], [], {})
        assert synthetic(start=536870912, end=536870999)["lod_group_key"] == "free:536870912"

    def test_sizes(self):
        assert synthetic(start=10, end=9)["size_bytes"] == 0
        assert synthetic(start=10, end=10)["size_bytes"] == 1
        assert synthetic(start=10, end=2)["size_bytes"] == 0
        assert synthetic(start=0, end=999)["size_kib"] == 0.9765625

    def test_gap_flag_is_truthiness(self):
        assert synthetic(is_inter_section_gap=True)["is_inter_section_gap"] is True
        assert synthetic(is_inter_section_gap=[1])["is_inter_section_gap"] is True
        assert synthetic(is_inter_section_gap=0)["is_inter_section_gap"] is False

    def test_null_start_raises_type_error(self):
        with pytest.raises(TypeError):
            synthetic(start=None)
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'region_size'"):
            plotspec._synthetic_range_payload(range_id="a", kind="free", label="l", start=0, end=1)


class TestBoundaryPayload:
    def test_rows_ascending_with_start_internal_and_end(self):
        rows = plotspec._boundary_payload({0x2000, 0x1000, 0x1800}, region_start=0x1000, region_end=0x2000)
        assert rows == [
            {"address": 0x1000, "kind": "start", "label": "region start"},
            {"address": 0x1800, "kind": "internal", "label": "boundary"},
            {"address": 0x2000, "kind": "end", "label": "region end"},
        ]

    def test_one_address_region_is_marked_start(self):
        assert plotspec._boundary_payload([5], region_start=5, region_end=5) == [
            {"address": 5, "kind": "start", "label": "region start"}]

    def test_one_row_per_element_no_filtering(self):
        rows = plotspec._boundary_payload([9, 1, 9, 100], region_start=1, region_end=9)
        assert [(r["address"], r["kind"]) for r in rows] == [(1, "start"), (9, "end"), (9, "end"), (100, "internal")]

    def test_non_integer_addresses_are_truncated_after_comparison(self):
        rows = plotspec._boundary_payload([2.5, 1.0], region_start=1, region_end=2.5)
        assert rows == [{"address": 1, "kind": "start", "label": "region start"},
                        {"address": 2, "kind": "end", "label": "region end"}]
        assert all(type(r["address"]) is int for r in rows)

    def test_uncomparable_addresses_raise_type_error(self):
        with pytest.raises(TypeError):
            plotspec._boundary_payload([1, None], region_start=1, region_end=2)
        with pytest.raises(TypeError):
            plotspec._boundary_payload([1, "2"], region_start=1, region_end=2)
        with pytest.raises(TypeError, match="takes 1 positional argument but 3 were given"):
            plotspec._boundary_payload([1], 1, 2)
