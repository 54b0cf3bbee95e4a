"""Contract assembly, feature flags, lookup indexes and the argument conventions of plotspec."""

import enum
import json
import types

import pytest

from brenvale import plotspec

NS = types.SimpleNamespace


class Cat(enum.Enum):
    FLASH = "flash"
    RAM = "ram"


class IssueCat(enum.Enum):
    OVERFLOW = "overflow"
    POLICY = "policy"
    RESERVED = "reserved"
    ALIGNMENT = "alignment"


class Sev(enum.Enum):
    WARNING = "warning"
    ERROR = "error"


def sym(name="s", size=4, section=".text", address=0x100, obj="a.o", **kw):
    base = dict(name=name, demangled_name=None, address=address, size=size, section_name=section,
                object_file=obj, archive=None, source_file=None, compilation_unit=None)
    base.update(kw)
    return NS(**base)


def section(name=".text", region="FLASH", vma=0x0, size=0x100, **kw):
    base = dict(name=name, execution_region=region, load_region=region, vma=vma, lma=vma, size=size,
                padding_before=0, padding_after=0)
    base.update(kw)
    return NS(**base)


def region(name="FLASH", start=0x0, end=0xFFF, size=0x1000, cat=Cat.FLASH):
    return NS(name=name, start_address=start, end_address=end, size=size, category=cat)


def issue(id_, entities=(), category=IssueCat.POLICY, severity=Sev.WARNING, title="t", description="d"):
    return NS(id=id_, title=title, description=description, severity=severity, category=category,
              affected_entities=list(entities))


def model(sections=(), symbols=(), regions=(), hints=None):
    return NS(sections=list(sections), symbols=list(symbols), memory_regions=list(regions),
              stack_heap_hints=hints if hints is not None else {"stack_sections": [], "heap_sections": []})


def build(m, **kw):
    args = dict(region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[], regressions={})
    args.update(kw)
    return plotspec.build_visualization_contract(m, **args)


def build_visualization_contract(model, *, region_usage, padding_waste, components, issues,
                                 regressions, features=None):
    """The public signature, as a Python function: its argument errors are the reference."""


NOTES = [
    "All ranges are normalized for renderer consumption.",
    "Address values are absolute and toolchain-agnostic after normalization.",
    "Detailed attribution is included on section ranges for side-panel drilldown.",
]


class TestContractShape:
    def test_top_level_keys_constants_and_notes(self):
        c = build(model())
        assert list(c) == ["schema_version", "address_units", "address_format", "features", "regions",
                           "ownership", "diff", "relationships", "policy_issue_index", "notes"]
        assert c["schema_version"] == plotspec.VISUALIZATION_SCHEMA_VERSION == "viz-1.0.0"
        assert (c["address_units"], c["address_format"]) == ("bytes", "hex")
        assert c["regions"] == []
        assert c["notes"] == NOTES
        json.dumps(c)  # JSON-ready

    def test_each_call_returns_fresh_objects(self):
        m = model(regions=[region()])
        a, b = build(m), build(m)
        assert a == b
        assert a is not b and a["notes"] is not b["notes"]

    @pytest.mark.parametrize("features,expected", [
        (None, (False, False)),
        ([], (False, False)),
        ("sankey_enabled", (False, False)),
        ({"sankey_enabled": 1}, (False, False)),
        ({"sankey_enabled": "true"}, (False, False)),
        ({"sankey_enabled": True}, (True, False)),
        ({"relationship_graph_enabled": True, "other": object()}, (False, True)),
        ({"sankey_enabled": True, "relationship_graph_enabled": True}, (True, True)),
    ])
    def test_feature_flags(self, features, expected):
        flags = plotspec._normalize_feature_flags(features)
        assert list(flags) == ["sankey_enabled", "relationship_graph_enabled"]
        assert tuple(flags.values()) == expected
        assert build(model(), features=features)["features"] == flags

    def test_regions_sorted_by_start_end_name(self):
        regs = [region("B", 0, 0xFF, 0x100), region("A", 0, 0xFF, 0x100), region("Z", 0, 0x7F, 0x80),
                region("LOW", -1, 0x10, 0x12)]
        c = build(model(regions=regs))
        assert [r["name"] for r in c["regions"]] == ["LOW", "Z", "A", "B"]

    def test_unordered_region_keys_raise_type_error(self):
        with pytest.raises(TypeError):
            build(model(regions=[region("A", 0), region("B", "0")]))

    def test_inputs_are_not_modified(self):
        syms = [sym("x", 8), sym("y", 16)]
        secs = [section()]
        iss = [issue("I1", [".text"])]
        regressions = {"sections": {".text": {"delta_bytes": 4}}, "unread": [1, 2]}
        before = (repr(syms), repr(secs), repr(iss), repr(regressions))
        build(model(secs, syms, [region()]), issues=iss, regressions=regressions)
        assert (repr(syms), repr(secs), repr(iss), repr(regressions)) == before


class TestBadInput:
    def test_argument_binding_matches_python(self):
        calls = [
            ((), {}),
            ((1, 2), {}),
            ((1, 2), {"region_usage": {}}),
            ((1,), {"region_usage": {}}),
            ((1,), {"region_usage": {}, "padding_waste": 1, "components": 1, "issues": 1}),
            ((1,), {"zzz": 1}),
            ((1,), {"model": 1}),
        ]
        for args, kw in calls:
            with pytest.raises(TypeError) as want:
                build_visualization_contract(*args, **kw)
            with pytest.raises(TypeError) as got:
                plotspec.build_visualization_contract(*args, **kw)
            assert str(got.value) == str(want.value)

    def test_missing_record_attribute_names_it(self):
        m = model(symbols=[NS(name="x", size=1)])
        with pytest.raises(AttributeError, match="demangled_name|address|section_name"):
            build(m)
        with pytest.raises(AttributeError, match="by_region"):
            build(model(), padding_waste=NS())

    @pytest.mark.parametrize("regressions", [None, 3, "text", [("sections", {})]])
    def test_regressions_without_lookup(self, regressions):
        with pytest.raises(AttributeError):
            build(model(), regressions=regressions)

    def test_huge_integer_is_overflow_error(self):
        with pytest.raises(OverflowError):
            build(model(symbols=[sym(size=2**70)]))

    def test_unread_values_cost_nothing(self):
        cyc = []
        cyc.append(cyc)
        deep = []
        for _ in range(100_000):
            deep = [deep]
        regressions = {"cycle": cyc, "deep": deep, "obj": object(), "sections": {}}
        features = {"sankey_enabled": False, "junk": cyc}
        c = build(model(), regressions=regressions, features=features)
        assert c["features"] == {"sankey_enabled": False, "relationship_graph_enabled": False}

    def test_lone_surrogates_pass_through(self):
        bad = "id\udcff"
        c = build(model(), issues=[issue(bad, ["x\ud800"], title="t\udfff")])
        entry = c["policy_issue_index"][bad]
        assert entry["title"] == "t\udfff" and entry["affected_entities"] == ["x\ud800"]

    def test_attribute_access_error_propagates(self):
        class Exploding:
            sections = []

            @property
            def symbols(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            build(Exploding())


class TestSymbolsBySection:
    def test_grouping_and_order(self):
        a = sym("a", 64, address=0x200)
        b = sym("b", 16, address=0x080)
        c = sym("c", 64, address=0x100)
        z = sym("z", 16, address=None)
        d = sym("d", 4, section=" .data ")
        dropped = [sym("n1", 4, section=None), sym("n2", 4, section=""), sym("n3", 4, section="   ")]
        idx = plotspec._symbols_by_section([a, b, c, z, d, *dropped])
        assert list(idx) == [".text", ".data"]
        assert [s.name for s in idx[".text"]] == ["c", "a", "z", "b"]
        assert idx[".text"][0] is c  # the caller's own records
        assert idx[".data"] == [d]

    def test_name_breaks_size_and_address_ties(self):
        idx = plotspec._symbols_by_section([sym("b", 8, address=0), sym("a", 8, address=0)])
        assert [s.name for s in idx[".text"]] == ["a", "b"]

    def test_non_numeric_size_is_type_error(self):
        with pytest.raises(TypeError):
            plotspec._symbols_by_section([sym(size="8"), sym(size=4)])


class TestOwners:
    def test_distinct_sorted_and_capped(self):
        syms = [sym(obj=f"o{i:02d}.o", archive="lib.a" if i % 2 else None, source_file="") for i in range(30, 0, -1)]
        owners = plotspec._owners_from_symbols(syms)
        assert list(owners) == ["objects", "archives", "sources"]
        assert owners["objects"] == [f"o{i:02d}.o" for i in range(1, 25)]
        assert owners["archives"] == ["lib.a"]
        assert owners["sources"] == []

    def test_empty(self):
        assert plotspec._owners_from_symbols([]) == {"objects": [], "archives": [], "sources": []}


class TestIssueIndexes:
    def test_issues_by_entity(self):
        issues = [issue("I3", [".bss", ".bss", 42, "  ", " FLASH "]), issue("I1", [".bss"]), issue("I2", [])]
        idx = plotspec._issues_by_entity(issues)
        assert idx == {".bss": ["I1", "I3"], "42": ["I3"], "FLASH": ["I3"]}
        assert list(idx) == [".bss", "42", "FLASH"]

    def test_mixed_id_types_in_one_entity_raise(self):
        with pytest.raises(TypeError):
            plotspec._issues_by_entity([issue("a", ["x"]), issue(1, ["x"])])

    def test_policy_index_order_duplicates_and_categories(self):
        first = issue("B", ["x"], IssueCat.POLICY, title="first")
        later = issue("B", ["y"], IssueCat.ALIGNMENT, title="later")
        issues = [first, issue("A", [], IssueCat.OVERFLOW), issue("C", [], IssueCat.RESERVED), later]
        idx = plotspec._policy_issue_index(issues)
        assert list(idx) == ["A", "B", "C"]
        assert list(idx["B"]) == ["id", "severity", "category", "title", "description", "affected_entities",
                                  "is_policy_violation"]
        assert idx["B"]["title"] == "later" and idx["B"]["is_policy_violation"] is False
        assert idx["B"]["category"] == "alignment" and idx["B"]["severity"] == "warning"
        assert idx["A"]["is_policy_violation"] and idx["C"]["is_policy_violation"]
        assert idx["B"]["affected_entities"] == ["y"]
        assert idx["B"]["affected_entities"] is not later.affected_entities

    def test_contract_carries_policy_index(self):
        iss = [issue("I9", ["FLASH"])]
        assert build(model(), issues=iss)["policy_issue_index"] == plotspec._policy_issue_index(iss)


class TestBaselineAndMerge:
    def test_section_baseline_deltas(self):
        regressions = {"sections": {
            "a": {"delta_bytes": 12.9}, "b": {"delta_bytes": -12.9}, 7: {"delta_bytes": 3},
            "t": {"delta_bytes": True}, "s": {"delta_bytes": "12"}, "n": {"delta_bytes": None},
            "m": {}, "l": [1], "nan": {"delta_bytes": float("nan")}, "inf": {"delta_bytes": float("inf")},
        }}
        out = plotspec._section_baseline_deltas(regressions)
        assert out == {"a": 12, "b": -12, "7": 3}
        assert list(out) == ["a", "b", "7"]

    @pytest.mark.parametrize("regressions", [{}, {"sections": [1]}, {"sections": None}])
    def test_no_sections_map(self, regressions):
        assert plotspec._section_baseline_deltas(regressions) == {}

    def test_merge_issue_ids(self):
        assert plotspec._merge_issue_ids() == []
        assert plotspec._merge_issue_ids([], []) == []
        assert plotspec._merge_issue_ids(["b", "a"], ["a", 3]) == ["3", "a", "b"]
        with pytest.raises(TypeError):
            plotspec._merge_issue_ids(["a"], groups=["b"])


class TestJsonPathContainers:
    """Containers the caller hands in are copied through unchanged; the JSON path must
    write them exactly as json.dumps writes the object path's result, and a model
    without any must not be affected by how they are found."""

    def both(self, m, **kw):
        args = dict(region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[], regressions={})
        args.update(kw)
        obj = plotspec.build_visualization_contract(m, **args)
        raw = plotspec.build_visualization_contract_json(m, **args)
        return obj, raw

    @pytest.mark.parametrize("title", [["a", {"b": (1, 2.5)}], {"k": [None, True]}, ("t", ()), [], {}])
    def test_containers_in_issues(self, title):
        m = model([section()], [sym()], [region()])
        iss = [issue("P1", entities=[".text", ("x", 1)], title=title, description={"d": [1]})]
        obj, raw = self.both(m, issues=iss)
        assert raw == json.dumps(obj, ensure_ascii=False).encode("utf-8", "surrogatepass")
        assert obj["policy_issue_index"]["P1"]["title"] == title

    def test_plain_model(self):
        m = model([section(), section(".data", "RAM", 0x2000)], [sym(), sym("é\ud800", section=".data")],
                  [region(), region("RAM", 0x2000, 0x2FFF, cat=Cat.RAM)])
        obj, raw = self.both(m, issues=[issue("I", entities=[".text"])])
        assert raw == json.dumps(obj, ensure_ascii=False).encode("utf-8", "surrogatepass")
