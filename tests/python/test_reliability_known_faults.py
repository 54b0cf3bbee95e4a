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
