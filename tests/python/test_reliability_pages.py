"""Hostile payload texts must never change the structure of the report page.

A diff payload comes from build artefacts (symbol, section and file names), so
every text in it is attacker-controlled as far as the page is concerned.  Each
text field is filled with markup, script terminators, comment openers, quotes
and control characters; the page must keep its fixed skeleton and show every
payload text in escaped form only.
"""

from __future__ import annotations

import json
import re
from html.parser import HTMLParser
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from brenvale import diffreport
from reliability_helpers import PROPERTY_SETTINGS

CHART_DATA_ID = "brenvale-diff-chart-data"
CANVAS_ID = "diff-impact-chart"


class Skeleton(HTMLParser):
    """Records the page's elements, attributes, comments and script bodies."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: list[str] = []
        self.attr_names: set[tuple[str, str]] = set()
        self.ids: list[str] = []
        self.comments: list[str] = []
        self.declarations: list[str] = []
        self.scripts: list[tuple[dict[str, Any], str]] = []
        self.styles = 0
        self._script_attrs: dict[str, Any] | None = None
        self._script_text: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.append(tag)
        for name, value in attrs:
            self.attr_names.add((tag, name))
            if name == "id" and value is not None:
                self.ids.append(value)
        if tag == "script":
            self._script_attrs = dict(attrs)
            self._script_text = []
        if tag == "style":
            self.styles += 1

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.handle_starttag(tag, attrs)

    def handle_endtag(self, tag: str) -> None:
        if tag == "script" and self._script_attrs is not None:
            self.scripts.append((self._script_attrs, "".join(self._script_text)))
            self._script_attrs = None

    def handle_data(self, data: str) -> None:
        if self._script_attrs is not None:
            self._script_text.append(data)

    def handle_comment(self, data: str) -> None:
        self.comments.append(data)

    def handle_decl(self, decl: str) -> None:
        self.declarations.append(decl)

    def unknown_decl(self, data: str) -> None:
        self.declarations.append(data)

    def handle_pi(self, data: str) -> None:
        self.declarations.append(data)


def skeleton(page: str) -> Skeleton:
    parser = Skeleton()
    parser.feed(page)
    parser.close()
    return parser


def build_payload(text: Any, number: float = 1234.0) -> dict[str, Any]:
    """A payload whose every text field (keys of raw records included) is *text*."""

    def entry(sign: int) -> dict[str, Any]:
        return {"kind": text, "name": text, "delta": sign * number, "delta_pct": 0.5, "status": text}

    build = {"path": text, "target_name": text, "analysis_timestamp": text, "tool_version": text,
             "total_flash": 4096, "total_ram": 1024}
    return {
        "status": text,
        "current_schema_version": text,
        "baseline_schema_version": text,
        "schema_error": text,
        "flash_delta_bytes": number,
        "ram_delta_bytes": -number,
        "top_regressions": [entry(1), entry(1)],
        "top_reductions": [entry(-1)],
        "regions": [{"kind": "region", "name": text, "delta": number, "current": 0.5, "baseline": 0.25},
                    {"kind": "region", "name": text + "2", "delta": -number, "current": 9000, "baseline": 100}],
        "sections": [{"name": text, text: text}],
        "symbols": [{"name": text, "section": text, "object": text}, text],
        "components": [{"name": text, "objects": [text, text]}],
        "current_build": build,
        "baseline_build": dict(build),
    }


BENIGN = skeleton(diffreport.render_diff_html(build_payload("plain")))


def is_subsequence(short: list[str], long: list[str]) -> bool:
    it = iter(long)
    return all(any(tag == other for other in it) for tag in short)


def check_skeleton(page: str, payload: dict[str, Any]) -> Skeleton:
    doc = skeleton(page)
    assert doc.styles == 1
    assert len(doc.scripts) == 2
    assert doc.ids.count(CHART_DATA_ID) == 1 and doc.ids.count(CANVAS_ID) == 1
    # No element, attribute, comment or declaration came from the payload.
    # Empty or zero values leave optional rows out, so the elements must be the
    # benign page's elements with some left out, in the same order.
    assert is_subsequence(doc.tags, BENIGN.tags)
    assert doc.attr_names <= BENIGN.attr_names
    assert doc.comments == BENIGN.comments
    assert doc.declarations == BENIGN.declarations
    assert len(re.findall(r"</script", page, re.IGNORECASE)) == 2
    assert len(re.findall(r"</style", page, re.IGNORECASE)) == 1
    # The chart script is fixed text; the data island holds exactly the chart entries.
    (data_attrs, data_text), (code_attrs, code_text) = doc.scripts
    assert data_attrs == {"id": CHART_DATA_ID, "type": "application/json"}
    assert code_attrs == {} and code_text == BENIGN.scripts[1][1]
    expected = diffreport._build_diff_chart_entries(payload["top_regressions"], payload["top_reductions"])
    assert json.loads(data_text) == json.loads(json.dumps(expected))
    return doc


HOSTILE_SEGMENTS = [
    "<x-evil onload=alert(1)>",
    "</script>",
    "</SCRIPT >",
    "<!--",
    "-->",
    "<![CDATA[",
    "<style>",
    "</style>",
    '"',
    "'",
    '" onmouseover="alert(1)',
    "&amp;",
    "&",
    "<img src=x onerror=alert(2)>",
    "\x00\x01\x08\x0b\x0c\x1b\x7f",
    "\r\n\t",
    "\u2028\u2029",
    "\ud800",
    "<?php ?>",
    "<!doctype html>",
    "\\u003c/script>",
]


def marked_text() -> tuple[str, list[str]]:
    markers = [f"QZM{i:02d}Q" for i in range(len(HOSTILE_SEGMENTS) + 1)]
    text = "".join(m + seg for m, seg in zip(markers, HOSTILE_SEGMENTS)) + markers[-1]
    return text, markers


ENTITY = re.compile(r"&(amp|lt|gt|quot|#x27);")


class TestHostileTexts:
    def test_every_text_field_hostile(self):
        text, markers = marked_text()
        payload = build_payload(text)
        page = diffreport.render_diff_html(payload)
        check_skeleton(page, payload)

        data_start = page.index(f'id="{CHART_DATA_ID}"')
        data_end = page.index("</script>", data_start)
        seen_html = seen_script = 0
        for i, segment in enumerate(HOSTILE_SEGMENTS):
            # Some fields show only a part of the text (a date cut at "T", a file
            # name after the last "/"), so only adjacent markers delimit one segment.
            pattern = re.compile(re.escape(markers[i]) + "((?:(?!QZM).)*?)" + re.escape(markers[i + 1]), re.DOTALL)
            for match in pattern.finditer(page):
                between = match.group(1)
                assert "<" not in between and ">" not in between, (segment, between)
                if data_start <= match.start() < data_end:
                    seen_script += 1
                    continue
                seen_html += 1
                # Outside the JSON island only the markup escape's entities may appear.
                assert '"' not in between and "'" not in between, (segment, between)
                assert "&" not in ENTITY.sub("", between), (segment, between)
        # The texts really went through both contexts.
        assert seen_html >= len(HOSTILE_SEGMENTS) * 5
        assert seen_script >= len(HOSTILE_SEGMENTS)

    def test_console_summary_passes_markup_but_no_terminal_controls(self):
        # Plain text has no markup to protect, so markup passes unchanged; but
        # control characters from the payload could drive the terminal, and
        # every line must stay one line.
        text, markers = marked_text()
        summary = diffreport.render_diff_console_summary(build_payload(text), output_paths={text: text})
        lines = summary.split("\n")
        assert lines[0] == "Brenvale Diff Summary"
        assert sum(line.count(markers[0]) for line in lines) == 6
        assert not re.search(r"[\x00-\x08\x0b-\x1f\x7f\r]", summary)
        for marker, segment in zip(markers, HOSTILE_SEGMENTS):
            if not re.search(r"[\x00-\x1f\x7f]", segment):
                assert marker + segment in summary

    def test_hostile_texts_in_helpers(self):
        text, _ = marked_text()
        for out in (
            diffreport._render_comparison_card({"path": text, "target_name": text}, {"tool_version": text}),
            diffreport._render_region_delta_strip([{"kind": "region", "name": text, "delta": 5}]),
            diffreport._render_diff_table_rows([{"kind": text, "name": text, "status": text}]),
        ):
            assert "<x-evil" not in out and "</script" not in out.lower() and "<!--" not in out
        safe = diffreport._safe_script_json([{"label": text}])
        assert "<" not in safe and ">" not in safe
        assert json.loads(safe) == [{"label": text}]


markupish = st.lists(
    st.one_of(
        st.sampled_from(["<", ">", "&", '"', "'", "/", "!", "-", "--", "script", "SCRIPT", "style", " ", "=",
                         "\x00", "\n", "\r", "\u2028", "\ud800", "\U0001f600", "]]>", "<!", "</", "amp;", "#x27;"]),
        st.text(max_size=3),
    ),
    max_size=24,
).map("".join)


class TestGeneratedHostileTexts:
    @PROPERTY_SETTINGS
    @given(text=markupish, number=st.one_of(st.integers(-10**6, 10**6), st.floats(-1e9, 1e9)))
    def test_page_skeleton_survives(self, text, number):
        payload = build_payload("QZMA" + text + "QZMB", number)
        page = diffreport.render_diff_html(payload)
        check_skeleton(page, payload)
        # Every occurrence of the whole text is in escaped form.
        for between in re.findall(r"QZMA((?:(?!QZM).)*?)QZMB", page, re.DOTALL):
            assert "<" not in between and ">" not in between, between

    @PROPERTY_SETTINGS
    @given(value=st.recursive(
        st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False),
                  markupish),
        lambda kids: st.one_of(st.lists(kids, max_size=3), st.dictionaries(markupish, kids, max_size=3)),
        max_leaves=10))
    def test_safe_script_json_is_json_without_angle_brackets(self, value):
        out = diffreport._safe_script_json(value)
        assert "<" not in out and ">" not in out
        assert json.loads(out) == json.loads(json.dumps(value))
        assert out.replace("\\u003c", "<").replace("\\u003e", ">") == json.dumps(value, ensure_ascii=False)


@pytest.mark.parametrize("field", ["sections", "symbols", "components"])
def test_raw_dump_with_closing_script_tag(field):
    payload = {field: [{"name": "</script><script>alert(1)</script>"}, "<!--", "</pre>"]}
    page = diffreport.render_diff_html(payload)
    doc = skeleton(page)
    assert len(doc.scripts) == 2 and doc.styles == 1
    assert "alert(1)" not in doc.scripts[0][1] + doc.scripts[1][1]
    assert page.count("</pre>") == 6
