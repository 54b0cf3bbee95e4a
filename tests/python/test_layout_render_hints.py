"""_clamp and _build_region_render_hints."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import test_layout_reference as ref
from brenvale import plotspec

KEYS = ["layout_mode", "min_height_px", "preferred_height_px", "scaled_for_readability"]


def hints(region, total=0, count=1):
    return plotspec._build_region_render_hints(region=region, total_region_bytes=total, regions_count=count)


class TestClamp:
    def test_value_below_inside_and_above_the_bounds(self):
        assert plotspec._clamp(5, 0, 3) == 3
        assert plotspec._clamp(-1, 0, 3) == 0
        assert plotspec._clamp(2.5, 0.0, 3.0) == 2.5

    def test_returns_one_of_its_arguments_unchanged(self):
        big = 10**18 + 7
        assert plotspec._clamp(big, 0, 2**62) is big
        lower, upper = 10**17 + 1, 10**17 + 5
        assert plotspec._clamp(3, lower, upper) is lower
        assert plotspec._clamp(10**18, lower, upper) is upper
        assert plotspec._clamp(3.0, 0, 3) == 3.0 and type(plotspec._clamp(3.0, 0, 3)) is float  # upper < 3.0 is false
        assert type(plotspec._clamp(0, 0.0, 3)) is int  # lower > value is false
        assert plotspec._clamp(5, 4, 1) == 1  # lower > upper: upper
        assert math.isnan(plotspec._clamp(math.nan, 0.0, 1.0))

    def test_three_positional_arguments(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'upper'"):
            plotspec._clamp(1, 2)
        with pytest.raises(TypeError):
            plotspec._clamp(None, 0, 1)


class TestRenderHints:
    def test_keys(self):
        assert list(hints({})) == KEYS
        assert hints({})["layout_mode"] == "segmented-stacked"
        assert hints({})["min_height_px"] == 180

    @pytest.mark.parametrize(
        "count, density, preferred",
        [(10, 0.5, 220), (100, 2.0, 432), (400, 3.0, 760), (40, 1.0, 220), (41, 1.0, 221)],
    )
    def test_preferred_height(self, count, density, preferred):
        assert hints({"range_count": count, "density_score": density})["preferred_height_px"] == preferred

    def test_missing_or_false_figures_read_as_zero(self):
        h = hints({})
        assert h["preferred_height_px"] == 220 and h["scaled_for_readability"] is True
        assert hints({"range_count": None, "density_score": "", "size_bytes": 0}) == h
        assert hints({"range_count": -50, "size_bytes": -1}) == h

    def test_proportional_share(self):
        assert hints({"size_bytes": 250}, total=1000, count=2)["scaled_for_readability"] is True
        # one region holding every byte: proportional 220 equals preferred, not greater
        assert hints({"size_bytes": 500}, total=500, count=1)["scaled_for_readability"] is False
        assert hints({"size_bytes": 500}, total=0, count=0)["scaled_for_readability"] is False

    def test_rounding_half_to_even(self):
        # two regions, 880 bytes: 1 byte -> 0.5 -> 0; 3 bytes -> 1.5 -> 2; 1320 bytes -> 660 exact
        assert hints({"size_bytes": 1}, total=880, count=2)["scaled_for_readability"] is True
        big = hints({"size_bytes": 439, "range_count": 41}, total=880, count=2)  # 219.5 -> 220 < 221
        assert big["scaled_for_readability"] is True
        exact = hints({"size_bytes": 441, "range_count": 41}, total=880, count=2)  # 220.5 -> 220 < 221
        assert exact["scaled_for_readability"] is True
        assert hints({"size_bytes": 443, "range_count": 41}, total=880, count=2)["scaled_for_readability"] is False

    def test_conversions(self):
        assert hints({"range_count": 100.9, "density_score": "2"})["preferred_height_px"] == 432
        with pytest.raises(ValueError):
            hints({"range_count": "many"})
        with pytest.raises(ValueError):
            hints({"density_score": "dense"})
        with pytest.raises(ValueError):
            hints({"density_score": math.nan})  # round(nan)
        assert hints({"density_score": math.inf})["preferred_height_px"] == 440
        with pytest.raises(AttributeError):
            hints([("range_count", 1)])

    def test_keyword_only(self):
        with pytest.raises(TypeError):
            plotspec._build_region_render_hints({}, 0, 1)
        with pytest.raises(TypeError, match="'regions_count'"):
            plotspec._build_region_render_hints(region={}, total_region_bytes=0)


FIGURES = st.one_of(st.none(), st.integers(-10, 10**7), st.floats(-5, 50, allow_nan=False))


@settings(max_examples=400, deadline=None)
@given(FIGURES, FIGURES, FIGURES, st.integers(-5, 10**8), st.integers(-2, 40))
def test_render_hints_agree_with_the_reference(count, density, size, total, regions):
    region = {"range_count": count, "density_score": density, "size_bytes": size}
    args = dict(region=region, total_region_bytes=total, regions_count=regions)
    assert plotspec._build_region_render_hints(**args) == ref.build_region_render_hints(**args)


@settings(max_examples=300, deadline=None)
@given(*[st.one_of(st.integers(-5, 5), st.floats(-5, 5, allow_nan=False))] * 3)
def test_clamp_agrees_with_the_reference(value, lower, upper):
    got = plotspec._clamp(value, lower, upper)
    want = ref.clamp(value, lower, upper)
    assert got is want or (type(got) is type(want) and got == want)
