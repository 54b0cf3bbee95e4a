"""The _Interval type, _clip_interval and _free_intervals."""

import gc
import sys
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import test_layout_reference as ref
from brenvale import plotspec

Interval = plotspec._Interval


def spans(entries):
    return [(iv.start, iv.end, gap) for iv, gap in entries]


class TestIntervalType:
    def test_fields_size_repr_eq(self):
        iv = Interval(3, 10)
        assert (iv.start, iv.end, iv.size) == (3, 10, 8)
        assert Interval(start=5, end=4).size == 0
        assert Interval(5, 1).size == 0
        assert Interval(5, 5).size == 1
        assert repr(iv) == "_Interval(start=3, end=10)"
        assert iv == Interval(3, 10)
        assert iv != Interval(3, 11)
        assert iv != (3, 10)
        assert type(iv).__name__ == "_Interval"
        with pytest.raises(TypeError):
            hash(iv)

    def test_mutable_fields_hold_any_object(self):
        iv = Interval(1, 2)
        iv.end = 9
        assert iv.size == 9
        iv.start = 2.5
        assert iv.size == 7.5
        marker = object()
        iv.start = marker
        assert iv.start is marker
        with pytest.raises(TypeError):
            iv.size  # object() - int
        with pytest.raises(AttributeError):
            iv.size = 3
        with pytest.raises(AttributeError):
            del iv.start

    def test_constructor_binding(self):
        with pytest.raises(TypeError):
            Interval(1)
        with pytest.raises(TypeError):
            Interval(1, 2, 3)

    def test_cycles_are_collected(self):
        iv = Interval(None, None)
        iv.start = iv
        del iv
        gc.collect()
        assert "_Interval" in repr(plotspec._Interval)

    def test_no_reference_leak(self):
        if not hasattr(sys, "gettotalrefcount"):
            pytest.skip("needs a debug interpreter")
        occupied = [Interval(1, 5), Interval(10, 20)]
        for _ in range(10):
            plotspec._free_intervals(0, 100, occupied)
        before = sys.gettotalrefcount()
        for _ in range(1000):
            plotspec._free_intervals(0, 100, occupied)
            plotspec._clip_interval(occupied[0], 2, 3)
        assert sys.gettotalrefcount() - before < 100


class TestClipInterval:
    def test_clips_or_gives_none(self):
        got = plotspec._clip_interval(Interval(-5, 50), 0, 20)
        assert isinstance(got, Interval) and (got.start, got.end) == (0, 20)
        assert plotspec._clip_interval(Interval(30, 40), 0, 20) is None
        assert plotspec._clip_interval(Interval(20, 40), 0, 20) == Interval(20, 20)

    def test_reads_start_and_end_of_any_object_and_leaves_it_alone(self):
        src = SimpleNamespace(start=1, end=9)
        got = plotspec._clip_interval(src, 3, 5)
        assert got == Interval(3, 5)
        assert (src.start, src.end) == (1, 9)
        assert plotspec._clip_interval(interval=Interval(1, 9), lower=0, upper=100) == Interval(1, 9)

    def test_keeps_the_values_as_given(self):
        got = plotspec._clip_interval(Interval(1, 9.5), 1.0, 100)
        assert type(got.start) is int and type(got.end) is float  # max(1, 1.0) is 1

    def test_uncomparable_values_raise_type_error(self):
        with pytest.raises(TypeError):
            plotspec._clip_interval(Interval(None, 5), 0, 9)
        with pytest.raises(TypeError):
            plotspec._clip_interval(Interval("a", 5), 0, 9)
        with pytest.raises(AttributeError):
            plotspec._clip_interval((1, 2), 0, 9)


class TestFreeIntervals:
    def test_gaps_before_between_and_after_two_sections(self):
        got = plotspec._free_intervals(0x0, 0xFFF, [Interval(0x100, 0x1FF), Interval(0x300, 0x3FF)])
        assert spans(got) == [(0x0, 0xFF, False), (0x200, 0x2FF, True), (0x400, 0xFFF, False)]
        assert all(type(entry) is tuple and isinstance(entry[0], Interval) for entry in got)

    def test_empty_and_inverted_regions(self):
        assert spans(plotspec._free_intervals(0, 99, [])) == [(0, 99, False)]
        assert plotspec._free_intervals(10, 9, [Interval(1, 2)]) == []
        # an inverted region never looks at `occupied`
        assert plotspec._free_intervals(10, 9, None) == []
        assert spans(plotspec._free_intervals(5, 5, [])) == [(5, 5, False)]
        assert spans(plotspec._free_intervals(0, 9, None)) == [(0, 9, False)]  # `not occupied`

    def test_touching_and_overlapping_spans_merge(self):
        assert spans(plotspec._free_intervals(0, 99, [Interval(10, 19), Interval(20, 29)])) == [
            (0, 9, False), (30, 99, False)]
        assert spans(plotspec._free_intervals(0, 99, [Interval(25, 40), Interval(10, 30)])) == [
            (0, 9, False), (41, 99, False)]
        assert spans(plotspec._free_intervals(0, 99, [Interval(10, 80), Interval(20, 30)])) == [
            (0, 9, False), (81, 99, False)]

    def test_spans_at_the_edges_and_outside(self):
        assert plotspec._free_intervals(0, 99, [Interval(0, 99)]) == []
        assert spans(plotspec._free_intervals(0, 99, [Interval(-10, 5), Interval(90, 200)])) == [(6, 89, True)]
        # No clipping here (the layout clips first): the gap runs up to the span.
        assert spans(plotspec._free_intervals(0, 9, [Interval(50, 60)])) == [(0, 49, False)]

    def test_inputs_are_not_modified(self):
        occupied = [Interval(10, 19), Interval(15, 30)]
        plotspec._free_intervals(0, 99, occupied)
        assert occupied == [Interval(10, 19), Interval(15, 30)]

    def test_any_objects_with_start_and_end(self):
        occupied = (SimpleNamespace(start=3, end=4) for _ in range(2))
        assert spans(plotspec._free_intervals(start=0, end=9, occupied=occupied)) == [(0, 2, False), (5, 9, False)]

    def test_uncomparable_addresses_raise_type_error(self):
        with pytest.raises(TypeError):
            plotspec._free_intervals(0, "9", [])
        with pytest.raises(TypeError):
            plotspec._free_intervals(0, 99, [Interval(None, 3), Interval(1, 2)])


BOUND = st.integers(-20, 60)


@st.composite
def interval_lists(draw):
    out = []
    for _ in range(draw(st.integers(0, 8))):
        a = draw(BOUND)
        out.append((a, a + draw(st.integers(-3, 15))))
    return out


@settings(max_examples=500, deadline=None)
@given(BOUND, BOUND, interval_lists())
def test_free_intervals_agree_with_the_reference(start, end, occupied):
    got = plotspec._free_intervals(start, end, [Interval(a, b) for a, b in occupied])
    want = ref.free_intervals(start, end, [ref.Interval(a, b) for a, b in occupied])
    assert spans(got) == spans(want)


@settings(max_examples=300, deadline=None)
@given(st.integers(-5, 20), st.integers(-5, 20), st.integers(-5, 20), st.integers(-5, 20))
def test_clip_agrees_with_the_reference(a, b, lower, upper):
    got = plotspec._clip_interval(Interval(a, b), lower, upper)
    want = ref.clip_interval(ref.Interval(a, b), lower, upper)
    assert (got is None) == (want is None)
    if got is not None:
        assert (got.start, got.end) == (want.start, want.end)
