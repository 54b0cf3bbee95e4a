"""The core value library's text helpers held against CPython itself.

Every check compares brenvale._corecheck with the CPython function it stands in
for (json.dumps, repr, round, format, int, float, html.escape, str.strip, re) on
generated inputs, including the edges: NaN, infinities, -0.0, huge and tiny
doubles, lone surrogates, astral characters and non-string keys.
"""

import html
import json
import math
import re
import struct

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

from brenvale import _corecheck as cc

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# Every character str.strip() removes, and a few that it must keep.
STRIP_SPACES = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"
NOT_SPACES = "\u200b\u180e\ufeff\x00\x08\u2060"


def outcome(fn, *args):
    """The result of fn, or the type and message of what it raised."""
    try:
        return ("ok", fn(*args))
    except (ValueError, TypeError, OverflowError, RecursionError) as exc:
        return (type(exc).__name__, str(exc))


def bits_to_double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def float_key(x):
    """Distinguishes -0.0 from 0.0 and lets NaN equal NaN."""
    return repr(x) if isinstance(x, float) else x


any_double = st.floats(allow_nan=True, allow_infinity=True) | st.integers(0, 2**64 - 1).map(bits_to_double)
# Doubles near the boundaries that decide layout: powers of ten and halfway points.
edge_double = st.builds(
    lambda m, e, s: s * float(f"{m!r}e{e}"),
    st.sampled_from([1.0, 1.5, 2.5, 9.999999999999999, 0.5, 1.2345678901234567, 5.0, 0.125]),
    st.integers(-330, 310),
    st.sampled_from([1.0, -1.0]),
)
doubles = any_double | edge_double

# Text that reaches every branch of the UTF-8 handling: ASCII, two-, three- and
# four-byte characters, lone surrogates and all the whitespace.
any_text = st.text(
    st.characters(exclude_categories=()) | st.sampled_from(STRIP_SPACES + NOT_SPACES + "\ud800\udfff\U0001f600é\"'\\<>&"),
    max_size=40,
)


# ---- float repr ----


class TestReprDouble:
    @given(doubles)
    @settings(max_examples=2000)
    @example(1e16)
    @example(1e-5)
    @example(0.0001)
    @example(-0.0)
    @example(9999999999999998.0)
    @example(1.2345678901234568e17)
    @example(5e-324)
    @example(1.7976931348623157e308)
    def test_matches_repr(self, x):
        assert cc.repr_double(x) == repr(x)

    # Short decimals (percentages, ratios) take a quicker way to their digits than other
    # doubles: they and their neighbours must come out exactly as repr() writes them,
    # across every number of places and near each end of that way's range.
    @given(st.integers(-10**16, 10**16), st.integers(0, 22), st.sampled_from([-1, 0, 0, 1]))
    @settings(max_examples=3000)
    @example(1, 4, 0)
    @example(1, 4, -1)
    @example(999_999_999_999_999, 0, 0)
    @example(10**15, 0, -1)
    @example(123, 19, 0)
    @example(5, 1, 0)
    def test_short_decimals_and_neighbours_match_repr(self, digits, places, step):
        x = digits / 10**places
        x = math.nextafter(x, math.inf * step) if step else x
        assert cc.repr_double(x) == repr(x)

    def test_every_three_place_decimal_matches_repr(self):
        values = [i / 1000 for i in range(-200_000, 200_000)]
        assert [cc.repr_double(x) for x in values] == [repr(x) for x in values]


# ---- rounding ----


class TestRound:
    @given(doubles, st.integers(-330, 330))
    @settings(max_examples=2000)
    @example(2.675, 2)
    @example(0.5, 0)
    @example(-0.5, 0)
    @example(25.0, -1)
    @example(35.0, -1)
    @example(-4.0, -1)
    @example(5.000000000000001, -1)
    @example(1.7976931348623157e308, -308)
    @example(1e300, -300)
    @example(123.456, -323)
    def test_round_ndigits_matches(self, x, n):
        got = outcome(cc.round_half_even, x, n)
        want = outcome(round, x, n)
        assert (got[0], float_key(got[1])) == (want[0], float_key(want[1]))

    @given(doubles)
    @settings(max_examples=1000)
    @example(2.5)
    @example(-2.5)
    @example(3.5)
    @example(0.49999999999999994)
    @example(4503599627370497.0)
    @example(9.223372036854775e18)
    @example(-9.223372036854775808e18)
    def test_round_to_int_matches(self, x):
        want = outcome(round, x)
        got = outcome(cc.round_half_even, x)
        if want[0] == "ok" and not INT64_MIN <= want[1] <= INT64_MAX:
            assert got[0] == "OverflowError"
        else:
            assert got == want

    @pytest.mark.parametrize("x", [math.inf, -math.inf, math.nan])
    def test_round_to_int_non_finite(self, x):
        assert outcome(cc.round_half_even, x) == outcome(round, x)


# ---- number formats ----


class TestFormats:
    @pytest.mark.parametrize("code", ["+,.0f", "+.1f", ".1f"])
    @given(x=doubles | st.sampled_from([math.nan, -math.nan, 0.05, -0.05, 0.25, -0.25, 1e300, -1e300]))
    @settings(max_examples=800)
    def test_float_formats(self, code, x):
        assert cc.fmt(code, x) == format(x, code)

    @pytest.mark.parametrize("code", ["+,", ","])
    @given(i=st.integers(INT64_MIN, INT64_MAX) | st.sampled_from([0, -1, 999, 1000, -1000, INT64_MIN, INT64_MAX]))
    def test_int_formats(self, code, i):
        assert cc.fmt(code, i) == format(i, code)


# ---- int() and float() of text ----

number_alphabet = st.sampled_from(list("0123456789_+-.eE") + list("infatyINFATY") + list(STRIP_SPACES) + ["x", "é"])
number_like = st.text(number_alphabet, max_size=25)


def with_underscores(draw, digits):
    out = []
    for i, d in enumerate(digits):
        if i and draw(st.booleans()) and draw(st.booleans()):
            out.append("_")
        out.append(d)
    return "".join(out)


@st.composite
def int_literal(draw):
    n = draw(st.integers(-(2**70), 2**70))
    sign = "-" if n < 0 else draw(st.sampled_from(["", "+"]))
    pad = st.text(st.sampled_from(STRIP_SPACES), max_size=3)
    return draw(pad) + sign + with_underscores(draw, str(abs(n))) + draw(pad)


@st.composite
def float_literal(draw):
    x = draw(any_double)
    text = repr(x) if draw(st.booleans()) else format(x, draw(st.sampled_from([".3f", ".17g", "e", ".0f"])))
    if draw(st.booleans()):
        text = text.upper()
    pad = st.text(st.sampled_from(STRIP_SPACES), max_size=3)
    return draw(pad) + text + draw(pad)


def same_failure_or_result(got, want, s):
    """Equal outcomes; where our repr of s differs from CPython's (printability of
    rare or newly assigned code points), the error type and the message up to the
    quoted text must still agree."""
    if got[0] != "ok" and cc.repr_str(s) != repr(s):
        assert got[0] == want[0]
        assert got[1].split(":")[0] == want[1].split(":")[0]
    else:
        assert (got[0], float_key(got[1])) == (want[0], float_key(want[1]))


def has_non_ascii_digit(s):
    # CPython reads every Unicode decimal digit; ours reads ASCII digits only.
    return any(ch.isdecimal() and not ch.isascii() for ch in s)


class TestParse:
    @given(int_literal() | number_like | any_text)
    @settings(max_examples=2000)
    @example("\x1c1")
    @example("1_000")
    @example("1__0")
    @example("_1")
    @example("1_")
    @example("-0")
    @example("9223372036854775807")
    @example("-9223372036854775808")
    @example("9223372036854775808")
    @example("99999999999999999999x")
    @example("'" + "x" * 300)
    def test_int_matches(self, s):
        assume(not has_non_ascii_digit(s))
        want = outcome(int, s)
        got = outcome(cc.parse_int, s)
        if want[0] == "ok" and not INT64_MIN <= want[1] <= INT64_MAX:
            assert got[0] == "OverflowError"
        else:
            same_failure_or_result(got, want, s)

    @given(float_literal() | number_like | any_text)
    @settings(max_examples=2000)
    @example("1e500")
    @example("-1e-500")
    @example("1" * 400)
    @example("0." + "0" * 400 + "1e400")
    @example("1e99999999999999999999999")
    @example("-nan")
    @example("+InFiNiTy")
    @example("nan(1)")
    @example("0x1p3")
    @example("1_0.5e1_0")
    @example("1._5")
    @example(".5")
    @example("5.")
    @example(".")
    @example("\x851.5\u3000")
    @example("x" * 300)
    def test_float_matches(self, s):
        assume(not has_non_ascii_digit(s))
        same_failure_or_result(outcome(cc.parse_float, s), outcome(float, s), s)

    def test_negative_nan_keeps_its_sign(self):
        assert math.copysign(1.0, cc.parse_float("-nan")) == math.copysign(1.0, float("-nan"))


# ---- markup, whitespace, case ----


class TestText:
    @given(any_text)
    @settings(max_examples=500)
    def test_html_escape(self, s):
        assert cc.html_escape(s) == html.escape(s)

    @given(any_text)
    @settings(max_examples=1000)
    def test_strip_and_blank(self, s):
        assert cc.strip(s) == s.strip()
        assert cc.is_blank(s) == (s.strip() == "")

    @given(st.text(st.sampled_from(STRIP_SPACES + NOT_SPACES), max_size=6), st.text(max_size=3))
    def test_strip_only_the_whitespace_set(self, pad, core):
        s = pad + core + pad
        assert cc.strip(s) == s.strip()

    @given(
        st.text(st.sampled_from("aikKsSIİıſ\u212a\u0307xé\ud800 "), max_size=20) | any_text,
        st.text(st.sampled_from("iks_ x0"), min_size=1, max_size=4),
    )
    @settings(max_examples=1000)
    def test_lower_for_match_finds_what_lower_finds(self, s, token):
        assert (token in cc.lower_match(s)) == (token in s.lower())

    @given(st.text(st.characters(max_codepoint=0x7F), max_size=30))
    def test_lower_for_match_on_ascii(self, s):
        assert cc.lower_match(s) == s.lower()

    @given(
        st.text(st.sampled_from("aikKsSIİıſ\u212axyé\ud800\U0001f600 _"), max_size=20) | any_text,
        st.text(st.sampled_from("iks_ xy"), max_size=4),
    )
    @settings(max_examples=1000)
    def test_icase_contains_matches_re(self, hay, needle):
        want = re.search(re.escape(needle), hay, re.IGNORECASE) is not None
        assert cc.icase_contains(hay, needle) == want

    @given(
        st.text(
            st.characters(max_codepoint=0x7F)
            | st.sampled_from("é€\U0001f600\x80\x9f\xa0\xad\u2028\u200b\ufeff\ud800\udfff\ue000\U000e0001\u3000"),
            max_size=30,
        )
    )
    @settings(max_examples=800)
    @example("'")
    @example('"')
    @example("'\"")
    def test_repr_str(self, s):
        assert cc.repr_str(s) == repr(s)


# ---- JSON ----

json_scalar = (
    st.none()
    | st.booleans()
    | st.integers(INT64_MIN, INT64_MAX)
    | doubles
    | any_text
)
json_key = any_text | st.integers(INT64_MIN, INT64_MAX) | doubles | st.booleans() | st.none()
json_values = st.recursive(
    json_scalar,
    lambda inner: st.lists(inner, max_size=5)
    | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(json_key, inner, max_size=5),
    max_leaves=40,
)


class TestJson:
    @given(json_values)
    @settings(max_examples=800)
    def test_compact(self, v):
        assert cc.json_compact(v) == json.dumps(v, ensure_ascii=False)

    @given(json_values)
    @settings(max_examples=800)
    def test_indent_ascii(self, v):
        assert cc.json_indent(v) == json.dumps(v, indent=2)

    @given(json_values, st.integers(0, 4))
    @settings(max_examples=300)
    def test_indent_unicode(self, v, n):
        assert cc.json_indent_unicode(v, n) == json.dumps(v, ensure_ascii=False, indent=n)

    @pytest.mark.parametrize(
        "bad",
        [
            [1, object()],
            {"a": {1, 2}},
            {"a": [b"x"]},
            {(1, 2): 1},
            {"ok": 1, frozenset(): 2},
            [{"x": [complex(1, 2)]}],
        ],
    )
    @pytest.mark.parametrize("form", ["compact", "indent"])
    def test_not_serializable(self, bad, form):
        if form == "compact":
            got, want = outcome(cc.json_compact, bad), outcome(lambda v: json.dumps(v, ensure_ascii=False), bad)
        else:
            got, want = outcome(cc.json_indent, bad), outcome(lambda v: json.dumps(v, indent=2), bad)
        assert got[0] == "TypeError"
        assert got == want

    def test_depth_guard(self):
        nested = []
        for i in range(300):
            nested = [i, {"k": nested}]
        deep = [[[[[[1]]]]]]
        assert cc.json_compact(deep, 6) == json.dumps(deep)
        for depth in (5, 1):
            for fn in (cc.json_compact, cc.json_indent):
                kind, message = outcome(fn, deep, depth) if fn is cc.json_compact else outcome(fn, deep, 2, depth)
                assert kind == "RecursionError"
                assert message == "maximum recursion depth exceeded while encoding a JSON object"
        assert outcome(cc.json_compact, {"a": {"b": {}}}, 2)[0] == "ok"
        assert outcome(cc.json_compact, {"a": {"b": {"c": 1}}}, 2)[0] == "RecursionError"
        assert cc.json_compact(nested) == json.dumps(nested, ensure_ascii=False)

    def test_surrogates_round_trip_as_bytes(self):
        v = {"\ud800x\udfff": ["\U0001f600", "\udbff\udc00"]}
        assert cc.json_compact(v).encode("utf-8", "surrogatepass") == json.dumps(v, ensure_ascii=False).encode(
            "utf-8", "surrogatepass"
        )
        assert cc.json_indent(v) == json.dumps(v, indent=2)
