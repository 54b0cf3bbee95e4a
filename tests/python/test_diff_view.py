"""The diff view: baseline deltas and per-region utilisation changes."""

import math
from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import plotspec


# A plain-Python statement of the same rules, for differential checks.
def ref_diff(regressions):
    payloads = regressions.get("regions", {})
    if not isinstance(payloads, dict):
        payloads = {}
    rows = []
    for name, payload in sorted(payloads.items()):
        if not isinstance(payload, dict):
            continue
        rows.append({
            "region_name": name,
            "current_ratio": float(payload.get("current", 0.0)),
            "baseline_ratio": float(payload.get("baseline", 0.0)),
            "delta_ratio": float(payload.get("delta", 0.0)),
        })
    impacts = [{
        "name": str(r["region_name"]), "delta_ratio": r["delta_ratio"], "delta_percent": r["delta_ratio"] * 100,
        "current_ratio": r["current_ratio"], "baseline_ratio": r["baseline_ratio"],
        "direction": "growth" if r["delta_ratio"] >= 0 else "shrink", "abs_delta_ratio": abs(r["delta_ratio"]),
    } for r in rows]
    ranking = sorted(impacts, key=lambda r: (r["abs_delta_ratio"], r["name"]), reverse=True)
    growth = sorted((r for r in ranking if r["delta_ratio"] > 0), key=lambda r: (r["delta_ratio"], r["name"]),
                    reverse=True)
    shrink = sorted((r for r in ranking if r["delta_ratio"] < 0), key=lambda r: (r["delta_ratio"], r["name"]))
    return {
        "status": str(regressions.get("status", "not_requested")),
        "flash_delta_bytes": int(regressions.get("flash_delta_bytes") or 0),
        "ram_delta_bytes": int(regressions.get("ram_delta_bytes") or 0),
        "regions": rows, "impact_ranking": ranking[:200], "top_growth": growth[:200], "top_shrink": shrink[:200],
    }


EMPTY = {"status": "not_requested", "flash_delta_bytes": 0, "ram_delta_bytes": 0, "regions": [],
         "impact_ranking": [], "top_growth": [], "top_shrink": []}

names = st.sampled_from(["RAM", "RAM1", "RAM2", "ram", "FLASH", "é", "\U0001f600", "<b>", "  ", "", "\udc80"])
ratios = st.one_of(st.sampled_from([0.0, -0.0, 0.1, -0.1, 0.25, -0.25, 1, -1, True]),
                   st.floats(-2, 2, allow_nan=False), st.integers(-3, 3))
payload = st.one_of(
    st.fixed_dictionaries({}, optional={"current": ratios, "baseline": ratios, "delta": ratios, "other": st.none()}),
    st.sampled_from([None, 5, "x", [1]]),
)


class TestAgainstReference:
    @settings(max_examples=300, deadline=None)
    @given(st.dictionaries(names, payload, max_size=10),
           st.sampled_from([{}, {"status": "ok"}, {"status": None}, {"flash_delta_bytes": -7.9, "status": 3}]))
    def test_generated_comparisons(self, regions, extra):
        regressions = {"regions": regions, **extra}
        got = plotspec._build_diff_view(regressions)
        assert got == ref_diff(regressions)
        assert list(got) == list(EMPTY)

    @pytest.mark.parametrize("count", [199, 200, 450])
    def test_ranked_lists_are_cut_at_two_hundred(self, count):
        regions = {f"R{i:03}": {"delta": ((i % 7) - 3) / 10, "current": i / count} for i in range(count)}
        got = plotspec._build_diff_view({"regions": regions})
        assert got == ref_diff({"regions": regions})
        assert len(got["regions"]) == count
        assert len(got["impact_ranking"]) == min(count, 200)
        assert len(got["top_growth"]) == min(200, sum(1 for r in regions.values() if r["delta"] > 0))


class TestEdgeCases:
    def test_empty_comparison(self):
        assert plotspec._build_diff_view({}) == EMPTY
        assert plotspec._build_diff_view(regressions={}) == EMPTY

    @pytest.mark.parametrize("value, expected", [
        (None, 0), (-5, -5), (12.7, 12), (-12.7, -12), ("12", 12), (" -3 ", -3), ("", 0), (0.0, 0), (False, 0),
        (True, 1), (2**62, 2**62),
    ])
    def test_delta_bytes(self, value, expected):
        got = plotspec._build_diff_view({"flash_delta_bytes": value, "ram_delta_bytes": value})
        assert got["flash_delta_bytes"] == expected and got["ram_delta_bytes"] == expected
        assert type(got["flash_delta_bytes"]) is int

    class Falsy:
        def __bool__(self):
            return False

    @pytest.mark.parametrize("value", [[], {}, (), 0j, Falsy()])
    def test_any_false_delta_gives_zero(self, value):
        got = plotspec._build_diff_view({"flash_delta_bytes": value, "ram_delta_bytes": value})
        assert (got["flash_delta_bytes"], got["ram_delta_bytes"]) == (0, 0)

    @pytest.mark.parametrize("status, expected", [("ok", "ok"), (None, "None"), (3, "3"), ("", ""), ("<&>", "<&>")])
    def test_status_is_text(self, status, expected):
        assert plotspec._build_diff_view({"status": status})["status"] == expected

    def test_three_regions(self):
        got = plotspec._build_diff_view({"regions": {
            "RAM2": {"delta": 0.1}, "RAM1": {"delta": -0.1}, "RAM3": {"delta": 0.0},
        }})
        assert [r["region_name"] for r in got["regions"]] == ["RAM1", "RAM2", "RAM3"]
        assert [r["name"] for r in got["impact_ranking"]] == ["RAM2", "RAM1", "RAM3"]
        assert [r["name"] for r in got["top_growth"]] == ["RAM2"]
        assert [r["name"] for r in got["top_shrink"]] == ["RAM1"]
        assert got["impact_ranking"][2]["direction"] == "growth"

    def test_impact_row(self):
        got = plotspec._build_diff_view({"regions": {"RAM": {"current": 0.5, "baseline": 0.75, "delta": -0.25}}})
        assert got["impact_ranking"] == [{
            "name": "RAM", "delta_ratio": -0.25, "delta_percent": -25.0, "current_ratio": 0.5,
            "baseline_ratio": 0.75, "direction": "shrink", "abs_delta_ratio": 0.25,
        }]
        assert got["regions"] == [{"region_name": "RAM", "current_ratio": 0.5, "baseline_ratio": 0.75,
                                   "delta_ratio": -0.25}]
        row = plotspec._build_diff_view({"regions": {"R": {}}})["regions"][0]
        assert row == {"region_name": "R", "current_ratio": 0.0, "baseline_ratio": 0.0, "delta_ratio": 0.0}
        assert all(type(row[k]) is float for k in ("current_ratio", "baseline_ratio", "delta_ratio"))

    @pytest.mark.parametrize("entry", [5, None, "x", [0.1], (0.1,)])
    def test_entries_that_are_not_maps_are_skipped(self, entry):
        got = plotspec._build_diff_view({"regions": {"A": entry, "B": {"delta": 0.2}}})
        assert [r["region_name"] for r in got["regions"]] == ["B"]
        assert [r["name"] for r in got["impact_ranking"]] == ["B"]

    @pytest.mark.parametrize("regions", [None, [], "RAM", 5, [("R", {"delta": 1})]])
    def test_regions_that_are_not_a_map_count_as_empty(self, regions):
        assert plotspec._build_diff_view({"regions": regions})["regions"] == []

    def test_numeric_text_ratios_are_parsed(self):
        row = plotspec._build_diff_view({"regions": {"R": {"current": " 0.5 ", "delta": "-1e-1", "baseline": "inf"}}})
        assert row["regions"][0]["current_ratio"] == 0.5
        assert row["regions"][0]["delta_ratio"] == -0.1
        assert row["regions"][0]["baseline_ratio"] == math.inf

    def test_region_keys_come_back_unchanged(self):
        key = "R\udc80 <é>"
        got = plotspec._build_diff_view({"regions": {key: {"delta": 1}, "  ": {"delta": 2}}})
        assert [r["region_name"] for r in got["regions"]] == ["  ", key]
        assert got["regions"][1]["region_name"] is key
        assert [r["name"] for r in got["top_growth"]] == ["  ", key]

    def test_non_text_keys_are_named_by_their_text(self):
        got = plotspec._build_diff_view({"regions": {2: {"delta": 0.5}, 10: {"delta": 0.5}}})
        assert [r["region_name"] for r in got["regions"]] == [2, 10]
        assert [r["name"] for r in got["impact_ranking"]] == ["2", "10"]  # text descending

    def test_nan_changes_rank_last(self):
        nan = float("nan")
        got = plotspec._build_diff_view({"regions": {
            "A": {"delta": nan}, "B": {"delta": 0.1}, "C": {"delta": "nan"}, "D": {"delta": -0.3},
        }})
        assert [r["name"] for r in got["impact_ranking"]] == ["D", "B", "C", "A"]
        assert [r["name"] for r in got["top_growth"]] == ["B"]
        assert [r["name"] for r in got["top_shrink"]] == ["D"]
        assert got["impact_ranking"][2]["direction"] == "shrink"  # nan >= 0 is false

    def test_mapping_subclasses_and_the_input_are_left_alone(self):
        regions = OrderedDict([("B", {"delta": 1}), ("A", {"delta": -1})])
        regressions = {"regions": regions, "status": "done"}
        snapshot = repr(regressions)
        got = plotspec._build_diff_view(regressions)
        assert [r["region_name"] for r in got["regions"]] == ["A", "B"]
        assert repr(regressions) == snapshot


class TestBadInput:
    @pytest.mark.parametrize("regressions", [None, [], "status", 5])
    def test_regressions_not_a_map(self, regressions):
        with pytest.raises(AttributeError):
            plotspec._build_diff_view(regressions)

    @pytest.mark.parametrize("key", ["current", "baseline", "delta"])
    @pytest.mark.parametrize("value, error", [("abc", ValueError), ("", ValueError), (None, TypeError),
                                              ([1], TypeError), ({}, TypeError)])
    def test_ratios_that_are_not_numbers(self, key, value, error):
        with pytest.raises(error):
            plotspec._build_diff_view({"regions": {"R": {key: value}}})

    @pytest.mark.parametrize("value, error", [
        ("abc", ValueError), ("1.5", ValueError), (float("nan"), ValueError), (float("inf"), OverflowError),
        ([1], TypeError), (2**70, OverflowError),
    ])
    def test_delta_bytes_without_an_integer(self, value, error):
        with pytest.raises(error):
            plotspec._build_diff_view({"ram_delta_bytes": value})

    def test_region_keys_that_cannot_be_ordered(self):
        with pytest.raises(TypeError):
            plotspec._build_diff_view({"regions": {"A": {"delta": 1}, 2: 5}})

    def test_argument_binding(self):
        with pytest.raises(TypeError):
            plotspec._build_diff_view()
        with pytest.raises(TypeError):
            plotspec._build_diff_view({}, {})
        with pytest.raises(TypeError):
            plotspec._build_diff_view(payload={})


def test_contract_carries_the_diff_view():
    from brenvale.model_io import load_build
    from brenvale.pipeline import build_contract
    from brenvale.samples import sample_path

    build = load_build(sample_path())
    regressions = {
        "status": "regressed", "flash_delta_bytes": 1200.9, "ram_delta_bytes": -64,
        "regions": {"RAM": {"current": 0.5, "baseline": 0.4, "delta": 0.1}, "FLASH": {"delta": -0.02}, "X": 3},
        "sections": {".text": {"delta_bytes": 12}}, "unrelated": object(),
    }
    contract = build_contract(build, regressions=regressions)
    assert contract["diff"] == ref_diff(regressions)
    assert contract["diff"]["flash_delta_bytes"] == 1200
    assert build_contract(build)["diff"] == EMPTY
