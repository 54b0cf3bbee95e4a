"""The diff, demo and contract --baseline commands end to end, and their bad inputs."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from test_host_schema import assert_valid_contract

import brenvale
from brenvale import output
from brenvale.cli import main
from brenvale.compare import compare_builds, diff_payload
from brenvale.model_io import build_to_json, load_build
from brenvale.samples import BASELINE_SAMPLE, sample_path

MAPS = Path(__file__).parent / "data" / "maps"
CURRENT = str(sample_path())
BASELINE = str(sample_path(BASELINE_SAMPLE))


def run(argv, capsys):
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def sample_document(name=None):
    return build_to_json(load_build(sample_path(name) if name else sample_path()))


def write_json(path, document):
    path.write_text(json.dumps(document), encoding="utf-8")
    return str(path)


def listing(directory):
    return sorted(p.name for p in Path(directory).iterdir())


class TestDiffCommand:
    def test_summary_and_written_files(self, tmp_path, capsys):
        html, data = tmp_path / "r" / "diff.html", tmp_path / "r" / "diff.json"
        status, out, err = run(["diff", BASELINE, CURRENT, "--html", str(html), "--json", str(data)], capsys)
        assert (status, err) == (0, "")
        lines = out.splitlines()
        assert lines[:3] == ["Brenvale Diff Summary", "Status: ok", "Current schema: brenvale-model-1"]
        assert "Flash delta: 2052 B" in lines and "RAM delta: -1024 B" in lines
        assert "- symbol:__l_vfprintf delta=1160" in lines
        assert lines[-3:] == ["Diff Outputs:", f"- html: {html}", f"- json: {data}"]
        payload = json.loads(data.read_text(encoding="utf-8"))
        expected = diff_payload(
            compare_builds(load_build(CURRENT), load_build(BASELINE), current_path=CURRENT, baseline_path=BASELINE)
        )
        assert payload == json.loads(json.dumps(expected))
        page = html.read_text(encoding="utf-8")
        assert page.startswith("<!doctype html>") and page.rstrip().endswith("</html>")
        assert "nrf52840-zephyr-spectrum-analyzer.baseline.model.json" in page

    def test_summary_alone_writes_nothing(self, tmp_path, capsys, monkeypatch):
        monkeypatch.chdir(tmp_path)
        status, out, _ = run(["diff", BASELINE, CURRENT], capsys)
        assert status == 0 and "Diff Outputs:" not in out and out.endswith("\n")
        assert listing(tmp_path) == []

    def test_same_build_has_no_changes(self, capsys):
        status, out, _ = run(["diff", CURRENT, CURRENT], capsys)
        assert status == 0
        assert "Flash delta: 0 B" in out and "Top Regressions:" not in out and "Top Reductions:" not in out

    def test_map_files_are_read_by_content(self, tmp_path, capsys):
        source = MAPS / "nrf52840-zephyr-spectrum-analyzer.map"
        renamed = tmp_path / "firmware.txt"
        shutil.copy(source, renamed)
        status, out, err = run(["diff", str(source), str(renamed), "--json", str(tmp_path / "d.json")], capsys)
        assert (status, err) == (0, "")
        payload = json.loads((tmp_path / "d.json").read_text())
        assert payload["flash_delta_bytes"] == 0 and payload["current_build"]["target_name"] == "firmware.txt"
        assert payload["baseline_build"]["target_name"] == "nrf52840-zephyr-spectrum-analyzer"

    def test_map_against_its_model(self, capsys):
        # The bundled model was read from this map, so both describe the same regions.
        status, out, _ = run(["diff", str(MAPS / "nrf52840-zephyr-spectrum-analyzer.map"), CURRENT], capsys)
        assert status == 0 and "Status: ok" in out


class TestContractWithBaseline:
    def test_diff_view_and_section_deltas(self, tmp_path, capsys):
        target = tmp_path / "c.json"
        status, out, err = run(["contract", CURRENT, "--baseline", BASELINE, "--sankey", "-o", str(target)], capsys)
        assert (status, out, err) == (0, "", "")
        contract = json.loads(target.read_text(encoding="utf-8"))
        assert_valid_contract(contract)
        diff = contract["diff"]
        assert (diff["status"], diff["flash_delta_bytes"], diff["ram_delta_bytes"]) == ("ok", 2052, -1024)
        assert [row["name"] for row in diff["top_growth"]] == ["FLASH"]
        assert [row["name"] for row in diff["top_shrink"]] == ["RAM"]
        ranges = {r["section_name"]: r for region in contract["regions"] for r in region["ranges"] if not r["is_synthetic"]}
        assert ranges["text"]["baseline_delta_bytes"] == 1728
        assert ranges["noinit"]["panel"]["baseline"] == {"delta_bytes": -1024, "status": "available"}
        assert contract["relationships"].keys() == {"sankey"}

    def test_without_baseline_the_diff_is_not_requested(self, capsys):
        status, out, _ = run(["contract", CURRENT], capsys)
        assert status == 0 and json.loads(out)["diff"]["status"] == "not_requested"

    def test_armlink_map_model(self, capsys):
        status, out, err = run(["contract", str(MAPS / "stm32f103-armlink-openbrightweb.map"), "--sankey"], capsys)
        assert (status, err) == (0, "")
        contract = json.loads(out)
        assert_valid_contract(contract)
        assert any(region["ranges"] for region in contract["regions"])

    def test_map_file_model(self, capsys):
        status, out, _ = run(["contract", str(MAPS / "avr-atmega32u4-ergodox.map"), "--graph"], capsys)
        assert status == 0
        contract = json.loads(out)
        assert_valid_contract(contract)
        assert contract["regions"] and "graph" in contract["relationships"]


class TestDemoCommand:
    def test_writes_contract_report_and_payload(self, tmp_path, capsys):
        out_dir = tmp_path / "demo"
        status, out, err = run(["demo", "--out", str(out_dir)], capsys)
        assert (status, err) == (0, "")
        assert listing(out_dir) == ["contract.json", "diff.html", "diff.json", "layout.html"]
        assert f"Baseline build: {BASELINE}" in out and f"Current build:  {CURRENT}" in out
        assert "Status: ok" in out and "Top Regressions:" in out
        for name in ("contract", "html", "json", "layout"):
            file_name = {"contract": "contract.json", "html": "diff.html", "json": "diff.json",
                         "layout": "layout.html"}[name]
            assert f"- {name}: {out_dir / file_name}" in out
        contract = json.loads((out_dir / "contract.json").read_text(encoding="utf-8"))
        assert_valid_contract(contract)
        assert contract["features"] == {"sankey_enabled": True, "relationship_graph_enabled": True}
        assert contract["diff"]["status"] == "ok"
        page = (out_dir / "diff.html").read_text(encoding="utf-8")
        assert 'id="diff-impact-chart"' in page and "Per-region delta vs baseline" in page

    def test_default_directory_is_out(self, tmp_path, capsys, monkeypatch):
        monkeypatch.chdir(tmp_path)
        status, _, _ = run(["demo"], capsys)
        assert status == 0 and listing(tmp_path / "out") == ["contract.json", "diff.html", "diff.json", "layout.html"]

    def test_console_script(self, tmp_path):
        # The installed 'brenvale' script, or the module entry point it wraps.
        script = shutil.which("brenvale", path=os.path.dirname(sys.executable))
        command = [script] if script else [sys.executable, "-m", "brenvale"]
        done = subprocess.run([*command, "demo", "--out", str(tmp_path)], capture_output=True, text=True, check=False)
        assert (done.returncode, done.stderr) == (0, "")
        assert "Diff Outputs:" in done.stdout and listing(tmp_path) == ["contract.json", "diff.html", "diff.json", "layout.html"]

    def test_unwritable_directory_leaves_nothing_behind(self, tmp_path, capsys):
        blocker = tmp_path / "file"
        blocker.write_text("x")
        status, out, err = run(["demo", "--out", str(blocker / "demo")], capsys)
        assert status == 1 and out == "" and err.count("\n") == 1
        assert err.startswith(f"brenvale: error: cannot write {blocker / 'demo'}")
        assert listing(tmp_path) == ["file"]

    def test_failed_rename_leaves_no_temporary_files(self, tmp_path, capsys, monkeypatch):
        out_dir = tmp_path / "demo"
        out_dir.mkdir()
        (out_dir / "diff.html").write_text("previous")
        renamed = []
        real_replace = os.replace

        def replace_once(source, target):
            renamed.append(os.path.basename(target))
            if len(renamed) > 1:
                raise OSError(28, "No space left on device")
            real_replace(source, target)

        monkeypatch.setattr(output.os, "replace", replace_once)
        status, out, err = run(["demo", "--out", str(out_dir)], capsys)
        assert (status, out) == (1, "") and err.count("\n") == 1
        assert f"cannot write {out_dir / 'diff.html'}: No space left on device" in err
        # All files were complete before the first rename; the failed one keeps its old content.
        assert renamed == ["contract.json", "diff.html"]
        assert listing(out_dir) == ["contract.json", "diff.html"]
        assert (out_dir / "diff.html").read_text() == "previous"


def bad_inputs(tmp_path):
    """name -> (path, part of the expected message) of inputs that must be refused, and a good one."""
    tmp_path.mkdir(exist_ok=True)
    good = sample_document()
    invalid = tmp_path / "invalid.json"
    invalid.write_text('{\n  "sections": [1,,]\n}', encoding="utf-8")
    lacking = sample_document()
    del lacking["symbols"][5]["size"]
    wrong_type = sample_document()
    wrong_type["memory_regions"][1]["start_address"] = "0x20000000"
    moved = sample_document()
    moved["memory_regions"][1]["name"] = "SRAM"
    for item in moved["sections"]:
        if item["execution_region"] == "RAM":
            item["execution_region"] = "SRAM"
    bad_map = tmp_path / "broken.map"
    bad_map.write_text("Memory Configuration\n\nName Origin Length Attributes\n", encoding="utf-8")
    return {
        "missing": (str(tmp_path / "nope.json"), "cannot read"),
        "directory": (str(tmp_path), "cannot read"),
        "invalid JSON": (str(invalid), "line 2, column 18"),
        "missing field": (write_json(tmp_path / "lacking.json", lacking), "symbols[5]"),
        "wrong type": (write_json(tmp_path / "wrong.json", wrong_type), "'start_address'"),
        "other regions": (write_json(tmp_path / "moved.json", moved), "declare different memory regions"),
        "truncated map": (str(bad_map), "broken.map"),
        "good": (write_json(tmp_path / "good.json", good), None),
    }


BAD = ["missing", "directory", "invalid JSON", "missing field", "wrong type", "truncated map"]


class TestBadInput:
    @pytest.mark.parametrize("bad", BAD)
    @pytest.mark.parametrize("side", ["baseline", "current"])
    def test_diff_refuses_and_writes_nothing(self, tmp_path, capsys, bad, side):
        inputs = bad_inputs(tmp_path / "in")
        path, message = inputs[bad]
        good, _ = inputs["good"]
        out_dir = tmp_path / "out"
        argv = ["diff", path, good] if side == "baseline" else ["diff", good, path]
        status, out, err = run([*argv, "--html", str(out_dir / "d.html"), "--json", str(out_dir / "d.json")], capsys)
        assert (status, out) == (1, "")
        assert err.startswith("brenvale: error: ") and err.count("\n") == 1 and message in err
        if bad not in ("other regions", "directory"):
            assert path in err
        assert not out_dir.exists()

    @pytest.mark.parametrize("bad", BAD)
    def test_contract_baseline_refuses_and_writes_nothing(self, tmp_path, capsys, bad):
        inputs = bad_inputs(tmp_path / "in")
        path, message = inputs[bad]
        target = tmp_path / "c.json"
        status, out, err = run(["contract", inputs["good"][0], "--baseline", path, "-o", str(target)], capsys)
        assert (status, out) == (1, "") and err.count("\n") == 1 and message in err
        assert not target.exists()

    def test_builds_whose_regions_differ_are_compared(self, tmp_path, capsys):
        inputs = bad_inputs(tmp_path / "in")
        html = tmp_path / "out" / "d.html"
        status, out, err = run(["diff", inputs["other regions"][0], inputs["good"][0], "--html", str(html)], capsys)
        assert (status, err) == (0, "")
        lines = out.splitlines()
        assert "Regions added in the current build: RAM" in lines
        assert "Regions removed since the baseline: SRAM" in lines
        assert "region:RAM" in out  # the new region's bytes rank as growth
        page = html.read_text(encoding="utf-8")
        assert ">RAM (added)</span>" in page and ">SRAM (removed)</span>" in page

    @pytest.mark.parametrize("module", ["diffreport", "plotspec"])
    def test_missing_compiled_module(self, tmp_path, capsys, monkeypatch, module):
        monkeypatch.delattr(brenvale, module, raising=False)
        monkeypatch.setitem(sys.modules, f"brenvale.{module}", None)
        status, out, err = run(["demo", "--out", str(tmp_path / "demo")], capsys)
        assert (status, out) == (1, "") and err.count("\n") == 1
        assert "compiled modules are not available" in err and "pip install ." in err
        assert not (tmp_path / "demo").exists()

    @pytest.mark.parametrize(
        "argv",
        [["diff"], ["diff", "a.json"], ["diff", "a", "b", "c"], ["diff", "a", "b", "--html"], ["demo", "x"],
         ["demo", "--out"], ["contract", "a.json", "--baseline"]],
    )
    def test_usage_errors_exit_2(self, argv, capsys):
        with pytest.raises(SystemExit) as caught:
            main(argv)
        assert caught.value.code == 2 and "usage:" in capsys.readouterr().err

    @pytest.mark.parametrize("command", ["contract", "diff", "demo"])
    def test_every_command_has_help(self, command, capsys):
        with pytest.raises(SystemExit) as caught:
            main([command, "--help"])
        assert caught.value.code == 0
        assert capsys.readouterr().out.startswith(f"usage: brenvale {command}")
