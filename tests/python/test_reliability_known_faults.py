"""Faults the reliability tests found, kept as strict expected failures.

Each test states the behaviour the host relies on; it is marked xfail(strict)
until the owner fixes the module, so the fix shows up as an unexpected pass
and the mark is removed then.
"""

from __future__ import annotations

import types

import pytest

from brenvale import diffreport

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
    @pytest.mark.xfail(strict=True, raises=AssertionError,
                       reason="ranking rejects every name that is not str or a number with TypeError instead of "
                              "comparing it as Python's sort does; bytes names are orderable")
    @pytest.mark.parametrize("rank", RANKERS, ids=lambda f: f.__name__)
    def test_orderable_non_text_names_rank(self, rank):
        delta = 5 if rank is not diffreport.rank_top_reductions else -5
        entries = [entry(name=b"b", delta=delta), entry(name=b"a", delta=delta)]
        try:
            ranked = rank(entries)
        except TypeError as exc:
            raise AssertionError(f"{rank.__name__}: {exc}") from exc
        assert [row["name"] for row in ranked] == [b"a", b"b"]

    @pytest.mark.xfail(strict=True, raises=AssertionError,
                       reason="ranking replaces the exception raised by the caller's own __lt__ with TypeError")
    @pytest.mark.parametrize("rank", RANKERS, ids=lambda f: f.__name__)
    def test_callers_ordering_error_passes_through(self, rank):
        delta = 5 if rank is not diffreport.rank_top_reductions else -5
        entries = [entry(name=Ordered(), delta=delta), entry(name=Ordered(), delta=delta)]
        try:
            rank(entries)
        except OwnError:
            return
        except TypeError as exc:
            raise AssertionError(f"{rank.__name__} raised TypeError: {exc}") from exc
        raise AssertionError(f"{rank.__name__} compared names without the caller's __lt__")

    @pytest.mark.xfail(strict=True, raises=AssertionError,
                       reason="render_diff_console_summary sorts output_paths names only when they are str or "
                              "numbers: bytes names fail and a caller's ordering error becomes TypeError")
    def test_output_path_names_are_ordered_like_python(self):
        try:
            text = diffreport.render_diff_console_summary({}, output_paths={b"json": "a.json", b"html": "b.html"})
        except TypeError as exc:
            raise AssertionError(str(exc)) from exc
        assert text.endswith("- b'html': b.html\n- b'json': a.json")
        try:
            diffreport.render_diff_console_summary({}, output_paths={Ordered(): "a", Ordered(): "b"})
        except OwnError:
            return
        except TypeError as exc:
            raise AssertionError(str(exc)) from exc


HUGE = 2**64


def empty_model():
    return NS(sections=[], symbols=[], memory_regions=[], stack_heap_hints={})


class TestValuesOnlyTestedOrPrinted:
    """A value the contract only tests for being a boolean, prints, or turns
    into a double must not be forced into a 64-bit integer first."""

    @pytest.mark.xfail(strict=True, raises=OverflowError,
                       reason="the feature flags are converted as values before the boolean test, so an integer "
                              "beyond 64 bits raises OverflowError instead of counting as false")
    def test_huge_integer_flag_is_false(self):
        from brenvale import plotspec

        features = {"sankey_enabled": HUGE, "relationship_graph_enabled": True}
        assert plotspec._normalize_feature_flags(features) == {"sankey_enabled": False,
                                                               "relationship_graph_enabled": True}
        contract = plotspec.build_visualization_contract(
            empty_model(), region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[],
            regressions={}, features=features)
        assert contract["features"] == {"sankey_enabled": False, "relationship_graph_enabled": True}

    @pytest.mark.xfail(strict=True, raises=OverflowError,
                       reason="the diff view converts the status and the per-region ratios through 64-bit "
                              "integers: a huge status prints in Python and a huge ratio converts to a double")
    @pytest.mark.parametrize("regressions, key, expected", [
        ({"status": HUGE}, "status", str(HUGE)),
        ({"regions": {"RAM": {"current": HUGE}}}, "regions",
         [{"region_name": "RAM", "current_ratio": float(HUGE), "baseline_ratio": 0.0, "delta_ratio": 0.0}]),
    ], ids=["status", "ratio"])
    def test_diff_view_huge_values(self, regressions, key, expected):
        from brenvale import plotspec

        assert plotspec._build_diff_view(regressions)[key] == expected
