"""Fragments of the HTML diff report: comparison card, table rows, region strip,
chart entries and the script-safe JSON, checked against plain-Python statements of
the same rules."""

import html
import json
import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import diffreport as dr

HOSTILE = "<b>x</b> & \"q\" 'a' </script> <!-- é \U0001f600"

META_ROW = re.compile(
    r'<div class="bv-diff-meta-row"><span class="bv-diff-meta-label">(.*?)</span>'
    r'<span class="bv-diff-meta-value is-mono">(.*?)</span></div>'
)
FILE_CELL = re.compile(r'<div class="bv-diff-column-file is-mono" title="(.*?)">(.*?)</div>')


def column_of(card, role):
    start = card.index(f'<div class="bv-diff-column bv-diff-column--{role}">')
    return card[start : card.index("\n", start)]  # a column is one line


def meta_rows(column):
    return [(html.unescape(a), html.unescape(b)) for a, b in META_ROW.findall(column)]


def file_cell(column):
    title, label = FILE_CELL.search(column).groups()
    return html.unescape(title), html.unescape(label)


# ---- comparison card ----


class TestComparisonCard:
    def test_fixed_frame_and_column_order(self):
        card = dr._render_comparison_card({}, {})
        assert card.startswith('\n    <section class="section bv-diff-comparison">')
        assert card.endswith("\n      </div>\n    </section>")
        assert "Current > Baseline (grew)" in card and "Current &lt; Baseline (shrank)" in card
        cur = card.index("bv-diff-column--current")
        arrow = card.index('<div class="bv-diff-arrow" aria-hidden="true">vs.</div>')
        base = card.index("bv-diff-column--baseline")
        assert cur < arrow < base
        assert '<div class="bv-diff-column-role">Current</div>' in card
        assert '<div class="bv-diff-column-role">Baseline</div>' in card

    @pytest.mark.parametrize(
        "path, title, label",
        [
            (None, "", "(no file supplied)"),
            ("", "", "(no file supplied)"),
            (0, "", "(no file supplied)"),
            ("C:\\work\\out\\app.map", "C:\\work\\out\\app.map", "app.map"),
            ("build/zephyr/zephyr.map", "build/zephyr/zephyr.map", "zephyr.map"),
            ("mixed\\dir/sub\\x.map", "mixed\\dir/sub\\x.map", "x.map"),
            ("out/", "out/", ""),
            ("plain.map", "plain.map", "plain.map"),
            (42, "42", "42"),
            ("dir/" + HOSTILE, "dir/" + HOSTILE, HOSTILE.split("/")[-1]),
        ],
    )
    def test_file_label_and_title(self, path, title, label):
        info = {} if path is None else {"path": path}
        col = column_of(dr._render_comparison_card(info, {}), "current")
        assert file_cell(col) == (title, label)

    def test_only_a_path_gives_only_the_target_row(self):
        card = dr._render_comparison_card({"path": "a.map"}, {"path": "b.map"})
        for role in ("current", "baseline"):
            assert meta_rows(column_of(card, role)) == [("Target", "unknown")]

    def test_full_column(self):
        info = {
            "path": "x/app.map",
            "target_name": "nrf52840",
            "analysis_timestamp": "2024-05-01T10:22:03Z",
            "tool_version": "1.4.2",
            "total_flash": 131072,
            "total_ram": 65536.7,
        }
        col = column_of(dr._render_comparison_card({}, info), "baseline")
        assert meta_rows(col) == [
            ("Target", "nrf52840"),
            ("Analyzed", "2024-05-01"),
            ("Tool version", "1.4.2"),
            ("Total FLASH", "131,072 B"),
            ("Total RAM", "65,536 B"),
        ]

    @pytest.mark.parametrize(
        "info, expected",
        [
            ({"target_name": 0}, ("Target", "unknown")),
            ({"target_name": ""}, ("Target", "unknown")),
            ({"target_name": None}, ("Target", "unknown")),
            ({"target_name": 7}, ("Target", "7")),
            ({"target_name": True}, ("Target", "True")),
            ({"target_name": ["a", 1]}, ("Target", "['a', 1]")),
            ({"analysis_timestamp": "2024-05-01"}, ("Analyzed", "2024-05-01")),
            ({"analysis_timestamp": 20240501}, ("Analyzed", "20240501")),
            ({"analysis_timestamp": "T10:00"}, None),  # the date part is empty
            ({"analysis_timestamp": 0}, None),
            ({"tool_version": "0"}, ("Tool version", "0")),
            ({"tool_version": 0.0}, None),
            ({"tool_version": False}, None),
            ({"tool_version": 1.5}, ("Tool version", "1.5")),
        ],
    )
    def test_meta_rows(self, info, expected):
        rows = meta_rows(column_of(dr._render_comparison_card(info, {}), "current"))
        if "target_name" in info:
            assert rows == [expected]
        else:
            assert rows == [("Target", "unknown")] + ([expected] if expected else [])

    @pytest.mark.parametrize(
        "total, shown",
        [
            (131072, "131,072"),
            (-4096, "-4,096"),
            (2048.9, "2,048"),
            (-2048.9, "-2,048"),
            (0.9, None),
            (-0.9, None),
            (0, None),
            ("1024", None),
            (True, None),
            (None, None),
            ([1024], None),
            (10**30, f"{10**30:,}"),
            (2.0**70, f"{int(2.0**70):,}"),
            (-1e300, f"{int(-1e300):,}"),
            # a NaN or infinite total has no byte count: no row instead of an error
            (math.nan, None),
            (math.inf, None),
            (-math.inf, None),
        ],
    )
    def test_byte_rows(self, total, shown):
        col = column_of(dr._render_comparison_card({"total_flash": total, "total_ram": total}, {}), "current")
        rows = [r for r in meta_rows(col) if r[0].startswith("Total")]
        if shown is None:
            assert rows == []
        else:
            assert rows == [("Total FLASH", shown + " B"), ("Total RAM", shown + " B")]

    def test_keys_are_read_by_their_text_form(self):
        class Key:
            def __str__(self):
                return "target_name"

        col = column_of(dr._render_comparison_card({Key(): "board"}, {}), "current")
        assert meta_rows(col) == [("Target", "board")]
        # of two keys with the same text form the later one wins
        col = column_of(dr._render_comparison_card({"target_name": "a", Key(): "b"}, {}), "current")
        assert meta_rows(col) == [("Target", "b")]

    @pytest.mark.parametrize("bad", [None, [("path", "x")], "path", 3, ("a",)])
    def test_non_maps_read_as_empty(self, bad):
        assert dr._render_comparison_card(bad, bad) == dr._render_comparison_card({}, {})

    def test_markup_is_escaped_everywhere(self):
        info = {k: HOSTILE for k in ("path", "target_name", "analysis_timestamp", "tool_version")}
        card = dr._render_comparison_card(info, info)
        assert "<b>" not in card and "</script>" not in card and "<!--" not in card
        col = column_of(card, "current")
        assert file_cell(col) == (HOSTILE, HOSTILE.split("/")[-1])
        values = dict(meta_rows(col))
        assert values["Target"] == HOSTILE and values["Tool version"] == HOSTILE
        assert values["Analyzed"] == HOSTILE.split("T")[0]

    def test_arguments_are_left_alone(self):
        info = {"path": "a\\b.map", "total_flash": 5.5, 1: "one"}
        before = repr(info)
        dr._render_comparison_card(info, info)
        assert repr(info) == before


# ---- table rows ----


def reference_row(item):
    """The table row of one ranked entry, stated in plain Python."""
    m = {str(k): v for k, v in item.items()} if isinstance(item, dict) else {}
    delta = m.get("delta")
    number = 0.0 if isinstance(delta, bool) or not isinstance(delta, (int, float)) else float(delta)
    cls = "delta-pos" if number > 0 else ("delta-neg" if number < 0 else "")
    cells = [html.escape(str(m.get(k, "unknown"))) for k in ("kind", "name", "status")]
    return (
        f'<tr><td class="kind-cell">{cells[0]}</td><td class="is-mono">{cells[1]}</td>'
        f'<td class="{cls}">{format(number, "+,.0f")} B</td><td class="status-cell">{cells[2]}</td></tr>'
    )


EMPTY_ROW = (
    '<tr><td colspan="4" style="color: var(--muted); text-align: center; padding: 16px;">No entries.</td></tr>'
)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=12),
)
entry_maps = st.dictionaries(st.sampled_from(["kind", "name", "delta", "status", "current", "baseline"]), scalars)
entry_items = st.one_of(entry_maps, scalars)


class TestTableRows:
    @pytest.mark.parametrize(
        "delta, cls, text",
        [
            (4521, "delta-pos", "+4,521 B"),
            (0, "", "+0 B"),
            (-0.3, "delta-neg", "-0 B"),
            (2.5, "delta-pos", "+2 B"),
            (3.5, "delta-pos", "+4 B"),
            (-1280, "delta-neg", "-1,280 B"),
            (True, "", "+0 B"),
            ("12", "", "+0 B"),
            (None, "", "+0 B"),
            (10**25, "delta-pos", f"{float(10**25):+,.0f} B"),
        ],
    )
    def test_delta_cell(self, delta, cls, text):
        rows = dr._render_diff_table_rows([{"kind": "symbol", "name": "f", "delta": delta, "status": "grew"}])
        assert f'<td class="{cls}">{text}</td>' in rows

    def test_empty_and_limits(self):
        assert dr._render_diff_table_rows([]) == EMPTY_ROW
        items = [{"kind": "symbol", "name": f"s{i}", "delta": i} for i in range(15)]
        rows = dr._render_diff_table_rows(items)
        assert rows.count("<tr>") == 10
        assert "s9<" in rows and "s10<" not in rows

    def test_missing_and_null_keys(self):
        rows = dr._render_diff_table_rows([{}, {"kind": None, "name": None, "status": None}, "junk"])
        assert rows.count(">unknown<") == 6
        assert rows.count(">None<") == 3

    def test_markup_in_every_cell(self):
        rows = dr._render_diff_table_rows([{"kind": HOSTILE, "name": HOSTILE, "status": HOSTILE, "delta": 1}])
        assert rows.count(html.escape(HOSTILE)) == 3
        assert "<b>" not in rows and "</script>" not in rows and "<!--" not in rows

    @settings(max_examples=150, deadline=None)
    @given(st.lists(entry_items, max_size=13))
    def test_matches_reference(self, items):
        expected = "".join(reference_row(i) for i in items[:10]) if items else EMPTY_ROW
        assert dr._render_diff_table_rows(items) == expected

    @pytest.mark.parametrize("bad", [None, (({"kind": "a"},)), "abc", 5])
    def test_non_lists_count_as_empty(self, bad):
        assert dr._render_diff_table_rows(bad) == EMPTY_ROW


# ---- region strip ----


def reference_strip(regions):
    """The per-region strip in plain Python, with non-finite numbers read as 0."""

    def num(v):
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            return 0.0
        x = float(v)
        return x if math.isfinite(x) else 0.0

    rows = []
    for item in regions if isinstance(regions, list) else []:
        m = {str(k): v for k, v in item.items()} if isinstance(item, dict) else {}
        if str(m.get("kind", "")).strip() != "region":
            continue
        name = str(m.get("name", "")).strip()
        if not name:
            continue
        rows.append((name, num(m.get("delta")), num(m.get("current")), num(m.get("baseline"))))
    if not rows:
        return ""
    max_abs = max(abs(r[1]) for r in rows)
    if max_abs == 0:
        return ""
    rows.sort(key=lambda r: abs(r[1]), reverse=True)
    out = []
    for name, delta, current, baseline in rows:
        width = max(min(abs(delta) / max_abs * 100.0, 100.0), 2.0)
        direction = "up" if delta > 0 else ("down" if delta < 0 else "flat")
        if abs(current) <= 1.5 and abs(baseline) <= 1.5:
            value = f"{delta * 100:+.1f}% util"
            context = f"{current * 100:.1f}% \u2192 {baseline * 100:.1f}% baseline"
        else:
            value = f"{delta:+,.0f} B"
            context = f"{int(current):,} B vs {int(baseline):,} B baseline"
        out.append(
            f'<li class="bv-region-delta-row" data-direction="{direction}"><span class="bv-region-delta-name '
            f'is-mono">{html.escape(name)}</span><span class="bv-region-delta-rail"><span class="bv-region-'
            f'delta-bar bv-region-delta-bar--{direction}" style="width:{width:.1f}%"></span></span><span '
            f'class="bv-region-delta-value is-mono">{html.escape(value)}</span><span class="bv-region-delta-'
            f'context">{html.escape(context)}</span></li>'
        )
    return (
        '\n    <section class="section">\n      <h2 class="section-title">Per-region delta vs baseline</h2>\n'
        '      <p class="summary-note">\n        Each bar is proportional to the absolute delta (current vs '
        "baseline).\n        Red bars on the right grew; green bars on the left shrank.\n      </p>\n"
        '      <ul class="bv-region-delta-list">\n        ' + "".join(out) + "\n      </ul>\n    </section>"
    )


ROW = re.compile(
    r'data-direction="(\w+)"><span class="bv-region-delta-name is-mono">(.*?)</span>.*?width:([^%]*)%.*?'
    r'<span class="bv-region-delta-value is-mono">(.*?)</span><span class="bv-region-delta-context">(.*?)</span>'
)


def strip_rows(strip):
    return [tuple(html.unescape(g) for g in m) for m in ROW.findall(strip)]


def region(name, delta, current, baseline, kind="region"):
    return {"kind": kind, "name": name, "delta": delta, "current": current, "baseline": baseline}


class TestRegionStrip:
    def test_ratio_and_byte_modes(self):
        rows = strip_rows(
            dr._render_region_delta_strip([region("RAM", 0.02, 0.62, 0.6), region("FLASH", 2048, 12288, 10240)])
        )
        assert rows == [
            ("up", "FLASH", "100.0", "+2,048 B", "12,288 B vs 10,240 B baseline"),
            ("up", "RAM", "2.0", "+2.0% util", "62.0% \u2192 60.0% baseline"),
        ]

    def test_widths_directions_and_order(self):
        rows = strip_rows(
            dr._render_region_delta_strip(
                [region("a", 10, 5000, 4990), region("b", -1000, 100, 1100), region("c", 0, 7, 7),
                 region("d", 1000, 9000, 8000)]
            )
        )
        assert [(r[0], r[1], r[2]) for r in rows] == [
            ("down", "b", "100.0"), ("up", "d", "100.0"), ("up", "a", "2.0"), ("flat", "c", "2.0")
        ]

    @pytest.mark.parametrize(
        "regions",
        [
            [],
            [region("x", 0, 10, 10), region("y", 0.0, 0.5, 0.5)],
            [region("x", 50, 100, 50, kind="section")],
            [region("x", 50, 100, 50, kind="Region")],
            [region("   ", 50, 100, 50), region("", 5, 1, 1)],
            [{"name": "x", "delta": 5}],
            ["region", None, 3],
        ],
    )
    def test_no_strip(self, regions):
        assert dr._render_region_delta_strip(regions) == ""

    def test_padded_kind_and_name_are_stripped(self):
        rows = strip_rows(dr._render_region_delta_strip([region("\u3000 RAM\t", 5, 100, 95, kind="  region \n")]))
        assert rows[0][1] == "RAM"

    # A NaN or infinite number would show "nan%" widths or fail the byte counts; such a
    # value is read as 0 like any other non-number.
    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
    def test_non_finite_numbers_read_as_zero(self, bad):
        strip = dr._render_region_delta_strip(
            [region("a", 100, 2000, 1900), region("b", bad, 3000, 2000), region("c", 50, bad, 2000),
             region("d", -25, 4000, bad)]
        )
        assert "nan" not in strip and "inf" not in strip
        assert strip_rows(strip) == [
            ("up", "a", "100.0", "+100 B", "2,000 B vs 1,900 B baseline"),
            ("up", "c", "50.0", "+50 B", "0 B vs 2,000 B baseline"),
            ("down", "d", "25.0", "-25 B", "4,000 B vs 0 B baseline"),
            ("flat", "b", "2.0", "+0 B", "3,000 B vs 2,000 B baseline"),
        ]

    def test_markup_in_names(self):
        strip = dr._render_region_delta_strip([region(HOSTILE, 5, 10, 5)])
        assert strip_rows(strip)[0][1] == HOSTILE.strip()
        assert "<b>" not in strip and "</script>" not in strip and "<!--" not in strip

    @settings(max_examples=150, deadline=None)
    @given(
        st.lists(
            st.one_of(
                st.fixed_dictionaries(
                    {"kind": st.sampled_from(["region", " region ", "section", None]),
                     "name": st.sampled_from(["FLASH", "RAM", " ", "é<&>", 3]),
                     "delta": scalars, "current": scalars, "baseline": scalars}
                ),
                entry_items,
            ),
            max_size=8,
        )
    )
    def test_matches_reference(self, regions):
        assert dr._render_region_delta_strip(regions) == reference_strip(regions)


# ---- chart entries ----


def reference_chart(regressions, reductions):
    def num(v):
        return 0.0 if isinstance(v, bool) or not isinstance(v, (int, float)) else float(v)

    out = []
    for items, keep in ((regressions, lambda d: d > 0), (reductions, lambda d: d < 0)):
        for item in (items if isinstance(items, list) else [])[:6]:
            m = {str(k): v for k, v in item.items()} if isinstance(item, dict) else {}
            d = num(m.get("delta"))
            # NaN/Infinity would make the island unparseable in the browser
            if math.isfinite(d) and keep(d):
                out.append({"label": f"{m.get('kind')}:{m.get('name')}", "delta": d})
    out.sort(key=lambda e: abs(e["delta"]), reverse=True)
    return out[:10]


class TestChartEntries:
    def test_limits_and_filters(self):
        regs = [{"kind": "symbol", "name": f"r{i}", "delta": 100 + i} for i in range(8)]
        regs[1]["delta"] = 0
        regs[2]["delta"] = -5
        reds = [{"kind": "section", "name": f"d{i}", "delta": -(50 + i)} for i in range(8)]
        entries = dr._build_diff_chart_entries(regs, reds)
        labels = [e["label"] for e in entries]
        assert labels == ["symbol:r5", "symbol:r4", "symbol:r3", "symbol:r0"] + [
            f"section:d{i}" for i in (5, 4, 3, 2, 1, 0)
        ]
        assert all(type(e["delta"]) is float for e in entries)

    def test_ties_keep_regressions_first(self):
        entries = dr._build_diff_chart_entries(
            [{"kind": "symbol", "name": "up", "delta": 500}], [{"kind": "symbol", "name": "down", "delta": -500}]
        )
        assert entries == [{"label": "symbol:up", "delta": 500.0}, {"label": "symbol:down", "delta": -500.0}]

    def test_at_most_ten(self):
        regs = [{"kind": "k", "name": str(i), "delta": i + 1} for i in range(6)]
        reds = [{"kind": "k", "name": str(i), "delta": -(i + 1)} for i in range(6)]
        assert len(dr._build_diff_chart_entries(regs, reds)) == 10

    def test_labels_use_text_forms(self):
        entries = dr._build_diff_chart_entries([{"delta": 1}, {"kind": None, "name": 7, "delta": 2.5}], [])
        assert [e["label"] for e in entries] == ["None:7", "None:None"]

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
    def test_non_finite_deltas_stay_out(self, bad):
        entries = dr._build_diff_chart_entries(
            [{"kind": "s", "name": "a", "delta": bad}, {"kind": "s", "name": "b", "delta": 3}],
            [{"kind": "s", "name": "c", "delta": bad}],
        )
        assert entries == [{"label": "s:b", "delta": 3.0}]
        json.loads(dr._safe_script_json(entries), parse_constant=pytest.fail)

    @settings(max_examples=150, deadline=None)
    @given(st.lists(entry_items, max_size=9), st.lists(entry_items, max_size=9))
    def test_matches_reference(self, regs, reds):
        assert dr._build_diff_chart_entries(regs, reds) == reference_chart(regs, reds)


# ---- script-safe JSON ----

json_values = st.recursive(
    st.one_of(
        st.none(), st.booleans(), st.integers(min_value=-(2**80), max_value=2**80),
        st.floats(allow_nan=False), st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from("<>&/!-")),
    ),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=20,
)


class TestSafeScriptJson:
    def test_closing_tag_and_ampersand(self):
        out = dr._safe_script_json([{"label": "a</script><!--&/", "delta": 1.0}])
        assert out == '[{"label": "a\\u003c/script\\u003e\\u003c!--&/", "delta": 1.0}]'

    @settings(max_examples=200, deadline=None)
    @given(json_values)
    def test_equals_json_with_angle_brackets_escaped(self, value):
        out = dr._safe_script_json(value)
        assert out == json.dumps(value, ensure_ascii=False).replace("<", "\\u003c").replace(">", "\\u003e")
        assert "<" not in out and ">" not in out
        assert json.loads(out) == value

    def test_non_finite_and_errors(self):
        assert dr._safe_script_json([math.nan, math.inf, -math.inf]) == "[NaN, Infinity, -Infinity]"
        with pytest.raises(TypeError, match="not JSON serializable"):
            dr._safe_script_json({"x": object()})
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="Circular reference detected"):
            dr._safe_script_json(loop)
