"""The Markdown report, read back through a real CommonMark/GFM parser, and the CSV report."""

import csv
import io
from html.parser import HTMLParser

import pytest

from brenvale.analysis import region_usage
from brenvale.budget import check_build, parse_budget, region_overflows
from brenvale.compare import compare_builds, diff_payload
from brenvale.csv_report import COLUMNS, render_csv
from brenvale.markdown_report import REPORT_LIMIT, code, render_markdown
from brenvale.pipeline import load_input
from brenvale.records import (
    BuildInput,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)
from brenvale.samples import BASELINE_SAMPLE, sample_path

markdown_it = pytest.importorskip("markdown_it")

ALLOWED_TAGS = {"h2", "h3", "p", "table", "thead", "tbody", "tr", "th", "td", "code", "strong", "em",
                "details", "summary", "blockquote"}


class Page(HTMLParser):
    """Tables as lists of cell texts, code texts, tags seen, and text outside code."""

    def __init__(self, html):
        super().__init__(convert_charrefs=True)
        self.tables, self.codes, self.tags, self.outside = [], [], set(), []
        self._cell = self._code = None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self._cell = []
        elif tag == "code":
            self._code = []

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.tables[-1][-1].append("".join(self._cell))
            self._cell = None
        elif tag == "code":
            self.codes.append("".join(self._code))
            self._code = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)
        if self._code is not None:
            self._code.append(data)
        else:
            self.outside.append(data)


def parse(text):
    renderer = markdown_it.MarkdownIt("commonmark").enable("table")
    return Page(renderer.render(text))


def sample_pair():
    return load_input(sample_path()), load_input(sample_path(BASELINE_SAMPLE))


def symbol_build(names_and_sizes, flash_size=1 << 30):
    total = sum(size for _, size in names_and_sizes)
    regions = [MemoryRegion("FLASH", 0, flash_size - 1, flash_size, RegionCategory.FLASH)]
    sections = [SectionPlacement(".text", "FLASH", "FLASH", 0, 0, total, 0, 0)]
    symbols, address = [], 0
    for name, size in names_and_sizes:
        symbols.append(SymbolEntry(name, None, address, size, ".text", "x.o", None, None, None))
        address += size
    return BuildInput(model=NormalizedBuildModel(sections, symbols, regions))


class TestBundledPair:
    def test_region_table_cells(self):
        current, baseline = sample_pair()
        payload = diff_payload(compare_builds(current, baseline))
        page = parse(render_markdown(payload))
        header, *rows = page.tables[0]
        assert header == ["Region", "Base", "PR", "Delta", "Utilisation"]
        now, before = region_usage(current.model), region_usage(baseline.model)
        assert now["FLASH"].used_bytes == 22980 and before["FLASH"].used_bytes == 20928
        by_name = {row[0]: row for row in rows}
        assert by_name["FLASH"] == ["FLASH", "20,928 B", "22,980 B", "🔺 +2,052 B (+9.81%)",
                                    "2.00% → 2.19% of 1,048,576 B"]
        assert by_name["RAM"][3] == "🔻 -1,024 B (-18.20%)"
        assert by_name["IDT_LIST"][3] == "0 B"
        assert by_name["Flash total"][1:4] == ["20,928 B", "22,980 B", "🔺 +2,052 B (+9.81%)"]
        assert page.tags <= ALLOWED_TAGS

    def test_regressions_reductions_and_added_large_symbols(self):
        payload = diff_payload(compare_builds(*sample_pair()))
        page = parse(render_markdown(payload))
        regressions, reductions = [t[1:] for t in page.tables if t[0][:3] == ["Kind", "Name", "Delta"]]
        assert regressions[0] == ["region", "FLASH", "+2,052 B", "+9.81%", "changed"]
        assert reductions[-1] == ["symbol", "print_banner", "-148 B", "-100.00%", "removed"]
        assert [t[1:] for t in page.tables if t[0] == ["Symbol", "Size"]] == [[["__l_vfprintf", "1,160 B"]]]

    def test_budget_verdicts_and_overflow(self):
        current, baseline = sample_pair()
        comparison = compare_builds(current, baseline)
        budget = parse_budget("[region.FLASH]\nmax_growth = 1024\n[category.ram]\nwarn_used = 1000\n")
        verdicts = check_build(current, budget, comparison, has_baseline=True)
        text = render_markdown(diff_payload(comparison), verdicts=verdicts,
                               overflows=region_overflows(_shrunk(current)))
        page = parse(text)
        assert "Budget failed" in text and "1 failed, 1 warning," in text
        assert "Overflow:" in text and "21,932 B too many" in text
        failing = next(t for t in page.tables if t[0][0] == "Verdict")
        assert failing[1] == ["❌ fail", "region FLASH", "growth", "+2,052 B (+0.20% of the region)", "max 1,024 B"]


def _shrunk(build):
    regions = [MemoryRegion(r.name, r.start_address, r.start_address + 1047, 1048, r.category)
               if r.name == "FLASH" else r for r in build.model.memory_regions]
    model = NormalizedBuildModel(build.model.sections, build.model.symbols, regions, build.model.stack_heap_hints)
    return BuildInput(model=model)


HOSTILE = [
    "a|b|c",
    "`tick`",
    "``double`` and `single`",
    "@octocat",
    "https://evil.example/x?y=1",
    "www.example.com",
    "<script>alert(1)</script>",
    "<img src=x onerror=alert(1)>",
    "**bold** _em_ [link](http://x)",
    "a\\|b",
    "&amp; &lt;",
    "#123 :smile:",
    " padded ",
    "`",
]


class TestHostileNames:
    def test_every_name_renders_as_code_and_nothing_else(self):
        baseline = symbol_build([("keep", 4)])
        current = symbol_build([("keep", 4)] + [(name, 2000 + i) for i, name in enumerate(HOSTILE)])
        payload = diff_payload(compare_builds(current, baseline))
        page = parse(render_markdown(payload))
        assert page.tags <= ALLOWED_TAGS, page.tags - ALLOWED_TAGS
        outside = "".join(page.outside)
        for name in HOSTILE:
            shown = name.replace("\\|", "\\ |")
            assert shown in page.codes, name
            for fragment in ("@octocat", "evil.example", "<script", "<img", "[link]", "&lt;"):
                if fragment in name:
                    assert fragment not in outside
        # Every symbol row kept its seven cells: no pipe split a row.
        symbols = next(t for t in page.tables if t[0][0] == "Kind" and len(t[0]) == 7 and "a|b|c" in str(t))
        assert all(len(row) == 7 for row in symbols)

    @pytest.mark.parametrize(
        ("name", "shown"),
        [("line\nbreak", "line\\x0abreak"), ("\u202eevil", "\\u202eevil"), ("lone\ud800", "lone\\ud800"), ("", None)],
    )
    def test_invisible_and_unencodable_characters_show_as_escapes(self, name, shown):
        span = code(name)
        span.encode("utf-8")
        page = parse(f"| x |\n|--|\n| {span} |\n")
        if shown is None:
            assert page.tables[0][1] == ["(empty)"]
        else:
            assert page.codes == [shown]

    def test_names_outside_tables_keep_their_pipes(self):
        assert parse(code("a|b", in_table=False)).codes == ["a|b"]


class TestSizeCap:
    def test_cap_holds_for_a_hundred_thousand_symbols(self):
        count = 100_000
        long = "x" * 120
        baseline = symbol_build([(f"{long}_{i}", 8) for i in range(count)])
        current = symbol_build([(f"{long}_{i}", 8 + i % 97 + 1) for i in range(count)] + [("fresh|`<b>`", 5000)])
        payload = diff_payload(compare_builds(current, baseline))
        text = render_markdown(payload)
        assert len(text) <= REPORT_LIMIT
        assert "rows were left out to keep this report under 65,000 characters" in text
        page = parse(text)
        # Cut rows are whole rows, and every <details> is closed again.
        assert text.count("<details>") == text.count("</details>")
        for table in page.tables:
            assert len({len(row) for row in table}) == 1
        assert "fresh|`<b>`" in page.codes

    def test_small_limit_is_respected_too(self):
        payload = diff_payload(compare_builds(*sample_pair()))
        assert len(render_markdown(payload, limit=2000)) <= 2000


class TestCsv:
    def test_one_row_per_compared_entity(self):
        current, baseline = sample_pair()
        comparison = compare_builds(current, baseline)
        rows = list(csv.reader(io.StringIO(render_csv(comparison))))
        assert tuple(rows[0]) == COLUMNS
        assert len(rows) - 1 == len(comparison.entries)
        by_key = {(row[0], row[1]): row for row in rows[1:]}
        assert by_key[("region", "FLASH")] == ["region", "FLASH", "20928", "22980", "2052", "9.81", "changed"]
        assert by_key[("symbol", "__l_vfprintf")][2:] == ["0", "1160", "1160", "", "added"]
        assert by_key[("symbol", "print_banner")][2:] == ["148", "0", "-148", "-100.0", "removed"]

    def test_awkward_names_round_trip(self):
        names = ['comma, "quoted"', "line\nbreak", "lone\ud800"]
        comparison = compare_builds(symbol_build([(n, 4) for n in names]), symbol_build([]))
        text = render_csv(comparison)
        text.encode("utf-8")
        read = {row[1] for row in csv.reader(io.StringIO(text)) if row[0] == "symbol"}
        assert read == {'comma, "quoted"', "line\nbreak", "lone\\ud800"}
