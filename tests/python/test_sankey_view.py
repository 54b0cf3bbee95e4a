"""The Sankey view and the relationships map: flows, limits, fallback, bad input."""

import json
import random
from collections.abc import Mapping
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import plotspec
from brenvale.model_io import load_build
from brenvale.pipeline import build_contract
from brenvale.samples import sample_path


# ---- a plain-Python statement of the same rules --------------------------------


def _desc(mapping):
    return sorted(mapping.items(), key=lambda kv: (kv[1], kv[0]), reverse=True)


def reference_sankey(symbols, section_map, section_to_region):
    io, orr, inputs, outputs, regions = {}, {}, {}, {}, {}

    def add(inp, out, reg, size):
        io[(inp, out)] = io.get((inp, out), 0) + size
        orr[(out, reg)] = orr.get((out, reg), 0) + size
        inputs[inp] = inputs.get(inp, 0) + size
        outputs[out] = outputs.get(out, 0) + size
        regions[reg] = regions.get(reg, 0) + size

    basis = "symbols"
    for sym in symbols:
        size = int(sym.size)
        if size <= 0:
            continue
        section = (sym.section_name or "").strip()
        if not section:
            continue
        region = (section_to_region.get(section, "") or "").strip() or "UNASSIGNED_REGION"
        add(section, section, region, size)
    if not io and not orr:
        basis = "sections"
        for sec in sorted(section_map.values(), key=lambda s: (s.name, s.vma)):
            size = int(sec.size)
            if size <= 0:
                continue
            out = (sec.name or "").strip() or "unnamed-output-section"
            inp = (sec.load_region or sec.name or "unknown-input-section").strip()
            reg = (sec.execution_region or "").strip() or "UNASSIGNED_REGION"
            add(inp, out, reg, size)

    inc_in = {name for name, _ in _desc(inputs)[:160]}
    inc_out = {name for name, _ in _desc(outputs)[:180]}

    def link(source, target, size, kind):
        return {"source": source, "target": target, "value": size, "value_bytes": size,
                "value_kib": size / 1024, "kind": kind}

    links = []
    for (inp, out), size in sorted(io.items(), key=lambda kv: (kv[1], kv[0][0], kv[0][1]), reverse=True):
        if size > 0 and inp in inc_in and out in inc_out:
            links.append(link("input::" + inp, "output::" + out, size, "input_to_output"))
    for (out, reg), size in sorted(orr.items(), key=lambda kv: (kv[1], kv[0][0], kv[0][1]), reverse=True):
        if size > 0 and out in inc_out and reg in regions:
            links.append(link("output::" + out, "region::" + reg, size, "output_to_region"))
    links.sort(key=lambda l: (l["value_bytes"], l["source"], l["target"]), reverse=True)
    links_count = len(links)
    links = links[:700]
    used = {l["source"] for l in links} | {l["target"] for l in links}

    nodes = []
    for prefix, kind, totals in (("input::", "input_section", inputs), ("output::", "output_section", outputs),
                                 ("region::", "memory_region", regions)):
        for name, size in _desc(totals):
            if prefix + name in used:
                nodes.append({"id": prefix + name, "name": prefix + name, "display_name": name, "kind": kind,
                              "value_bytes": size})
    rank = {"input_section": 0, "output_section": 1, "memory_region": 2}
    nodes.sort(key=lambda n: (rank.get(n["kind"], 99), n["value_bytes"], n["display_name"]))
    return {
        "nodes": nodes,
        "links": links,
        "source_basis": basis,
        "truncated": len(inputs) > 160 or len(outputs) > 180 or links_count > 700,
        "stats": {"inputs_count": len(inputs), "outputs_count": len(outputs), "regions_count": len(regions),
                  "links_count": links_count, "rendered_nodes_count": len(nodes),
                  "rendered_links_count": len(links)},
    }


def same(a, b):
    """Equal including the order of every map's keys."""
    return json.dumps(a) == json.dumps(b)


def sym(size, section, **extra):
    return NS(size=size, section_name=section, **extra)


def sec(name, size, *, vma=0, load=None, region=None):
    return NS(name=name, vma=vma, size=size, load_region=load, execution_region=region)


def sankey(symbols=(), section_map=None, section_to_region=None):
    return plotspec._build_sankey_view(model=NS(symbols=list(symbols)), section_map=section_map or {},
                                       section_to_region=section_to_region or {})


# ---- the relationships map ------------------------------------------------------


class TestRelationshipViews:
    MODEL = NS(symbols=[NS(size=8, section_name=".text", object_file="a.o", archive=None, compilation_unit=None,
                           source_file=None, demangled_name=None, name="f")])

    @pytest.mark.parametrize("flags, keys", [
        ({}, []),
        ({"sankey_enabled": False, "relationship_graph_enabled": False}, []),
        ({"relationship_graph_enabled": True}, ["graph"]),
        ({"sankey_enabled": True}, ["sankey"]),
        ({"relationship_graph_enabled": True, "sankey_enabled": True}, ["sankey", "graph"]),
        ({"sankey_enabled": 1, "relationship_graph_enabled": "yes"}, ["sankey", "graph"]),  # tested for truth
        ({"sankey_enabled": "", "relationship_graph_enabled": None}, []),
    ])
    def test_views_present_only_when_their_flag_is_true(self, flags, keys):
        views = plotspec._build_relationship_views(model=self.MODEL, section_map={}, section_to_region={},
                                                   components=[], feature_flags=flags)
        assert list(views) == keys
        if "sankey" in views:
            assert views["sankey"] == sankey(self.MODEL.symbols)
        if "graph" in views:
            assert views["graph"]["stats"]["objects_count"] == 1

    def test_disabled_views_read_nothing(self):
        # Neither the model nor the maps are touched when both flags are off.
        assert plotspec._build_relationship_views(model=None, section_map=None, section_to_region=None,
                                                  components=None, feature_flags={}) == {}

    def test_flags_from_any_mapping_and_errors_from_the_rest(self):
        class Flags(Mapping):
            def __init__(self, d):
                self.d = d

            def __getitem__(self, k):
                return self.d[k]

            def __iter__(self):
                return iter(self.d)

            def __len__(self):
                return len(self.d)

        views = plotspec._build_relationship_views(model=self.MODEL, section_map={}, section_to_region={},
                                                   components=[], feature_flags=Flags({"sankey_enabled": True}))
        assert list(views) == ["sankey"]
        with pytest.raises(AttributeError):
            plotspec._build_relationship_views(model=self.MODEL, section_map={}, section_to_region={},
                                               components=[], feature_flags=[("sankey_enabled", True)])

    @pytest.mark.parametrize("call", [
        lambda: plotspec._build_sankey_view(NS(symbols=[]), {}, {}),
        lambda: plotspec._build_sankey_view(model=NS(symbols=[]), section_map={}),
        lambda: plotspec._build_sankey_view(model=NS(symbols=[]), section_map={}, section_to_region={}, extra=1),
        lambda: plotspec._build_relationship_views(model=NS(symbols=[]), section_map={}, section_to_region={},
                                                   components=[]),
    ])
    def test_argument_binding(self, call):
        with pytest.raises(TypeError):
            call()

    @pytest.mark.parametrize("sankey_on, graph_on", [(True, True), (False, False), (True, False)])
    def test_bundled_sample_contract(self, sankey_on, graph_on):
        build = load_build(sample_path())
        contract = build_contract(build, sankey=sankey_on, graph=graph_on)
        rel = contract["relationships"]
        assert list(rel) == [k for k, on in (("sankey", sankey_on), ("graph", graph_on)) if on]
        if sankey_on:
            model = build.model
            section_map = {s.name: s for s in model.sections}
            to_region = {s.name: (s.execution_region or "").strip() for s in model.sections if s.name.strip()}
            expected = reference_sankey(model.symbols, section_map, to_region)
            assert same(rel["sankey"], expected)
            assert rel["sankey"]["nodes"] and rel["sankey"]["source_basis"] == "symbols"
        if graph_on:
            assert rel["graph"]["nodes"]


# ---- the Sankey view ------------------------------------------------------------


class TestSymbolBasis:
    def test_one_section_gives_two_links_carrying_the_sum(self):
        view = sankey([sym(1000, ".text"), sym(536, " .text ")], section_to_region={".text": "FLASH"})
        assert view["source_basis"] == "symbols"
        assert [(l["source"], l["target"], l["kind"]) for l in view["links"]] == [
            ("output::.text", "region::FLASH", "output_to_region"),
            ("input::.text", "output::.text", "input_to_output"),
        ]
        assert list(view["links"][0]) == ["source", "target", "value", "value_bytes", "value_kib", "kind"]
        assert all(l["value"] == l["value_bytes"] == 1536 and l["value_kib"] == 1.5 for l in view["links"])
        assert list(view) == ["nodes", "links", "source_basis", "truncated", "stats"]
        assert [n["id"] for n in view["nodes"]] == ["input::.text", "output::.text", "region::FLASH"]
        assert list(view["nodes"][0]) == ["id", "name", "display_name", "kind", "value_bytes"]

    @pytest.mark.parametrize("to_region", [{}, {".bss": ""}, {".bss": "   "}, {".bss": None}, {" .bss": "RAM"}])
    def test_sections_without_region_flow_into_unassigned(self, to_region):
        view = sankey([sym(4, ".bss")], section_to_region=to_region)
        assert view["nodes"][-1]["display_name"] == "UNASSIGNED_REGION"
        assert view["nodes"][-1]["id"] == "region::UNASSIGNED_REGION"

    def test_node_order_is_ascending_within_columns(self):
        view = sankey([sym(1000, "big"), sym(10, "small"), sym(10, "also")], section_to_region={"big": "R"})
        assert [n["id"] for n in view["nodes"]] == [
            "input::also", "input::small", "input::big",
            "output::also", "output::small", "output::big",
            "region::UNASSIGNED_REGION", "region::R",
        ]

    def test_ties_break_on_names_in_descending_order(self):
        view = sankey([sym(5, "a"), sym(5, "b")])
        assert [l["source"] for l in view["links"]] == ["output::b", "output::a", "input::b", "input::a"]

    def test_only_the_largest_160_inputs_are_drawn(self):
        view = sankey([sym(1000 + i, f"s{i:03}") for i in range(200)])
        inputs = [n for n in view["nodes"] if n["kind"] == "input_section"]
        assert len(inputs) == 160 and min(n["value_bytes"] for n in inputs) == 1040
        # Inputs beyond 160 lose their links before counting; outputs beyond 180 too.
        assert view["stats"] == {"inputs_count": 200, "outputs_count": 200, "regions_count": 1,
                                 "links_count": 160 + 180, "rendered_nodes_count": 160 + 180 + 1,
                                 "rendered_links_count": 340}
        assert view["truncated"] is True

    def test_symbols_without_flow_are_skipped(self):
        view = sankey([sym(0, ".a"), sym(-5, ".b"), sym(3, None), sym(3, "  "), sym(2, ".c")])
        assert view["stats"]["inputs_count"] == 1 and view["source_basis"] == "symbols"


class TestSectionFallback:
    EMPTY = {"nodes": [], "links": [], "source_basis": "sections", "truncated": False,
             "stats": {"inputs_count": 0, "outputs_count": 0, "regions_count": 0, "links_count": 0,
                       "rendered_nodes_count": 0, "rendered_links_count": 0}}

    @pytest.mark.parametrize("symbols", [[], [sym(0, ".text"), sym(-1, ".text")], [sym(10, None), sym(10, " ")]])
    def test_no_symbol_flows_and_no_sections(self, symbols):
        assert same(sankey(symbols), self.EMPTY)

    def test_sections_flow_from_load_region(self):
        sections = {
            ".text": sec(".text", 100, load="FLASH", region="FLASH"),
            ".data": sec(".data", 8, vma=4, load="FLASH", region=" RAM "),
            "": sec("", 4, load=None, region=None),
            "  ": sec("  ", 2, load="", region=""),
            ".zero": sec(".zero", 0, load="FLASH", region="FLASH"),
        }
        view = sankey([sym(0, ".text")], sections, section_to_region={".text": "IGNORED"})
        assert view["source_basis"] == "sections"
        pairs = {(l["source"], l["target"]) for l in view["links"]}
        assert ("input::FLASH", "output::.data") in pairs and ("output::.data", "region::RAM") in pairs
        assert ("input::unknown-input-section", "output::unnamed-output-section") in pairs
        # A blank name is chosen over the fallback, then stripped to nothing.
        assert ("input::", "output::unnamed-output-section") in pairs
        assert not any("IGNORED" in t or ".zero" in t for _, t in pairs)
        assert same(view, reference_sankey([], sections, {}))

    def test_section_map_is_read_only_for_the_fallback(self):
        assert sankey([sym(1, ".t")], section_map=object())["source_basis"] == "symbols"
        with pytest.raises(AttributeError):
            sankey([], section_map=object())

    def test_seven_hundred_links_at_most(self):
        # Names that strip to the same output section, each loaded from its own region.
        sections = {}
        for out in range(10):
            for variant in range(100):
                name = " " * variant + f".o{out}"
                sections[name] = sec(name, 1 + variant, load=f"L{variant:03}", region="R")
        view = sankey([], sections)
        assert view["stats"]["links_count"] == 1000 + 10
        assert len(view["links"]) == 700 and view["truncated"] is True
        assert same(view, reference_sankey([], sections, {}))


class TestBadInput:
    @pytest.mark.parametrize("size, error", [
        ("abc", ValueError), (None, TypeError), ([1], TypeError), (float("nan"), ValueError),
        (float("inf"), OverflowError), (2**70, OverflowError),
    ])
    def test_sizes_that_are_not_integers(self, size, error):
        with pytest.raises(error):
            sankey([sym(size, ".text")])
        with pytest.raises(error):
            sankey([], {".t": sec(".t", size)})

    @pytest.mark.parametrize("size, expected", [("12", 12), (" 7 ", 7), (3.9, 3), (True, 1)])
    def test_sizes_converted_as_int_does(self, size, expected):
        assert sankey([sym(size, ".t")])["links"][0]["value"] == expected

    def test_missing_attributes_and_odd_names(self):
        with pytest.raises(AttributeError):
            sankey([NS(size=1)])
        with pytest.raises(AttributeError):
            plotspec._build_sankey_view(model=NS(), section_map={}, section_to_region={})
        with pytest.raises(AttributeError):
            sankey([sym(1, 42)])  # a section name without strip()
        with pytest.raises(AttributeError):
            sankey([], {".t": NS(name=".t", vma=0, size=1)})
        with pytest.raises(TypeError):  # names that cannot be ordered in the fallback
            sankey([], {"a": sec(None, 1), "b": sec("b", 1)})

    def test_section_to_region_from_any_mapping(self):
        class Regions(Mapping):
            def __getitem__(self, k):
                return {".t": "FLASH"}[k]

            def __iter__(self):
                return iter([".t"])

            def __len__(self):
                return 1

        assert sankey([sym(3, ".t")], section_to_region=Regions())["nodes"][-1]["id"] == "region::FLASH"
        with pytest.raises(AttributeError):
            sankey([sym(3, ".t")], section_to_region=[(".t", "FLASH")])
        with pytest.raises(AttributeError):  # a region name without strip()
            sankey([sym(3, ".t")], section_to_region={".t": 7})

    def test_inputs_are_not_modified(self):
        symbols = [sym(5, ".t")]
        sections = {".t": sec(".t", 5)}
        to_region = {".t": "R"}
        before = (list(symbols), dict(sections), dict(to_region), vars(symbols[0]).copy())
        sankey(symbols, sections, to_region)
        assert before == (symbols, sections, to_region, vars(symbols[0]))


# ---- differential check against the reference ----------------------------------


def random_case(rng, n_symbols, n_sections, n_regions):
    regions = [f"R{i}" for i in range(n_regions)] + ["", "  ", None, " R0 "]
    names = [f".s{i}" for i in range(n_sections)] + ["", "  ", None, " .s0", ".s1 ", "\u00e9", "\U0001f600",
                                                     "\udc80", "\uffff", "\u2028.s2"]
    sizes = [0, -3, 1, 2, 3, 1024, 5000]
    symbols = [sym(rng.choice(sizes) if rng.random() < 0.5 else rng.randint(-10, 10**6), rng.choice(names))
               for _ in range(n_symbols)]
    to_region = {n: rng.choice(regions) for n in names if n and rng.random() < 0.8}
    section_map = {}
    for i in range(n_sections):
        name = rng.choice([f".s{i}", f" .s{i % 7}", f".s{i % 5} "])
        section_map[name] = sec(name, rng.choice(sizes), vma=rng.randint(0, 3), load=rng.choice(regions),
                                region=rng.choice(regions))
    return symbols, section_map, to_region


@settings(max_examples=150, deadline=None)
@given(seed=st.integers(0, 2**32), n_symbols=st.integers(0, 600), n_sections=st.integers(0, 400),
       n_regions=st.integers(1, 40), fallback=st.booleans())
def test_matches_reference(seed, n_symbols, n_sections, n_regions, fallback):
    symbols, section_map, to_region = random_case(random.Random(seed), n_symbols, n_sections, n_regions)
    if fallback:
        symbols = [s for s in symbols if s.size <= 0]
    assert same(sankey(symbols, section_map, to_region), reference_sankey(symbols, section_map, to_region))
