"""The layout page outside the browser: its island, its files and its commands."""

import json
import os
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from brenvale import layout_page
from brenvale.cli import main
from brenvale.layout_page import (ContractError, check_contract, render_layout_page, render_layout_page_json,
                                  safe_island_json)
from brenvale.samples import BASELINE_SAMPLE, sample_path

MAPS = os.path.join(os.path.dirname(__file__), "data", "maps")
ISLAND = re.compile(r'<script type="application/json" id="brenvale-layout-contract">(.*?)</script>', re.S)


def island_of(page):
    found = ISLAND.findall(page)
    assert len(found) == 1
    return found[0]


def run(argv, capsys):
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def minimal_contract(name="FLASH"):
    return {"schema_version": "viz-1.0.0", "regions": [{"name": name, "ranges": []}]}


class TestIsland:
    @given(st.recursive(st.none() | st.booleans() | st.integers() | st.text(alphabet=st.sampled_from("<>/!-sScript&'\"\\\u2028\ud800é")),
                        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
                        max_leaves=20))
    def test_round_trips_and_never_closes_the_element(self, value):
        text = safe_island_json(json.dumps(value, ensure_ascii=False))
        assert json.loads(text) == value
        assert "<" not in text and ">" not in text
        text.encode("utf-8")  # lone surrogates are escaped, so the page can be written

    def test_escapes_as_the_report_does(self):
        from brenvale import diffreport

        value = [{"label": "</script><!--&é\U0001f600", "delta": 1.5}]
        assert safe_island_json(json.dumps(value, ensure_ascii=False, separators=(", ", ": "))) == \
            diffreport._safe_script_json(value)

    def test_the_page_holds_the_contract_and_the_real_files(self):
        contract = minimal_contract("</script><script>alert(1)</script><!--")
        page = render_layout_page(contract)
        assert json.loads(island_of(page)) == contract
        assert page.count("</script>") == 2 and page.count("<script") == 2
        for name in ("layout.css", "layout.js"):
            body = (layout_page.VIEWER_DIR / name).read_text(encoding="utf-8")
            assert body in page
        assert "@BRENVALE" not in page

    def test_direct_json_text_embeds_the_same(self):
        contract = minimal_contract("a<b")
        assert render_layout_page_json(json.dumps(contract, ensure_ascii=False)) == render_layout_page(contract)
        indented = render_layout_page_json(json.dumps(contract, indent=2))
        assert json.loads(island_of(indented)) == contract

    @pytest.mark.parametrize("document, message", [
        ([], "not an object"),
        ({"regions": []}, "field 'schema_version': None"),
        ({"schema_version": "viz-2.0.0", "regions": []}, "'viz-2.0.0' is not 'viz-1.0.0'"),
        ({"schema_version": "viz-1.0.0", "regions": {}}, "field 'regions': not a list"),
        ({"schema_version": "viz-1.0.0", "regions": [{"ranges": None}]}, "regions[0]: field 'ranges'"),
    ])
    def test_documents_that_are_no_contract(self, document, message):
        with pytest.raises(ContractError) as caught:
            check_contract(document, "c.json")
        assert str(caught.value).startswith("c.json: ") and message in str(caught.value)


class TestCommands:
    def test_view_of_a_map_and_of_its_contract_give_the_same_page(self, tmp_path, capsys):
        source = os.path.join(MAPS, "nrf9161-tfm-secure.map")
        contract_path, page_a, page_b = tmp_path / "c.json", tmp_path / "a.html", tmp_path / "b.html"
        status, out, _ = run(["contract", source, "--sankey", "--indent", "2", "-o", str(contract_path),
                              "--html", str(page_a)], capsys)
        assert status == 0 and out == ""
        status, out, _ = run(["view", str(contract_path), "-o", str(page_b)], capsys)
        assert status == 0 and out == f"Layout page: {page_b}\n"
        assert page_a.read_text(encoding="utf-8") != page_b.read_text(encoding="utf-8")  # indented vs compact island
        island_a = json.loads(island_of(page_a.read_text(encoding="utf-8")))
        assert island_a == json.loads(island_of(page_b.read_text(encoding="utf-8")))
        assert island_a == json.loads(contract_path.read_text(encoding="utf-8"))
        assert "sankey" in island_a["relationships"]

    def test_view_of_a_model_with_a_baseline(self, tmp_path, capsys):
        page = tmp_path / "sub" / "layout.html"
        status, _, err = run(["view", str(sample_path()), "--baseline", str(sample_path(BASELINE_SAMPLE)),
                              "--graph", "-o", str(page)], capsys)
        assert status == 0 and err == ""
        contract = json.loads(island_of(page.read_text(encoding="utf-8")))
        assert contract["diff"]["status"] == "ok" and list(contract["relationships"]) == ["graph"]

    def test_contract_html_beside_standard_output(self, tmp_path, capsys):
        page = tmp_path / "p.html"
        status, out, _ = run(["contract", str(sample_path()), "--html", str(page)], capsys)
        assert status == 0
        assert json.loads(island_of(page.read_text(encoding="utf-8"))) == json.loads(out)

    def test_demo_writes_the_page_and_says_where(self, tmp_path, capsys):
        status, out, _ = run(["demo", "--out", str(tmp_path)], capsys)
        assert status == 0
        assert f"- layout: {tmp_path / 'layout.html'}" in out
        assert f"and {tmp_path / 'layout.html'} to see the memory layout." in out
        page = (tmp_path / "layout.html").read_text(encoding="utf-8")
        assert json.loads(island_of(page)) == json.loads((tmp_path / "contract.json").read_text(encoding="utf-8"))

    @pytest.mark.parametrize("extra, message", [
        (["--baseline", "x.map"], "--baseline"), (["--sankey", "--graph"], "--sankey, --graph"),
    ])
    def test_build_options_on_a_contract_are_refused(self, tmp_path, capsys, extra, message):
        contract = tmp_path / "c.json"
        contract.write_text(json.dumps(minimal_contract()), encoding="utf-8")
        status, out, err = run(["view", str(contract), "-o", str(tmp_path / "p.html")] + extra, capsys)
        assert status == 1 and out == "" and not (tmp_path / "p.html").exists()
        assert err.startswith(f"brenvale: error: {contract} is a visualization contract") and message in err
        assert err.count("\n") == 1

    def test_failures_write_nothing(self, tmp_path, capsys):
        bad = tmp_path / "bad.json"
        bad.write_text(json.dumps({"schema_version": "viz-9", "regions": []}), encoding="utf-8")
        status, _, err = run(["view", str(bad), "-o", str(tmp_path / "p.html")], capsys)
        assert status == 1 and "field 'schema_version'" in err
        bad.write_text(json.dumps({"schema_version": "viz-1.0.0"}), encoding="utf-8")
        status, _, err = run(["view", str(bad), "-o", str(tmp_path / "p.html")], capsys)
        assert status == 1 and err == f"brenvale: error: {bad}: field 'regions': not a list\n"
        broken = tmp_path / "broken.json"
        broken.write_text('{"memory_regions": [', encoding="utf-8")
        status, _, err = run(["view", str(broken), "-o", str(tmp_path / "p.html")], capsys)
        assert status == 1 and "invalid JSON" in err and err.count("\n") == 1
        status, _, err = run(["contract", str(sample_path()), "-o", str(tmp_path / "c.json"),
                              "--html", str(bad / "p.html")], capsys)
        assert status == 1 and err.count("\n") == 1
        assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "broken.json"]


def test_viewer_files_ship_inside_the_package():
    # The wheel takes the whole package directory (wheel.packages); the page's
    # files must live there, not beside the sources.
    import tomllib

    with open(os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml"), "rb") as stream:
        project = tomllib.load(stream)
    packages = project["tool"]["scikit-build"]["wheel"]["packages"]
    package_dir = os.path.dirname(layout_page.__file__)
    for name in ("layout.html", "layout.css", "layout.js"):
        path = layout_page.VIEWER_DIR / name
        assert path.is_file()
        assert os.path.commonpath([package_dir, str(path)]) == package_dir
    assert any(p.rstrip("/").endswith("brenvale") for p in packages)
