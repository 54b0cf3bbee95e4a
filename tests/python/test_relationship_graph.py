"""The relationship graph: selection limits, node values, capping, ordering, bad input."""

import json
import random
from pathlib import PurePosixPath
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import plotspec
from brenvale.model_io import load_build
from brenvale.pipeline import build_contract
from brenvale.samples import sample_path


# ---- a plain-Python statement of the same rules --------------------------------


def reference_graph(symbols, section_to_region, components):
    owner = {}
    for group in components:
        cname = group.name.strip() or "Unassigned"
        for entry in group.objects:
            key = str(entry).strip()
            if key and key not in owner:
                owner[key] = cname

    obj_bytes, obj_regions, obj_symbols = {}, {}, {}
    for s in symbols:
        size = max(int(s.size), 0)
        if size <= 0:
            continue
        obj = (s.object_file or s.archive or s.compilation_unit or s.source_file or "unknown_object").strip()
        obj_bytes[obj] = obj_bytes.get(obj, 0) + size
        section = (s.section_name or "").strip()
        region = (section_to_region.get(section, "") or "").strip() or "UNASSIGNED_REGION"
        per = obj_regions.setdefault(obj, {})
        per[region] = per.get(region, 0) + size
        obj_symbols.setdefault(obj, []).append(s)

    ranked = sorted(obj_bytes.items(), key=lambda kv: (kv[1], kv[0]), reverse=True)
    kept = {name for name, _ in ranked[:120]}
    comp_bytes = {}
    for obj in kept:
        comp = owner.get(obj, "Unassigned")
        comp_bytes[comp] = comp_bytes.get(comp, 0) + obj_bytes[obj]
    kept_comps = {c for c, _ in sorted(comp_bytes.items(), key=lambda kv: (kv[1], kv[0]), reverse=True)[:24]}

    candidates = [(obj, s) for obj in kept for s in obj_symbols[obj]]
    candidates.sort(key=lambda p: (int(p[1].size), p[0], p[1].demangled_name or p[1].name), reverse=True)
    kept_symbols = candidates[:160]

    nodes = {}

    def upsert_node(*, node_id, display_name, kind, value_bytes):
        if node_id not in nodes:
            nodes[node_id] = {"id": node_id, "name": node_id, "display_name": display_name, "kind": kind,
                              "value_bytes": int(value_bytes)}
        else:
            nodes[node_id]["value_bytes"] = max(int(value_bytes), int(nodes[node_id].get("value_bytes", 0)))

    def link(source, target, value, kind):
        return {"source": source, "target": target, "value": value, "value_bytes": value, "kind": kind}

    links = []
    for obj in kept:
        value = int(obj_bytes.get(obj, 0))
        if value <= 0:
            continue
        comp = owner.get(obj, "Unassigned")
        if comp not in kept_comps:
            comp = "Unassigned"
            kept_comps.add(comp)
        upsert_node(node_id="component::" + comp, display_name=comp, kind="component",
                    value_bytes=comp_bytes.get(comp, value))
        upsert_node(node_id="object::" + obj, display_name=obj, kind="object", value_bytes=value)
        links.append(link("component::" + comp, "object::" + obj, value, "component_to_object"))
        for region, size in sorted(obj_regions[obj].items(), key=lambda kv: (kv[1], kv[0]), reverse=True):
            if size <= 0:
                continue
            upsert_node(node_id="region::" + region, display_name=region, kind="memory_region", value_bytes=size)
            links.append(link("object::" + obj, "region::" + region, int(size), "object_to_region"))
    for pos, (obj, s) in enumerate(kept_symbols):
        if "object::" + obj not in nodes:
            continue
        size = max(int(s.size), 0)
        if size <= 0:
            continue
        display = (s.demangled_name or s.name or "unnamed_symbol").strip()
        sid = f"symbol::{obj}::{display}::{pos}"
        upsert_node(node_id=sid, display_name=display, kind="symbol", value_bytes=size)
        links.append(link("object::" + obj, sid, size, "object_to_symbol"))

    total = len(links)
    rendered_links = sorted(links, key=lambda l: (l.get("value_bytes", 0), str(l.get("source", "")),
                                                  str(l.get("target", ""))), reverse=True)[:1200]
    referenced = {str(l["source"]) for l in rendered_links} | {str(l["target"]) for l in rendered_links}
    rank = {"component": 0, "object": 1, "memory_region": 2, "symbol": 3}
    rendered_nodes = sorted((n for n in nodes.values() if n["id"] in referenced),
                            key=lambda n: (rank.get(n["kind"], 99), -int(n["value_bytes"]), str(n["display_name"])))
    return {
        "nodes": rendered_nodes,
        "links": rendered_links,
        "truncated": len(ranked) > 120 or len(kept_symbols) >= 160 or total > 1200,
        "stats": {"objects_count": len(ranked), "components_count": len(comp_bytes),
                  "symbols_count": len(kept_symbols), "links_count": total,
                  "rendered_nodes_count": len(rendered_nodes), "rendered_links_count": len(rendered_links)},
    }


def same(a, b):
    """Equal including the order of every map's keys."""
    return json.dumps(a) == json.dumps(b)


def sym(size, obj="a.o", name="f", section=".text", *, demangled=None, archive=None, unit=None, source=None):
    return NS(size=size, object_file=obj, archive=archive, compilation_unit=unit, source_file=source,
              section_name=section, demangled_name=demangled, name=name)


def comp(name, *objects):
    return NS(name=name, objects=list(objects))


def graph(symbols=(), to_region=None, components=()):
    return plotspec._build_relationship_graph_view(model=NS(symbols=list(symbols)),
                                                   section_to_region=to_region or {}, components=list(components))


def ids(view, kind=None):
    return [n["id"] for n in view["nodes"] if kind is None or n["kind"] == kind]


# ---- behaviour ------------------------------------------------------------------


class TestAggregation:
    def test_no_symbols(self):
        view = graph()
        assert list(view) == ["nodes", "links", "truncated", "stats"]
        assert view["nodes"] == [] and view["links"] == [] and view["truncated"] is False
        assert list(view["stats"]) == ["objects_count", "components_count", "symbols_count", "links_count",
                                       "rendered_nodes_count", "rendered_links_count"]
        assert set(view["stats"].values()) == {0}

    def test_non_positive_sizes_contribute_nothing(self):
        assert same(graph([sym(0), sym(-4, obj="b.o", section=".data")]), graph())
        view = graph([sym(5), sym(-4, section=".data"), sym(0, name="g")])
        assert view["stats"]["symbols_count"] == 1 and view["stats"]["links_count"] == 3

    def test_fallback_names(self):
        view = graph([sym(3, obj=None, name=None, section=None)])
        assert ids(view) == ["component::Unassigned", "object::unknown_object", "region::UNASSIGNED_REGION",
                             "symbol::unknown_object::unnamed_symbol::0"]
        assert list(view["nodes"][0]) == ["id", "name", "display_name", "kind", "value_bytes"]
        assert list(view["links"][0]) == ["source", "target", "value", "value_bytes", "kind"]

    def test_object_attribution_and_display_names(self):
        view = graph([sym(3, obj="", archive=None, unit="unit.c", source="src.c", name=" f ", demangled=""),
                      sym(2, obj=None, archive=" lib.a ", name="g", demangled=" ns::g() ")],
                     components=[comp("  ", "unit.c")])
        assert "object::unit.c" in ids(view) and "object::lib.a" in ids(view)
        assert "symbol::unit.c::f::0" in ids(view) and "symbol::lib.a::ns::g()::1" in ids(view)
        assert ids(view, "component") == ["component::Unassigned"]

    def test_first_group_listing_an_object_owns_it(self):
        view = graph([sym(5, obj="x.o"), sym(7, obj="7"), sym(9, obj="p.o")],
                     components=[comp("first", " x.o ", "", 7), comp("second", "x.o", PurePosixPath("p.o"))])
        assert [(l["source"], l["target"]) for l in view["links"] if l["kind"] == "component_to_object"] == [
            ("component::second", "object::p.o"), ("component::first", "object::7"),
            ("component::first", "object::x.o")]

    def test_region_node_keeps_the_largest_per_object_bytes(self):
        view = graph([sym(100, obj="a.o"), sym(300, obj="b.o")], to_region={".text": " FLASH "})
        flash = [n for n in view["nodes"] if n["id"] == "region::FLASH"]
        assert flash[0]["value_bytes"] == 300
        assert sorted(l["value"] for l in view["links"] if l["target"] == "region::FLASH") == [100, 300]

    def test_equal_display_names_get_distinct_ids(self):
        view = graph([sym(4, name="dup"), sym(4, name="dup")])
        assert ids(view, "symbol") == ["symbol::a.o::dup::0", "symbol::a.o::dup::1"]


class TestLimits:
    def test_ties_rank_names_in_descending_order(self):
        # 119 large objects plus a.o and b.o of equal size: only b.o makes the cut.
        symbols = [sym(1000 + i, obj=f"big{i:03}.o") for i in range(119)] + [sym(5, obj="a.o"), sym(5, obj="b.o")]
        view = graph(symbols)
        assert "object::b.o" in ids(view) and "object::a.o" not in ids(view)
        assert view["truncated"] is True and view["stats"]["objects_count"] == 121
        assert len(ids(view, "object")) == 120
        # With both kept, b.o's link comes first and the nodes list a.o first (ascending names).
        view = graph([sym(5, obj="a.o"), sym(5, obj="b.o")])
        assert [l["target"] for l in view["links"] if l["kind"] == "component_to_object"] == [
            "object::b.o", "object::a.o"]
        assert ids(view, "object") == ["object::a.o", "object::b.o"]

    @pytest.mark.parametrize("count, truncated", [(159, False), (160, True), (161, True)])
    def test_symbol_list_full_counts_as_truncated(self, count, truncated):
        view = graph([sym(10 + i, name=f"s{i}") for i in range(count)])
        assert len(ids(view, "symbol")) == min(count, 160)
        assert view["stats"]["symbols_count"] == min(count, 160)
        assert view["truncated"] is truncated

    def test_thirty_components(self):
        symbols = [sym(100 + i, obj=f"o{i}.o") for i in range(30)]
        components = [comp(f"c{i:02}", f"o{i}.o") for i in range(30)]
        view = graph(symbols, components=components)
        comps = ids(view, "component")
        assert len(comps) == 25 and comps[-1] == "component::Unassigned"
        assert view["stats"]["components_count"] == 30
        absorbed = {l["target"] for l in view["links"] if l["source"] == "component::Unassigned"}
        assert absorbed == {f"object::o{i}.o" for i in range(6)}
        # "Unassigned" had no bytes of its own: it shows the largest absorbed object.
        assert view["nodes"][24]["value_bytes"] == 105
        assert view["truncated"] is False

    def test_nodes_whose_links_were_cut_are_dropped(self):
        to_region = {f".s{i:04}": f"R{i:04}" for i in range(1300)}
        symbols = [sym(1, section=f".s{i:04}", name=f"f{i}") for i in range(1300)]
        view = graph(symbols, to_region)
        assert view["stats"]["links_count"] == 1 + 1300 + 160 and len(view["links"]) == 1200
        assert view["truncated"] is True
        referenced = {l["source"] for l in view["links"]} | {l["target"] for l in view["links"]}
        assert set(ids(view)) == referenced
        assert view["stats"]["rendered_nodes_count"] == len(view["nodes"]) == 2 + 160 + 1200 - 161
        # The cut falls on the smallest links, whose region ids sort lowest.
        assert "region::R0000" not in referenced and "region::R1299" in referenced

    def test_node_order(self):
        view = graph([sym(10, obj="o1", name="x", section="a"), sym(30, obj="o2", name="y", section="b"),
                      sym(30, obj="o2", name="b", section="b")], to_region={"a": "R1", "b": "R2"})
        kinds = [n["kind"] for n in view["nodes"]]
        assert kinds == sorted(kinds, key=["component", "object", "memory_region", "symbol"].index)
        # Positions follow the symbol ranking; the node list orders by size, then name ascending.
        assert ids(view, "symbol") == ["symbol::o2::b::1", "symbol::o2::y::0", "symbol::o1::x::2"]
        assert ids(view, "memory_region") == ["region::R2", "region::R1"]
        assert ids(view, "object") == ["object::o2", "object::o1"]


class TestBadInput:
    @pytest.mark.parametrize("size, error", [
        ("abc", ValueError), (None, TypeError), (object(), TypeError), (float("nan"), ValueError),
        (2**64, OverflowError),
    ])
    def test_sizes_that_are_not_integers(self, size, error):
        with pytest.raises(error):
            graph([sym(size)])

    @pytest.mark.parametrize("name", [None, 5, b"app", ["app"]])
    def test_component_name_must_be_text(self, name):
        with pytest.raises(AttributeError):
            graph([], components=[NS(name=name, objects=[])])

    def test_missing_attributes(self):
        with pytest.raises(AttributeError):
            graph([NS(size=1, object_file="a.o")])
        with pytest.raises(AttributeError):
            graph([], components=[NS(name="app")])
        with pytest.raises(AttributeError):
            plotspec._build_relationship_graph_view(model=NS(), section_to_region={}, components=[])
        with pytest.raises(AttributeError):
            graph([sym(1, obj=3)])  # an object name without strip()

    def test_sizes_converted_as_int_does(self):
        view = graph([sym("12"), sym(2.9, name="g")])
        assert [n["value_bytes"] for n in view["nodes"] if n["kind"] == "symbol"] == [12, 2]

    def test_errors_leave_the_contract_build_without_result(self):
        build = load_build(sample_path())
        bad = [NS(name=None, objects=[], total_flash=0, total_ram=0, symbols=[])]
        with pytest.raises(AttributeError):
            build_contract(type(build)(model=build.model, components=bad, issues=[]), graph=True)

    def test_contract_carries_the_graph(self):
        build = load_build(sample_path())
        contract = build_contract(build, graph=True)
        model = build.model
        to_region = {s.name: (s.execution_region or "").strip() for s in model.sections if s.name.strip()}
        assert same(contract["relationships"]["graph"], reference_graph(model.symbols, to_region, build.components))


# ---- differential check against the reference ----------------------------------


def random_case(rng, n_symbols, n_objects, n_components, n_regions):
    objects = [f"o{i}.o" for i in range(n_objects)] + ["", "  ", None, " o0.o", "\u00e9.o", "\U0001f600.o", "\ud800.o"]
    sections = [f".s{i}" for i in range(n_regions * 2)] + ["", None, " .s0 "]
    names = ["f", "g", "h", "", "  ", " f ", "z" * 3, "\u00e9", "\U0001f600", "\udc80", "\uffff", "\u3000x"]
    sizes = [0, -1, 1, 2, 2, 3, 50]
    symbols = []
    for _ in range(n_symbols):
        symbols.append(sym(rng.choice(sizes) if rng.random() < 0.7 else rng.randint(-5, 10**4),
                           obj=rng.choice(objects), archive=rng.choice([None, "", "lib.a"]),
                           unit=rng.choice([None, "u.c"]), source=rng.choice([None, " s.c "]),
                           section=rng.choice(sections), name=rng.choice(names),
                           demangled=rng.choice([None, "", "d", " d "])))
    to_region = {s: rng.choice([f"R{i}" for i in range(n_regions)] + ["", None, " R0 "])
                 for s in sections if s is not None and rng.random() < 0.8}
    components = []
    for i in range(n_components):
        members = rng.sample(objects[:n_objects] + [" o1.o", "", 0], k=min(rng.randint(0, 6), n_objects + 3))
        components.append(comp(rng.choice([f"c{i}", f"c{i % 4}", " ", "Unassigned"]), *members))
    return symbols, to_region, components


@settings(max_examples=150, deadline=None)
@given(seed=st.integers(0, 2**32), n_symbols=st.integers(0, 700), n_objects=st.integers(1, 160),
       n_components=st.integers(0, 40), n_regions=st.integers(1, 30))
def test_matches_reference(seed, n_symbols, n_objects, n_components, n_regions):
    symbols, to_region, components = random_case(random.Random(seed), n_symbols, n_objects, n_components,
                                                 n_regions)
    assert same(graph(symbols, to_region, components), reference_graph(symbols, to_region, components))


# ---- both views in one build ----------------------------------------------------
# With both flags on, one read of the symbols feeds both views. The result, and the
# failure when there is one, must be what building the Sankey view and then the
# graph one after the other gives: the Sankey view's failure first, then the
# graph's components, then the graph's symbols.

_TEXTS = ["a.o", " a.o", "a.o\t", "b.o", "", "  ", ".text", " .text ", ".data", "\u00e9.o", "lib.a"]
_ODD = [None, 0, 3, 2.5, True, False, float("nan")]
_BIG = [2**62, 2**63 - 1, -(2**63)]


def _fresh(text):
    """An equal text in a new object, so that equal names also arrive from different places."""
    return "".join(list(text)) if len(text) > 1 else text


_fields = st.one_of(st.sampled_from(_TEXTS).flatmap(lambda t: st.sampled_from([t, _fresh(t)])),
                    st.sampled_from(_ODD))
_sizes = st.one_of(st.integers(-3, 5000), st.sampled_from(_BIG + [1.5, True, None, float("nan"), "7"]))
_symbols = st.builds(NS, size=_sizes, object_file=_fields, archive=_fields, compilation_unit=_fields,
                     source_file=_fields, section_name=_fields, demangled_name=_fields, name=_fields)


def _outcome(build):
    try:
        return "ok", json.dumps(build())
    except Exception as exc:  # the type and message are what is compared
        return type(exc).__name__, str(exc)


def _one_after_the_other(model, to_region, components):
    sankey = plotspec._build_sankey_view(model=model, section_map={}, section_to_region=to_region)
    graph = plotspec._build_relationship_graph_view(model=model, section_to_region=to_region,
                                                    components=components)
    return {"sankey": sankey, "graph": graph}


@settings(max_examples=400, deadline=None)
@given(symbols=st.lists(_symbols, max_size=12),
       to_region=st.dictionaries(st.sampled_from([".text", ".data", "", "a.o"]),
                                 st.one_of(st.sampled_from(["R0", " R1 ", "", "  "]), st.sampled_from(_ODD)),
                                 max_size=3),
       components=st.lists(st.builds(comp, st.one_of(st.sampled_from(["c0", " ", ""]), st.sampled_from(_ODD)),
                                     _fields), max_size=2))
def test_both_views_build_as_one_after_the_other(symbols, to_region, components):
    model = NS(symbols=symbols)
    both = _outcome(lambda: plotspec._build_relationship_views(
        model=model, section_map={}, section_to_region=to_region, components=components,
        feature_flags={"sankey_enabled": True, "relationship_graph_enabled": True}))
    assert both == _outcome(lambda: _one_after_the_other(model, to_region, components))


@pytest.mark.parametrize("symbols, components, error", [
    # the graph fails on the first symbol, the Sankey view only on the last: the Sankey view's failure wins
    ([sym(4, obj=7), sym(4, section=1.5)], [], "section_name"),
    # the graph's components are read before its symbols
    ([sym(4, obj=7)], [comp(None, "a.o")], "component name"),
    ([sym(4, obj=7), sym(4)], [comp("c", "a.o")], "object attribution"),
])
def test_failure_order_with_both_views(symbols, components, error):
    with pytest.raises(AttributeError, match=error):
        plotspec._build_relationship_views(
            model=NS(symbols=symbols), section_map={}, section_to_region={}, components=components,
            feature_flags={"sankey_enabled": True, "relationship_graph_enabled": True})


def test_both_views_on_a_large_generated_model():
    symbols, to_region, components = random_case(random.Random(11), 6000, 400, 30, 12)
    model = NS(symbols=symbols)
    views = plotspec._build_relationship_views(
        model=model, section_map={}, section_to_region=to_region, components=components,
        feature_flags={"sankey_enabled": True, "relationship_graph_enabled": True})
    assert same(views, _one_after_the_other(model, to_region, components))
    assert same(views["graph"], reference_graph(symbols, to_region, components))
