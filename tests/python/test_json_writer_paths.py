"""The JSON writer's fast paths held against json.dumps.

The writer scans strings eight bytes at a time, stages its output in a block that
it appends to the result as it fills, and writes integers two digits at a time.
These cases aim at the seams of that machinery: an escape at every position of
a word and across word boundaries, strings longer than the staging block,
documents that outgrow the result several times over, and every integer width.
"""

import importlib.util
import json
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import _corecheck as cc
from brenvale import plotspec

ROOT = Path(__file__).resolve().parents[2]
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# One of each kind of character the writer treats differently: plain ASCII, the
# short escapes, another control, DEL (escaped with ensure_ascii only), two-,
# three- and four-byte characters, and both halves of a surrogate pair on their own.
SPECIALS = ['"', "\\", "\x00", "\x1f", "\n", "\t", "\x7f", "~", " ", "é", "\u20ac", "\U0001f600", "\ud800", "\udfff"]

FORMS = {
    "compact": (cc.json_compact, lambda v: json.dumps(v, ensure_ascii=False)),
    "indent": (cc.json_indent, lambda v: json.dumps(v, indent=2)),
    "indent_unicode": (lambda v: cc.json_indent_unicode(v, 3), lambda v: json.dumps(v, ensure_ascii=False, indent=3)),
}


def assert_same(form, value):
    ours, theirs = FORMS[form]
    assert ours(value) == theirs(value)


# ---- strings ----


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("special", SPECIALS)
def test_escape_at_every_position_of_a_word(form, special):
    """One special character at offsets 0..24 in texts of lengths around one to three words."""
    texts = [("x" * pos) + special + ("y" * tail) for pos in range(25) for tail in (0, 1, 6, 7, 8, 9)]
    assert_same(form, texts)
    assert_same(form, {t: t for t in texts})


@pytest.mark.parametrize("form", FORMS)
def test_runs_of_specials_across_word_boundaries(form):
    """Consecutive escapes straddling a word edge, and clean runs between them."""
    texts = []
    for a in SPECIALS:
        for b in SPECIALS:
            for pad in range(5, 12):
                texts.append("p" * pad + a + b + "q" * (16 - pad))
    assert_same(form, texts)


# Text biased towards the characters that take a slow path, in runs long enough to
# cover several words.
escapable = st.sampled_from(SPECIALS) | st.characters(max_codepoint=0x7F) | st.characters(exclude_categories=())
texts = st.text(escapable, max_size=70)


@pytest.mark.parametrize("form", FORMS)
@given(st.lists(texts, max_size=8))
@settings(max_examples=300)
def test_generated_texts(form, values):
    assert_same(form, values)


@pytest.mark.parametrize("form", FORMS)
@given(st.text(escapable, min_size=1, max_size=40), st.integers(20_000, 300_000), st.integers(1, 97))
@settings(max_examples=15, deadline=None)
def test_strings_longer_than_the_staging_block(form, piece, clean_run, every):
    """A few hundred kilobytes of text in one string, with escapes spread through it."""
    body = "".join(piece if i % every == 0 else "z" * 7 for i in range(clean_run // 7))
    assert_same(form, [body, {"k": body}])


@pytest.mark.parametrize("form", FORMS)
def test_lone_surrogates_and_pairs_next_to_each_other(form):
    values = ["\ud800\udc00", "\ud800" + "\udc00" * 9, "\udbff" * 17, "a\udfff\ud800b" * 5, "\U0010ffff" * 11]
    ours, theirs = FORMS[form]
    # ensure_ascii=False keeps lone surrogates, which only travel as bytes.
    assert ours(values).encode("utf-8", "surrogatepass") == theirs(values).encode("utf-8", "surrogatepass")


# ---- numbers ----

int_edges = [0, 1, -1, 9, 10, 99, 100, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1]
int_edges += [s * (10**k + d) for k in range(1, 19) for d in (-1, 0, 1) for s in (1, -1)]


@pytest.mark.parametrize("form", FORMS)
def test_ints_of_every_width(form):
    assert_same(form, int_edges)
    assert_same(form, {i: i for i in int_edges})


@pytest.mark.parametrize("form", ["compact", "indent"])
@given(st.lists(st.integers(INT64_MIN, INT64_MAX) | st.integers(-(10**6), 10**6), max_size=20))
@settings(max_examples=300)
def test_generated_ints(form, values):
    """As items and as keys (the converter stops at 64 bits; big digits are a C++ case)."""
    assert_same(form, [values, {v: v for v in values}])


@pytest.mark.parametrize("form", ["compact", "indent"])
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=20))
@settings(max_examples=300)
def test_generated_floats(form, values):
    assert_same(form, [values, {v: v for v in values}])


# ---- documents larger than the buffers ----


@pytest.mark.parametrize("form", FORMS)
def test_document_that_outgrows_the_result_many_times(form):
    """About ten megabytes: the result grows from a few kilobytes past the huge-page size."""
    rows = [
        {"name": f"sym_{i}\t\"{i % 7}\"", "size": i * 7919, "ratio": i / 7, "tags": ["é", None, True, [i]]}
        for i in range(60_000)
    ]
    assert_same(form, rows)


def test_errors_after_megabytes_of_output():
    """The error still comes out whole once the output has been appended to many times."""
    big = ["x" * 100] * 120_000
    assert cc.json_compact([big, "tail"]) == json.dumps([big, "tail"])
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        cc.json_compact([big, object()])
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None, not tuple"):
        cc.json_indent([big, {(1,): 2}])


@pytest.mark.parametrize("indent", [0, 1, 7])
def test_deep_nesting_with_wide_indent(indent):
    """Line breaks wider than the staging block's first size, at every depth."""
    deep = "leaf"
    for i in range(400):
        deep = [i, {"k": deep}] if i % 2 else [deep]
    assert cc.json_indent(deep, indent) == json.dumps(deep, indent=indent)
    assert cc.json_indent_unicode(deep, indent) == json.dumps(deep, ensure_ascii=False, indent=indent)


# ---- the contract ----


def _generator():
    spec = importlib.util.spec_from_file_location("brenvale_bench_generate", ROOT / "bench" / "generate.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("indent", [None, 2])
def test_contract_json_equals_dumps_of_the_contract(indent):
    """The benchmark's medium model: a few megabytes through the path the host uses."""
    model, kwargs = _generator().contract_inputs("medium", seed=3)
    raw = plotspec.build_visualization_contract_json(model, indent=indent, **kwargs)
    contract = plotspec.build_visualization_contract(model, **kwargs)
    if indent is None:
        want = json.dumps(contract, ensure_ascii=False).encode("utf-8", "surrogatepass")
    else:
        want = json.dumps(contract, indent=indent).encode()
    assert raw == want
