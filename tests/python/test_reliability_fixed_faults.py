"""Faults the reliability tests found, kept as regression tests once fixed.

Each test states the behaviour the host relies on: values of the caller's own
types are ordered by their own comparison (and its errors pass through), and a
value that is only tested, printed or turned into a double is never forced
into a 64-bit integer first.
"""

from __future__ import annotations

import json
import types

import pytest

from brenvale import diffreport, plotspec

NS = types.SimpleNamespace


class OwnError(Exception):
    pass


class Ordered:
    """A caller's name type whose ordering fails with the caller's own error."""

    def __lt__(self, other: object) -> bool:
        raise OwnError("cannot order")

    __gt__ = __le__ = __ge__ = __lt__

    def __str__(self) -> str:
        return "ordered"


def entry(**fields):
    base = dict(kind="symbol", name="n", delta=5, delta_pct=None, status="added", current=4096)
    base.update(fields)
    return NS(**base)


RANKERS = [diffreport.rank_top_regressions, diffreport.rank_top_reductions, diffreport.added_large_symbols]


class TestOrderingOfCallerValues:
    @pytest.mark.parametrize("rank", RANKERS, ids=lambda f: f.__name__)
    def test_orderable_non_text_names_rank(self, rank):
        delta = 5 if rank is not diffreport.rank_top_reductions else -5
        entries = [entry(name=b"b", delta=delta), entry(name=b"a", delta=delta)]
        assert [row["name"] for row in rank(entries)] == [b"a", b"b"]

    @pytest.mark.parametrize("rank", RANKERS, ids=lambda f: f.__name__)
    def test_callers_ordering_error_passes_through(self, rank):
        delta = 5 if rank is not diffreport.rank_top_reductions else -5
        entries = [entry(name=Ordered(), delta=delta), entry(name=Ordered(), delta=delta)]
        with pytest.raises(OwnError):
            rank(entries)

    def test_output_path_names_are_ordered_like_python(self):
        text = diffreport.render_diff_console_summary({}, output_paths={b"json": "a.json", b"html": "b.html"})
        assert text.endswith("- b'html': b.html\n- b'json': a.json")
        with pytest.raises(OwnError):
            diffreport.render_diff_console_summary({}, output_paths={Ordered(): "a", Ordered(): "b"})
        with pytest.raises(TypeError):
            diffreport.render_diff_console_summary({}, output_paths={1: "a", "b": "c"})


HUGE = 2**64


def empty_model():
    return NS(sections=[], symbols=[], memory_regions=[], stack_heap_hints={})


class TestValuesOnlyTestedOrPrinted:
    """A value the contract only tests for being a boolean, prints, or turns
    into a double must not be forced into a 64-bit integer first."""

    def test_huge_integer_flag_is_false(self):
        features = {"sankey_enabled": HUGE, "relationship_graph_enabled": True}
        assert plotspec._normalize_feature_flags(features) == {"sankey_enabled": False,
                                                               "relationship_graph_enabled": True}
        contract = plotspec.build_visualization_contract(
            empty_model(), region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[],
            regressions={}, features=features)
        assert contract["features"] == {"sankey_enabled": False, "relationship_graph_enabled": True}

    @pytest.mark.parametrize("regressions, key, expected", [
        ({"status": HUGE}, "status", str(HUGE)),
        ({"regions": {"RAM": {"current": HUGE}}}, "regions",
         [{"region_name": "RAM", "current_ratio": float(HUGE), "baseline_ratio": 0.0, "delta_ratio": 0.0}]),
    ], ids=["status", "ratio"])
    def test_diff_view_huge_values(self, regressions, key, expected):
        assert plotspec._build_diff_view(regressions)[key] == expected

    @pytest.mark.parametrize("indent", [None, 2])
    def test_json_path_writes_huge_integers_inside_copied_containers(self, indent):
        # An issue's title is copied through as the caller's object; json.dumps writes
        # integers of any size in it, keys included, so the JSON path must too.
        title = {False: HUGE * 3, HUGE: [-HUGE ** 2, 1], "t": (HUGE,)}
        issue = NS(id="I-1", title=title, description="d", severity=NS(value="high"), category=NS(value="policy"),
                   affected_entities=[])
        kwargs = dict(region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[issue],
                      regressions={})
        contract = plotspec.build_visualization_contract(empty_model(), **kwargs)
        expected = json.dumps(contract, indent=indent) if indent else json.dumps(contract, ensure_ascii=False)
        assert plotspec.build_visualization_contract_json(empty_model(), indent=indent, **kwargs) == expected.encode()
