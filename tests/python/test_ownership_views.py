"""Ownership views: component, object and symbol tables and the treemap."""

import random
import re
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import plotspec


# ---- records ----------------------------------------------------------------

def sym(name="s", size=1, section=".text", obj="a.o", archive=None, unit=None, source=None, demangled=None):
    return NS(
        name=name, demangled_name=demangled, size=size, section_name=section, object_file=obj,
        archive=archive, compilation_unit=unit, source_file=source, address=0,
    )


def sec(name, region):
    return NS(name=name, execution_region=region)


def comp(name, objects=(), flash=0, ram=0, symbols=()):
    return NS(name=name, objects=list(objects), total_flash=flash, total_ram=ram, symbols=list(symbols))


def views(symbols=(), sections=(), components=(), regions=None):
    section_map = {s.name: s for s in sections}
    if regions is None:
        regions = {s.name: (s.execution_region or "").strip() for s in sections if (s.name or "").strip()}
    return plotspec._build_ownership_views(
        symbols=list(symbols), section_map=section_map, section_to_region=regions, components=list(components),
    )


EMPTY = {"by_component": [], "by_object": [], "by_symbol": [], "treemap_hierarchy": []}


# ---- a plain-Python statement of the same rules, for differential checks ----

def ref_category(section):
    if section is None:
        return "other"
    name = section.name.lower()
    region = section.execution_region or ""
    if region and re.search("flash|rom", region, re.IGNORECASE):
        return "flash"
    if region and re.search("ram|sram|dtcm|itcm|tcm", region, re.IGNORECASE):
        return "ram"
    if "text" in name or "rodata" in name:
        return "flash"
    if any(token in name for token in ("data", "bss", "heap", "stack", "noinit")):
        return "ram"
    return "other"


def ref_views(symbols, section_map, section_to_region, components):
    owner = {}
    for c in components:
        cname = c.name.strip() or "Unassigned"
        for o in c.objects:
            key = str(o).strip()
            if key and key not in owner:
                owner[key] = cname
    rows, totals, tree = [], {}, {}
    for s in symbols:
        size = s.size
        if size <= 0:
            continue
        key = (s.object_file or s.archive or s.compilation_unit or s.source_file or "unknown_object").strip()
        component = owner.get(key, "Unassigned")
        section_name = (s.section_name or "").strip()
        region = section_to_region.get(section_name, "")
        category = ref_category(section_map.get(section_name))
        t = totals.setdefault(
            key, {"component_name": "Unassigned", "total_bytes": 0, "flash_bytes": 0, "ram_bytes": 0, "other_bytes": 0}
        )
        t["component_name"] = component
        t["total_bytes"] += size
        t[category + "_bytes"] += size
        row = {
            "name": s.demangled_name or s.name, "size_bytes": size, "section_name": section_name or None,
            "object_file": s.object_file, "archive": s.archive, "source_file": s.source_file,
            "region_name": region or None, "component_name": component,
        }
        rows.append(row)
        tree.setdefault(component, {}).setdefault(key, []).append(row)
    objects = [
        {"name": k, "component_name": str(t["component_name"]), "total_bytes": int(t["total_bytes"]),
         "flash_bytes": int(t["flash_bytes"]), "ram_bytes": int(t["ram_bytes"]), "other_bytes": int(t["other_bytes"])}
        for k, t in totals.items()
    ]
    objects.sort(key=lambda r: r["total_bytes"], reverse=True)
    by_size = sorted(rows, key=lambda r: r["size_bytes"], reverse=True)

    comp_rows = [
        {"name": c.name, "total_flash_bytes": int(c.total_flash), "total_ram_bytes": int(c.total_ram),
         "objects_count": len(c.objects), "symbols_count": len(c.symbols)}
        for c in sorted(components, key=lambda c: c.total_flash + c.total_ram, reverse=True)
    ]
    derived, names = {}, {}
    for r in by_size:
        c = str(r["component_name"]) or "Unassigned"
        derived[c] = derived.get(c, 0) + r["size_bytes"]
        names.setdefault(c, set()).add(str(r["object_file"] or r["archive"] or "unknown_object"))
    known = {str(r["name"]) for r in comp_rows}
    for c, total in derived.items():
        if c not in known:
            comp_rows.append({
                "name": c, "total_flash_bytes": total, "total_ram_bytes": 0, "objects_count": len(names[c]),
                "symbols_count": sum(1 for r in by_size if (str(r["component_name"]) or "Unassigned") == c),
            })
    comp_rows.sort(key=lambda r: (r["total_flash_bytes"] + r["total_ram_bytes"], r["name"]), reverse=True)

    nodes = []
    visit = sorted(
        tree.items(), key=lambda kv: (sum(r["size_bytes"] for rs in kv[1].values() for r in rs), kv[0]), reverse=True
    )
    for component, objs in visit:
        value, children = 0, []
        ranked = sorted(objs.items(), key=lambda kv: (sum(r["size_bytes"] for r in kv[1]), kv[0]), reverse=True)
        for key, orows in ranked[:80]:
            kept = sorted(orows, key=lambda r: (r["size_bytes"], str(r["name"])), reverse=True)[:40]
            ovalue = sum(r["size_bytes"] for r in kept)
            children.append({"name": key, "value": ovalue, "children": [
                {"name": str(r["name"]), "value": r["size_bytes"], "section_name": r["section_name"],
                 "region_name": r["region_name"], "source_file": r["source_file"]} for r in kept]})
            value += ovalue
        nodes.append({"name": component, "value": value, "children": children})
    nodes.sort(key=lambda n: (n["value"], n["name"]), reverse=True)
    return {"by_component": comp_rows[:200], "by_object": objects[:200], "by_symbol": by_size[:200],
            "treemap_hierarchy": nodes[:200]}


def check_against_reference(symbols, sections, regions, components):
    section_map = {s.name: s for s in sections}
    got = plotspec._build_ownership_views(
        symbols=symbols, section_map=section_map, section_to_region=regions, components=components
    )
    assert got == ref_views(symbols, section_map, regions, components)
    assert list(got) == ["by_component", "by_object", "by_symbol", "treemap_hierarchy"]
    return got


# Small alphabets so that ties, shared objects and blank names are common.
TEXTS = ["a", "b", "B", "ab", "é", "\U0001f600", "<b>&amp;", "", "  ", " a ", "\udc80",
         # Names that agree in their first eight bytes and differ after them.
         "handler_a", "handler_b", "handler", "handler\x00", "handler\x00\x01", "handleré"]
OBJECTS = [None, "", "   ", "a.o", " a.o ", "b.o", "ü.o", "<x>.o", "\udcff.o"]
SECTIONS = [None, "", " ", ".text", " .text ", ".data", ".bss", ".rodata", "other", ".stack", "é"]
REGION_NAMES = [None, "", "FLASH", "ram", "ITCM", "flaſh", "misc", " SRAM "]

symbol_st = st.builds(
    sym,
    name=st.sampled_from(TEXTS),
    # Mostly integers; a few float and bool sizes take the host's mixed arithmetic.
    size=st.one_of(st.integers(-3, 40), st.integers(-3, 40), st.integers(-3, 40),
                   st.sampled_from([0.5, 2.5, 1.25, -0.5, 0.0, True])),
    section=st.sampled_from(SECTIONS),
    obj=st.sampled_from(OBJECTS),
    archive=st.sampled_from(OBJECTS),
    unit=st.sampled_from(OBJECTS),
    source=st.sampled_from(OBJECTS),
    demangled=st.sampled_from([None, "", "d", "é"]),
)
component_st = st.builds(
    comp,
    name=st.sampled_from(["c1", " c1 ", "", "  ", "Unassigned", "b", "B", "é"]),
    objects=st.lists(st.sampled_from(["a.o", " a.o", "b.o", "ü.o", "", "  ", "unknown_object", 7]), max_size=4),
    flash=st.integers(-5, 60),
    ram=st.integers(0, 60),
    symbols=st.lists(st.none(), max_size=3),
)


@st.composite
def models(draw):
    sections = [sec(n, r) for n, r in draw(st.lists(
        st.tuples(st.sampled_from([".text", ".data", ".bss", ".rodata", "other", ".stack", "é", "  "]),
                  st.sampled_from(REGION_NAMES)), max_size=6, unique_by=lambda t: t[0]))]
    regions = {s.name: (s.execution_region or "").strip() for s in sections if s.name.strip()}
    return draw(st.lists(symbol_st, max_size=40)), sections, regions, draw(st.lists(component_st, max_size=5))


class TestAgainstReference:
    @settings(max_examples=300, deadline=None)
    @given(models())
    def test_generated_models(self, model):
        check_against_reference(*model)

    @pytest.mark.parametrize("seed", range(6))
    def test_large_models_hit_every_limit(self, seed):
        rng = random.Random(seed)
        sections = [sec(".text", "FLASH"), sec(".data", "RAM"), sec(".bss", "RAM"), sec("misc", None)]
        regions = {s.name: (s.execution_region or "") for s in sections}
        # Few components with many objects and many symbols each, and 260 small
        # components: every limit (200 rows, 80 objects, 40 symbols) is exceeded.
        objects = [f"o{i}.o" for i in range(400)]
        components = [comp(f"big{i}", objects[i * 100:(i + 1) * 100], rng.randint(0, 9), 0) for i in range(3)]
        components += [comp(f"small{i}", [f"s{i}.o"], rng.randint(0, 3), rng.randint(0, 3)) for i in range(260)]
        symbols = []
        for i in range(3000):
            if i % 3 == 0:
                o = f"s{rng.randrange(300)}.o"
            else:
                o = rng.choice(objects[:3] if i % 7 == 0 else objects[:120])
            name = f"{'isr_handler_' if i % 2 else 'f'}{rng.randrange(500)}"
            symbols.append(sym(name, rng.randint(-1, 30), rng.choice(list(regions) + [None]), o))
        got = check_against_reference(symbols, sections, regions, components)
        assert [len(got[k]) for k in got] == [200, 200, 200, 200]
        assert max(len(n["children"]) for n in got["treemap_hierarchy"]) == 80
        assert max(len(o["children"]) for n in got["treemap_hierarchy"] for o in n["children"]) == 40


class TestEdgeCases:
    def test_empty_inputs(self):
        assert views() == EMPTY

    def test_declared_components_without_symbols(self):
        got = views(components=[comp("a", ["x.o", "y.o"], 3, 4, [1, 2, 3]), comp("b", [], 10, 0)])
        assert got["by_component"] == [
            {"name": "b", "total_flash_bytes": 10, "total_ram_bytes": 0, "objects_count": 0, "symbols_count": 0},
            {"name": "a", "total_flash_bytes": 3, "total_ram_bytes": 4, "objects_count": 2, "symbols_count": 3},
        ]
        assert got["by_object"] == got["by_symbol"] == got["treemap_hierarchy"] == []

    @pytest.mark.parametrize("size", [0, -1, -10**6, 0.0, -0.5, False])
    def test_non_positive_sizes_count_nowhere(self, size):
        assert views([sym(size=size)]) == EMPTY

    def test_symbol_without_attribution(self):
        got = views([sym(obj=None, size=5)])
        assert got["by_object"][0]["name"] == "unknown_object"
        assert got["by_object"][0]["component_name"] == "Unassigned"
        assert got["by_component"] == [
            {"name": "Unassigned", "total_flash_bytes": 5, "total_ram_bytes": 0, "objects_count": 1,
             "symbols_count": 1}
        ]
        owned = views([sym(obj=None, size=5)], components=[comp("C", ["unknown_object"])])
        assert owned["by_object"][0]["component_name"] == "C"

    @pytest.mark.parametrize("field, distinct", [("archive", 2), ("compilation_unit", 1), ("source_file", 1)])
    def test_object_key_falls_back_in_order(self, field, distinct):
        first, second = sym(obj="", size=5), sym(obj=None, size=4)
        setattr(first, field, " lib.a ")
        setattr(second, field, "other.a")
        got = views([first, second])
        assert [r["name"] for r in got["by_object"]] == ["lib.a", "other.a"]
        # Only the object file and the archive name the objects of a derived component
        # row; the other two fall to "unknown_object".
        assert got["by_component"][0]["objects_count"] == distinct

    def test_first_listing_component_owns_an_object(self):
        got = views([sym(size=3, obj="x.o")], components=[comp("first", [" x.o "]), comp("second", ["x.o"])])
        assert got["by_object"][0]["component_name"] == "first"
        assert got["by_symbol"][0]["component_name"] == "first"

    def test_blank_object_file_gives_the_empty_key(self):
        got = views([sym(obj="   ", archive="lib.a", size=4)], components=[comp("C", ["lib.a"])])
        assert got["by_object"][0]["name"] == ""
        assert got["by_object"][0]["component_name"] == "Unassigned"
        assert got["by_symbol"][0]["object_file"] == "   "

    def test_blank_component_name(self):
        got = views([sym(size=4, obj="x.o")], components=[comp("  ", ["x.o"], 1, 1)])
        names = [r["name"] for r in got["by_component"]]
        assert names == ["Unassigned", "  "]  # derived 4 bytes before the declared 2
        assert got["by_object"][0]["component_name"] == "Unassigned"

    def test_component_name_with_surrounding_blanks(self):
        got = views([sym(size=9, obj="x.o")], components=[comp(" C ", ["x.o"], 1, 0)])
        assert [(r["name"], r["total_flash_bytes"]) for r in got["by_component"]] == [("C", 9), (" C ", 1)]

    def test_declared_unassigned_suppresses_the_derived_row(self):
        got = views([sym(size=7, obj="x.o")], components=[comp("Unassigned", [], 1, 2)])
        assert got["by_component"] == [
            {"name": "Unassigned", "total_flash_bytes": 1, "total_ram_bytes": 2, "objects_count": 0,
             "symbols_count": 0}
        ]

    def test_derived_bytes_all_count_as_flash(self):
        got = views(
            [sym(size=7, section=".data"), sym(size=3, section=".text")],
            sections=[sec(".data", "RAM"), sec(".text", None)],
        )
        assert got["by_component"][0]["total_flash_bytes"] == 10
        assert got["by_component"][0]["total_ram_bytes"] == 0
        assert got["by_object"][0]["ram_bytes"] == 7 and got["by_object"][0]["flash_bytes"] == 3

    def test_unknown_and_tokenless_sections_are_other(self):
        got = views([sym(size=2, section="nowhere"), sym(size=3, section="misc")], sections=[sec("misc", "EXT")])
        row = got["by_object"][0]
        assert (row["other_bytes"], row["flash_bytes"], row["ram_bytes"], row["total_bytes"]) == (5, 0, 0, 5)

    def test_treemap_keeps_forty_symbols_but_object_row_keeps_all(self):
        symbols = [sym(f"s{i:03}", size=i + 1) for i in range(100)]
        got = views(symbols)
        node = got["treemap_hierarchy"][0]["children"][0]
        assert len(node["children"]) == 40
        assert node["value"] == sum(range(61, 101))
        assert got["treemap_hierarchy"][0]["value"] == node["value"]
        assert got["by_object"][0]["total_bytes"] == sum(range(1, 101))

    def test_equal_totals_order_by_name_descending(self):
        got = views(components=[comp("alpha", [], 5), comp("beta", [], 5), comp("Beta", [], 5)])
        assert [r["name"] for r in got["by_component"]] == ["beta", "alpha", "Beta"]

    def test_two_hundred_largest_symbols(self):
        got = views([sym(f"s{i}", size=i + 1, obj=f"o{i}.o") for i in range(250)])
        assert [r["size_bytes"] for r in got["by_symbol"]] == list(range(250, 50, -1))
        assert len(got["by_object"]) == 200

    def test_symbol_row_shape(self):
        s = sym("mangled", 6, section="  .data  ", obj=" x.o ", archive="lib.a", source="x.c", demangled="pretty")
        got = views([s], sections=[sec(".data", " RAM ")], regions={".data": "RAM"})
        assert got["by_symbol"] == [{
            "name": "pretty", "size_bytes": 6, "section_name": ".data", "object_file": " x.o ",
            "archive": "lib.a", "source_file": "x.c", "region_name": "RAM", "component_name": "Unassigned",
        }]
        assert got["treemap_hierarchy"][0]["children"][0]["children"] == [
            {"name": "pretty", "value": 6, "section_name": ".data", "region_name": "RAM", "source_file": "x.c"}
        ]

    def test_leaf_name_is_text(self):
        got = views([sym(name=None, demangled=None, size=2)])
        assert got["by_symbol"][0]["name"] is None
        assert got["treemap_hierarchy"][0]["children"][0]["children"][0]["name"] == "None"

    @pytest.mark.parametrize("text", ["  ", "<script>&\"'", "Größe €", "\U0001f600", "\udc80lone", "a\x00b"])
    def test_odd_names_pass_through_exactly(self, text):
        got = views([sym(name=text, size=3, obj=text, section=text)], components=[comp(text + "!", [text])])
        row = got["by_symbol"][0]
        assert row["name"] == text and row["object_file"] == text
        assert row["section_name"] == (text.strip() or None)
        assert got["by_object"][0]["name"] == text.strip()
        owner = (text + "!").strip()
        assert got["by_object"][0]["component_name"] == (owner if text.strip() else "Unassigned")

    def test_inputs_are_left_unchanged(self):
        symbols = [sym("a", 3), sym("b", 5)]
        components = [comp("C", ["a.o"], 1, 2)]
        before = [vars(s).copy() for s in symbols], [vars(c).copy() for c in components]
        views(symbols, components=components)
        assert ([vars(s) for s in symbols], [vars(c) for c in components]) == before


class TestNumbers:
    def test_float_sizes_are_summed_and_truncated_in_object_rows(self):
        got = views([sym(size=1.5), sym(size=2.25)])
        assert got["by_object"][0]["total_bytes"] == 3
        assert got["by_symbol"][0]["size_bytes"] == 2.25

    @pytest.mark.parametrize("size, error", [(float("nan"), ValueError), (float("inf"), OverflowError)])
    def test_sizes_that_have_no_integer_fail(self, size, error):
        with pytest.raises(error):
            views([sym(size=size)])

    def test_byte_sums_beyond_64_bits_fail(self):
        with pytest.raises(OverflowError):
            views([sym(size=2**62), sym(size=2**62), sym(size=2**62)])
        # Objects within range whose component's total is not: that sum fails too, but
        # only after a declared component's own error.
        apart = [sym("a", 2**63 - 1, obj="a.o"), sym("b", 2**63 - 1, obj="b.o")]
        with pytest.raises(OverflowError):
            views(apart)
        with pytest.raises(TypeError):
            views(apart, components=[comp("C", [], "3", 0)])

    def test_float_component_totals(self):
        got = views(components=[comp("a", [], 2.9, 0.5), comp("b", [], 3, 0)])
        assert [(r["name"], r["total_flash_bytes"]) for r in got["by_component"]] == [("b", 3), ("a", 2)]


class TestBadInput:
    @pytest.mark.parametrize("field", ["size", "object_file", "archive", "section_name", "name", "demangled_name"])
    def test_symbol_lacking_an_attribute(self, field):
        s = sym(size=3)
        delattr(s, field)
        with pytest.raises(AttributeError):
            views([s])

    @pytest.mark.parametrize("field", ["name", "execution_region"])
    def test_section_lacking_an_attribute(self, field):
        s = sec(".text", "FLASH")
        delattr(s, field)
        with pytest.raises(AttributeError):
            plotspec._build_ownership_views(
                symbols=[sym(size=1)], section_map={".text": s}, section_to_region={}, components=[]
            )

    @pytest.mark.parametrize("field", ["name", "objects", "total_flash", "total_ram", "symbols"])
    def test_component_lacking_an_attribute(self, field):
        c = comp("C")
        delattr(c, field)
        with pytest.raises(AttributeError):
            views(components=[c])

    @pytest.mark.parametrize("size", ["12", None, b"1", [1]])
    def test_sizes_that_are_not_numbers(self, size):
        with pytest.raises(TypeError):
            views([sym(size=size)])

    @pytest.mark.parametrize("field", ["total_flash", "total_ram"])
    @pytest.mark.parametrize("value", ["3", None])
    def test_component_totals_that_are_not_numbers(self, field, value):
        c = comp("C", [], 1, 1)
        setattr(c, field, value)
        with pytest.raises(TypeError):
            views(components=[c])

    @pytest.mark.parametrize("name", [None, 5, b"C", ["C"]])
    def test_component_name_not_text(self, name):
        with pytest.raises(AttributeError):
            views(components=[comp(name)])

    @pytest.mark.parametrize("field, value", [("object_file", 5), ("archive", 1.5), ("section_name", 3)])
    def test_attribution_that_is_not_text(self, field, value):
        s = sym(obj=None, size=1)
        setattr(s, field, value)
        with pytest.raises(AttributeError):
            views([s])

    def test_section_name_not_text(self):
        with pytest.raises(AttributeError):
            plotspec._build_ownership_views(
                symbols=[sym(size=1)], section_map={".text": sec(5, "X")}, section_to_region={}, components=[]
            )

    @pytest.mark.parametrize("arg", ["section_map", "section_to_region"])
    @pytest.mark.parametrize("value", [None, [], "x"])
    def test_maps_without_lookup(self, arg, value):
        kwargs = {"symbols": [sym(size=1)], "section_map": {}, "section_to_region": {}, "components": []}
        kwargs[arg] = value
        with pytest.raises(AttributeError):
            plotspec._build_ownership_views(**kwargs)

    def test_read_only_mappings_and_null_sections(self):
        from types import MappingProxyType

        got = plotspec._build_ownership_views(
            symbols=[sym(size=2, section=".d"), sym(size=3, section=".t")],
            section_map=MappingProxyType({".d": sec(".d", "RAM"), ".t": None}),
            section_to_region=MappingProxyType({".d": "RAM"}), components=[],
        )
        row = got["by_object"][0]
        assert (row["ram_bytes"], row["other_bytes"]) == (2, 3)
        assert got["by_symbol"][1]["region_name"] == "RAM"

    def test_arguments_are_keyword_only_and_required(self):
        with pytest.raises(TypeError, match="positional"):
            plotspec._build_ownership_views([], {}, {}, [])
        with pytest.raises(TypeError, match="components"):
            plotspec._build_ownership_views(symbols=[], section_map={}, section_to_region={})
        with pytest.raises(TypeError, match="unexpected keyword"):
            plotspec._build_ownership_views(symbols=[], section_map={}, section_to_region={}, components=[], x=1)


class TestCategory:
    def cat(self, name, region):
        return plotspec._category_for_ownership(region_name="ignored", section=sec(name, region))

    def test_no_section_is_other(self):
        assert plotspec._category_for_ownership(region_name="FLASH", section=None) == "other"

    @pytest.mark.parametrize("name, region, expected", [
        (".data", "FLASH", "flash"),        # the region is tested before the name
        (".text", "ITCM", "ram"),
        (".bss", "EEPROM_1", "flash"),      # "rom" found inside a word
        ("RODATA", "", "flash"),
        ("my.noinit", "EXT", "ram"),
        ("vectors", "EXT", "other"),
        ("STAC\u212a", None, "ram"),       # KELVIN SIGN lower-cases to "k"
        ("x", "FLA\u017fH", "flash"),      # LONG S matches "s" ignoring case
    ])
    def test_rules(self, name, region, expected):
        assert self.cat(name, region) == expected
        assert ref_category(sec(name, region)) == expected

    @settings(max_examples=400, deadline=None)
    @given(st.text(alphabet="aAfFlLsSrRoOmMtTcCdDiIxX\u017f\u0130\u0131\u212akK ._", max_size=12),
           st.text(alphabet="tTeExXrRoOdDaAbBsShHcCkKnNiI\u212a\u0130._ ", max_size=12))
    def test_matches_python_regex_and_lower(self, region, name):
        assert self.cat(name, region) == ref_category(sec(name, region))

    def test_region_name_argument_plays_no_part(self):
        s = sec("misc", "EXT")
        names = ("FLASH", "RAM", None, 2**80, [])
        assert {plotspec._category_for_ownership(region_name=r, section=s) for r in names} == {"other"}

    def test_bad_sections(self):
        with pytest.raises(AttributeError):
            plotspec._category_for_ownership(region_name="", section=sec(None, "FLASH"))
        with pytest.raises(TypeError):
            plotspec._category_for_ownership(region_name="", section=sec(".text", 5))
        with pytest.raises(AttributeError):
            plotspec._category_for_ownership(region_name="", section=NS(name=".text"))
        with pytest.raises(TypeError):
            plotspec._category_for_ownership("", None)


@pytest.fixture(scope="module")
def build():
    from brenvale.model_io import load_build
    from brenvale.samples import sample_path

    return load_build(sample_path())


class TestContract:
    """The contract carries the same views, built from the model's own maps."""

    def test_bundled_sample(self, build):
        from brenvale.pipeline import build_contract

        model = build.model
        section_map = {}
        for s in model.sections:
            section_map[s.name] = s
        regions = {s.name: (s.execution_region or "").strip() for s in model.sections if s.name.strip()}
        expected = ref_views(model.symbols, section_map, regions, build.components)
        contract = build_contract(build)
        assert contract["ownership"] == expected
        assert plotspec._build_ownership_views(
            symbols=model.symbols, section_map=section_map, section_to_region=regions, components=build.components
        ) == expected
        # The sample exercises every part: declared components, all three categories.
        assert expected["by_component"] and expected["treemap_hierarchy"]
        assert all(any(r[k] for r in expected["by_object"]) for k in ("flash_bytes", "ram_bytes"))

    def test_execution_region_with_blanks_still_categorises(self):
        # section_to_region holds the stripped region, the category reads the section itself.
        s = sec(".x", " FLASH ")
        got = views([sym(size=4, section=".x")], sections=[s])
        assert got["by_symbol"][0]["region_name"] == "FLASH"
        assert got["by_object"][0]["flash_bytes"] == 4


def fresh(text):
    """An equal text as a different object (the contract must not rely on identity)."""
    return "".join(list(text)) if isinstance(text, str) else text


class TestInsideTheContract:
    """The contract builds these views with indexes shared with other views; the result
    must equal the reference whatever the object texts' identities."""

    @settings(max_examples=200, deadline=None)
    @given(models())
    def test_contract_ownership_matches_the_reference(self, model):
        symbols, sections, regions, components = model
        symbols = [NS(**{k: fresh(v) for k, v in vars(s).items()}) for s in symbols]
        full = [NS(name=s.name, execution_region=s.execution_region, load_region=None, vma=0, lma=0, size=0,
                   padding_before=0, padding_after=0) for s in sections]
        m = NS(sections=full, symbols=symbols, memory_regions=[], stack_heap_hints={})
        try:
            expect = ref_views(symbols, {s.name: s for s in full}, regions, components)
        except Exception as e:  # noqa: BLE001 - the contract must fail the same way
            expect = type(e)
        try:
            got = plotspec.build_visualization_contract(
                m, region_usage={}, padding_waste=NS(by_region={}), components=components, issues=[],
                regressions={})["ownership"]
        except Exception as e:  # noqa: BLE001
            got = type(e)
        assert got == expect
