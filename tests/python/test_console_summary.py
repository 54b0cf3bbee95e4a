"""The console summary of a diff payload."""

import math
import sys
import types
from collections.abc import Mapping

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import diffreport as dr

render = dr.render_diff_console_summary


# ---- a plain-Python statement of the same rules ----

def ref_as_list(value):
    return value if isinstance(value, list) else []


def ref_as_mapping(value):
    return {str(k): v for k, v in value.items()} if isinstance(value, dict) else {}


def ref_as_number(value):
    if isinstance(value, bool):
        return 0.0
    if isinstance(value, int):
        try:
            return float(value)
        except OverflowError:
            return math.copysign(math.inf, value)
    return value if isinstance(value, float) else 0.0


def shown(value):
    """str() of a value with control characters written as visible escapes."""
    out = []
    for ch in str(value):
        code = ord(ch)
        if code < 0x20 or 0x7F <= code <= 0x9F:
            out.append({"\t": "\\t", "\n": "\\n", "\r": "\\r"}.get(ch, f"\\x{code:02x}"))
        else:
            out.append(ch)
    return "".join(out)


def whole(number):
    return int(number) if math.isfinite(number) else 0


def ref_summary(payload, *, output_paths=None):
    lines = ["Brenvale Diff Summary"]
    status = str(payload.get("status", "unknown"))
    lines.append(f"Status: {shown(status)}")
    lines.append(f"Current schema: {shown(payload.get('current_schema_version') or 'unknown')}")
    lines.append(f"Baseline schema: {shown(payload.get('baseline_schema_version') or 'unknown')}")
    if status == "ok":
        lines.append(f"Flash delta: {whole(ref_as_number(payload.get('flash_delta_bytes')))} B")
        lines.append(f"RAM delta: {whole(ref_as_number(payload.get('ram_delta_bytes')))} B")
        for key, heading in (("top_regressions", "Top Regressions:"), ("top_reductions", "Top Reductions:")):
            items = ref_as_list(payload.get(key))
            if items:
                lines.append(heading)
                for item in items[:5]:
                    row = ref_as_mapping(item)
                    lines.append(f"- {shown(row.get('kind'))}:{shown(row.get('name'))} delta={shown(row.get('delta'))}")
    elif payload.get("schema_error"):
        lines.append(f"Schema error: {shown(payload.get('schema_error'))}")
    if output_paths:
        kept = [(name, path) for name, path in sorted(output_paths.items()) if path]
        if kept:
            lines.append("Diff Outputs:")
            lines.extend(f"- {shown(name)}: {shown(path)}" for name, path in kept)
    return "\n".join(lines)


# ---- the lines ----

class TestLines:
    def test_status_ok_alone(self):
        assert render({"status": "ok"}).split("\n") == [
            "Brenvale Diff Summary", "Status: ok", "Current schema: unknown", "Baseline schema: unknown",
            "Flash delta: 0 B", "RAM delta: 0 B"]

    def test_empty_payload(self):
        assert render({}) == ("Brenvale Diff Summary\nStatus: unknown\nCurrent schema: unknown\n"
                              "Baseline schema: unknown")

    def test_status_none_prints_none_and_no_deltas(self):
        out = render({"status": None, "flash_delta_bytes": 5, "schema_error": ""})
        assert out.split("\n")[1] == "Status: None" and "delta" not in out and len(out.split("\n")) == 4

    def test_status_is_case_sensitive(self):
        out = render({"status": "OK", "schema_error": "schema 2 vs 1", "flash_delta_bytes": 9,
                      "top_regressions": [{"kind": "k", "name": "n", "delta": 1}]})
        assert out.split("\n")[4:] == ["Schema error: schema 2 vs 1"]

    @pytest.mark.parametrize("value", ["", None, 0, [], False])
    def test_falsy_schema_versions_print_unknown(self, value):
        lines = render({"current_schema_version": value, "baseline_schema_version": "v2"}).split("\n")
        assert lines[2:4] == ["Current schema: unknown", "Baseline schema: v2"]

    @pytest.mark.parametrize("flash, shown_as", [
        (4521, "4521"), (-1280, "-1280"), (1535.9, "1535"), (-0.5, "0"), (True, "0"), ("12", "0"), (None, "0"),
        (2**70, str(int(float(2**70)))), (1e300, str(int(1e300))), (-2.5e19, str(int(-2.5e19))),
    ])
    def test_delta_lines(self, flash, shown_as):
        lines = render({"status": "ok", "flash_delta_bytes": flash, "ram_delta_bytes": flash}).split("\n")
        assert lines[4:6] == [f"Flash delta: {shown_as} B", f"RAM delta: {shown_as} B"]

    @pytest.mark.parametrize("flash", [float("nan"), float("inf"), float("-inf"), 10**400, -10**400])
    def test_non_finite_delta_prints_zero(self, flash):
        lines = render({"status": "ok", "flash_delta_bytes": flash, "ram_delta_bytes": flash}).split("\n")
        assert lines[4:6] == ["Flash delta: 0 B", "RAM delta: 0 B"]

    def test_ranked_blocks_show_five_items_in_payload_order(self):
        regs = [{"kind": "symbol", "name": f"r{i}", "delta": 10 - i} for i in (3, 0, 6, 1, 2, 4, 5)]
        out = render({"status": "ok", "top_regressions": regs,
                      "top_reductions": [{"kind": "symbol", "name": "main", "delta": 128}]})
        assert out.split("\n")[6:] == [
            "Top Regressions:", "- symbol:r3 delta=7", "- symbol:r0 delta=10", "- symbol:r6 delta=4",
            "- symbol:r1 delta=9", "- symbol:r2 delta=8", "Top Reductions:", "- symbol:main delta=128"]

    @pytest.mark.parametrize("item", [None, "text", 5, ["kind", "name"], (("kind", "k"),), {}])
    def test_items_that_are_not_maps_print_none(self, item):
        assert render({"status": "ok", "top_reductions": [item]}).split("\n")[6:] == [
            "Top Reductions:", "- None:None delta=None"]

    @pytest.mark.parametrize("block", [None, (), ({"kind": "k"},), {"kind": "k"}, "abc", []])
    def test_blocks_that_are_not_non_empty_lists_are_skipped(self, block):
        assert len(render({"status": "ok", "top_regressions": block}).split("\n")) == 6

    def test_item_keys_are_read_by_their_text_form(self):
        item = {1: "x", "kind": "first", "name": "n", "delta": 1.0, "kind ": "no", 2.5: "y"}
        item2 = {"kind": "a", "name": "b", "delta": 3}
        out = render({"status": "ok", "top_regressions": [item, item2, {"delta": 0}]}).split("\n")
        assert out[7:] == ["- first:n delta=1.0", "- a:b delta=3", "- None:None delta=0"]

    @pytest.mark.parametrize("delta", [1234.0, 12.5, 1e16, 1.2345678901234568e17, 1e-05, 0.0001, -0.0,
                                       float("nan"), float("-inf"), 10**30, -(2**63), True, None, [1, "a"],
                                       {"x": 1}, (1,)])
    def test_values_print_as_str(self, delta):
        line = render({"status": "ok", "top_regressions": [{"kind": "k", "name": "n", "delta": delta}]})
        assert line.split("\n")[-1] == f"- k:n delta={delta}"

    def test_objects_print_and_test_truth_as_themselves(self):
        class Named:
            def __init__(self, text, truth=True):
                self.text, self.truth = text, truth

            def __str__(self):
                return self.text

            def __bool__(self):
                return self.truth

        class Shouting(str):
            def __str__(self):
                return self.upper()

        payload = {"status": Named("ok"), "current_schema_version": Named("v9", truth=False),
                   "baseline_schema_version": Shouting("base"),
                   "top_regressions": [{"kind": Named("sym"), "name": Shouting("main"), "delta": Named("+4")}]}
        out = render(payload, output_paths={"html": Named("report.html", truth=False), "json": Named("r.json")})
        assert out.split("\n") == [
            "Brenvale Diff Summary", "Status: ok", "Current schema: unknown", "Baseline schema: BASE",
            "Flash delta: 0 B", "RAM delta: 0 B", "Top Regressions:", "- sym:MAIN delta=+4", "Diff Outputs:",
            "- json: r.json"]

    def test_output_paths_sorted_and_filtered(self):
        out = render({}, output_paths={"json": "b.json", "html": "", "csv": "a.csv"})
        assert out.split("\n")[4:] == ["Diff Outputs:", "- csv: a.csv", "- json: b.json"]

    @pytest.mark.parametrize("paths", [{"a": "", "b": None}, {}, None, [], "", 0])
    def test_no_outputs_no_heading(self, paths):
        assert "Diff Outputs" not in render({"status": "ok"}, output_paths=paths)

    def test_output_paths_of_any_mapping(self):
        paths = types.MappingProxyType({"\u00e9": "e.txt", "z": 3, "Z": "upper"})
        assert render({}, output_paths=paths).split("\n")[4:] == [
            "Diff Outputs:", "- Z: upper", "- z: 3", "- \u00e9: e.txt"]


# ---- terminal control characters in inserted values ----

class TestTerminalSafety:
    @pytest.mark.parametrize("text, expected", [
        ("evil\nStatus: ok", "evil\\nStatus: ok"),
        ("a\r\x1b[2Jb", "a\\r\\x1b[2Jb"),
        ("tab\there", "tab\\there"),
        ("\x00\x07\x7f", "\\x00\\x07\\x7f"),
        ("c1\x9b31m\x85", "c1\\x9b31m\\x85"),
        ("C:\\out\\new", "C:\\out\\new"),  # backslashes are printed as they are
        ("\u00e9\u65e5\u2028\xa0\U0001f600", "\u00e9\u65e5\u2028\xa0\U0001f600"),
    ])
    def test_controls_are_escaped_everything_else_kept(self, text, expected):
        payload = {"status": "ok", "current_schema_version": text,
                   "top_regressions": [{"kind": text, "name": text, "delta": text}]}
        out = render(payload, output_paths={text: text})
        lines = out.split("\n")
        assert len(lines) == 10  # nothing injected a line
        assert lines[2] == f"Current schema: {expected}"
        assert lines[7] == f"- {expected}:{expected} delta={expected}"
        assert lines[9] == f"- {expected}: {expected}"

    def test_status_and_schema_error_escaped(self):
        out = render({"status": "bad\n", "schema_error": "line1\nFlash delta: 999 B"})
        assert out.split("\n")[1:] == ["Status: bad\\n", "Current schema: unknown", "Baseline schema: unknown",
                                       "Schema error: line1\\nFlash delta: 999 B"]

    def test_lone_surrogates_pass_through(self):
        out = render({"status": "x\ud800y"})
        assert out.split("\n")[1] == "Status: x\ud800y"


# ---- only what is printed is read ----

class Poison:
    """Fails the moment the summary looks at it."""

    def __str__(self):
        raise AssertionError("converted a value that is not printed")

    def __bool__(self):
        raise AssertionError("tested a value that is not printed")

    __hash__ = object.__hash__


class Recording(Mapping):
    def __init__(self, data):
        self.data, self.asked = data, []

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def get(self, key, default=None):
        self.asked.append(key)
        return self.data.get(key, default)


class TestWhatIsRead:
    def test_other_keys_and_later_items_are_never_converted(self):
        row = {"kind": "k", "name": "n", "delta": 1, "delta_pct": Poison(), "extra": 10**5000}
        payload = {"status": "ok", "symbols": Poison(), "sections": [Poison()] * 100, "schema_error": Poison(),
                   "top_regressions": [row] * 5 + [{Poison(): 1}, Poison()], "top_reductions": [Poison()] * 0}
        assert render(payload).count("- k:n delta=1") == 5

    def test_schema_error_status_reads_no_deltas(self):
        payload = {"status": "schema_mismatch", "flash_delta_bytes": Poison(), "top_regressions": [Poison()],
                   "schema_error": "versions differ"}
        assert render(payload).endswith("Schema error: versions differ")

    def test_payload_is_read_through_get_for_the_printed_keys_only(self):
        payload = Recording({"status": "ok", "flash_delta_bytes": 3, "symbols": [1, 2, 3]})
        assert render(payload).split("\n")[4] == "Flash delta: 3 B"
        assert set(payload.asked) <= {"status", "current_schema_version", "baseline_schema_version",
                                      "flash_delta_bytes", "ram_delta_bytes", "top_regressions", "top_reductions"}


def test_no_reference_to_the_callers_objects_is_leaked():
    rows = [{"kind": f"kind-{i}", "name": f"name-{i}", "delta": float(i) + 0.5} for i in range(7)]
    payload = {"status": "ok", "top_regressions": rows, "schema_error": "e" * 3}
    paths = {"json": "out-a.json", "html": "out-b.html"}
    objects = [payload, paths, *rows, *(v for r in rows for v in r.values()), *paths.values()]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        render(payload, output_paths=paths)
        with pytest.raises(AttributeError):
            render(payload, output_paths=["x"])
    assert [sys.getrefcount(o) for o in objects] == before


# ---- bad input ----

class TestBadInput:
    @pytest.mark.parametrize("payload", [None, [], ["status"], "status", 5, object()])
    def test_payload_that_is_not_a_map(self, payload):
        with pytest.raises(AttributeError, match="get"):
            render(payload)

    def test_payload_error_comes_before_output_paths_error(self):
        with pytest.raises(AttributeError, match="get"):
            render(None, output_paths=["x"])

    @pytest.mark.parametrize("paths", [["a.json"], "x", 5, (("json", "a"),), {"json"}])
    def test_truthy_output_paths_that_are_not_a_map(self, paths):
        with pytest.raises(AttributeError, match="items"):
            render({}, output_paths=paths)

    def test_output_names_that_do_not_compare(self):
        with pytest.raises(TypeError, match="'<' not supported"):
            render({}, output_paths={1: "a", "b": "c"})

    def test_failing_str_of_a_printed_value_propagates(self):
        class Broken:
            def __str__(self):
                raise KeyError("no text")

        with pytest.raises(KeyError):
            render({"status": Broken()})


# ---- differential check against the plain-Python statement ----

SCALARS = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8),
                    st.sampled_from(["ok", "OK", "", "\ud800", "a\x1b[0m", "x\ny"]))
VALUES = st.one_of(SCALARS, st.lists(SCALARS, max_size=3), st.tuples(SCALARS),
                   st.dictionaries(st.text(max_size=3), SCALARS, max_size=2))
ITEMS = st.one_of(st.dictionaries(st.one_of(st.sampled_from(["kind", "name", "delta", "other"]),
                                            st.integers(), st.none()), VALUES, max_size=5), VALUES)
PAYLOADS = st.fixed_dictionaries({}, optional={
    "status": st.one_of(st.just("ok"), SCALARS),
    "current_schema_version": VALUES, "baseline_schema_version": VALUES, "schema_error": VALUES,
    "flash_delta_bytes": VALUES, "ram_delta_bytes": VALUES,
    "top_regressions": st.one_of(st.lists(ITEMS, max_size=8), VALUES),
    "top_reductions": st.one_of(st.lists(ITEMS, max_size=8), VALUES),
})
OUTPUTS = st.one_of(st.none(), st.dictionaries(st.text(max_size=5), st.one_of(st.text(max_size=6), st.none(),
                                                                               st.integers()), max_size=4))


@settings(max_examples=500, deadline=None)
@given(PAYLOADS, OUTPUTS)
def test_summary_equals_reference(payload, output_paths):
    assert render(payload, output_paths=output_paths) == ref_summary(payload, output_paths=output_paths)


# ---- argument binding ----

def render_diff_console_summary(diff_payload, *, output_paths=None):
    return "ok"


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - compared as a whole
        return ("error", type(exc), str(exc))


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (({}, None), {}), (({},), {"paths": 1}), ((), {"output_paths": {}}), (({},), {"diff_payload": {}}),
    ((), {"diff_payload": {}}), (({}, 1), {"output_paths": None}), (({}, 1, 2), {}),
])
def test_argument_errors_match_python(args, kwargs):
    want = outcome(render_diff_console_summary, *args, **kwargs)
    got = outcome(render, *args, **kwargs)
    assert got[0] == want[0]
    if want[0] == "error":
        assert got == want
