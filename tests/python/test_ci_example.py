"""The README's CI example, run as written on the bundled sample pair, and the command-line polish."""

import io
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import brenvale
from brenvale import __version__
from brenvale.cli import main
from brenvale.samples import BASELINE_SAMPLE, sample_path

README = (Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
MAPS = Path(__file__).parent / "data" / "maps"
CURRENT = str(sample_path())
BASELINE = str(sample_path(BASELINE_SAMPLE))


def readme_block(after, fence):
    """The first fenced block of kind *fence* after the heading or text *after*."""
    start = README.index(after)
    match = re.compile(rf"^```{fence}\n(.*?)^```$", re.S | re.M).search(README, start)
    return match.group(1)


def steps(workflow):
    """(name, command) of each step with a one-line run command."""
    return re.findall(r"- name: (.+)\n(?:\s+(?:if|env|GH_TOKEN):.*\n)*\s+run: (.+)", workflow)


def shell(command, cwd):
    # The console script may not be installed where the tests run from the source
    # tree; the same interpreter and the same package as these tests run it.
    prefix = f"brenvale() {{ {shlex.quote(sys.executable)} -m brenvale \"$@\"; }}\n"
    package_root = str(Path(brenvale.__file__).resolve().parents[1])
    path = os.pathsep.join(p for p in (package_root, os.environ.get("PYTHONPATH", "")) if p)
    return subprocess.run(
        ["bash", "-c", prefix + command], cwd=cwd, capture_output=True, text=True,
        env={**os.environ, "PYTHONPATH": path, "GITHUB_STEP_SUMMARY": str(cwd / "summary.md")},
    )


@pytest.fixture
def workspace(tmp_path):
    # What the build step leaves behind: the two builds (read by content, whatever
    # their names) and the budget file the README shows.
    shutil.copy(CURRENT, tmp_path / "pr.map")
    shutil.copy(BASELINE, tmp_path / "base.map")
    (tmp_path / "budgets.toml").write_text(readme_block("### check", "toml"), encoding="utf-8")
    return tmp_path


class TestReadmeCiExample:
    def test_workflow_steps_up_to_posting(self, workspace):
        workflow = readme_block("## CI", "yaml")
        ran = []
        for name, command in steps(workflow):
            if name.startswith("Comment"):
                break
            if not command.startswith("brenvale ") and "GITHUB_STEP_SUMMARY" not in command:
                continue  # installing and building are the project's own business
            result = shell(command, workspace)
            assert result.returncode == 0, (name, result.stderr)
            ran.append(name)
        assert ran == ["Size check", "Step summary"]
        report = (workspace / "size-report.md").read_text(encoding="utf-8")
        assert (workspace / "summary.md").read_text(encoding="utf-8") == report
        assert "| `FLASH` | 20,928 B | 22,980 B | 🔺 +2,052 B (+9.81%) |" in report
        assert "Budget passed" in report and "1 warning" in report
        header = (workspace / "size-report.csv").read_text(encoding="utf-8").splitlines()[0]
        assert header == "kind,name,baseline,current,delta,delta_pct,status"

    def test_diff_to_step_summary(self, workspace):
        command = re.search(r"`(brenvale diff base\.map pr\.map --markdown -\s*>> \"\$GITHUB_STEP_SUMMARY\")`",
                            README).group(1)
        result = shell(command.replace("\n", " "), workspace)
        assert result.returncode == 0 and result.stdout == ""
        assert result.stderr.startswith("Brenvale Diff Summary")
        assert (workspace / "summary.md").read_text(encoding="utf-8").startswith("## Brenvale size report")

    def test_check_output_shown_in_readme(self, workspace, capsys):
        block = readme_block("A malformed budget file is\nreported", "")
        command, *expected = block.rstrip("\n").split("\n")
        argv = shlex.split(command.removeprefix("$ brenvale "))
        argv = [str(workspace / "pr.map") if a == "pr.model.json" else
                str(workspace / "base.map") if a == "base.model.json" else
                str(workspace / a) if a == "budgets.toml" else a for a in argv]
        assert main(argv) == 0
        assert capsys.readouterr().out.splitlines() == expected


def run(argv, capsys, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", type("In", (), {"buffer": io.BytesIO(stdin)})())
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


class TestPolish:
    def test_version(self, capsys):
        with pytest.raises(SystemExit) as caught:
            main(["--version"])
        assert caught.value.code == 0 and capsys.readouterr().out == f"brenvale {__version__}\n"

    def test_standard_input_model_and_map(self, capsys, monkeypatch):
        data = Path(CURRENT).read_bytes()
        status, out, _ = run(["diff", BASELINE, "-"], capsys, data, monkeypatch)
        assert status == 0 and "Flash delta: 2052 B" in out
        map_data = (MAPS / "nrf52840-zephyr-spectrum-analyzer.map").read_bytes()
        status, out, _ = run(["diff", "-", CURRENT], capsys, map_data, monkeypatch)
        assert status == 0 and "Baseline schema: gnu-ld-map" in out

    def test_standard_input_errors_name_stdin(self, capsys, monkeypatch):
        status, out, err = run(["contract", "-"], capsys, b'{"memory_regions": [}', monkeypatch)
        assert (status, out) == (1, "") and err.startswith("brenvale: error: <stdin>: line 1") and "tmp" not in err
        status, _, err = run(["contract", "-"], capsys, b"", monkeypatch)
        assert status == 1 and err == "brenvale: error: <stdin>: standard input is empty\n"

    def test_two_inputs_from_standard_input_is_a_usage_error(self, capsys):
        with pytest.raises(SystemExit) as caught:
            main(["diff", "-", "-"])
        assert caught.value.code == 2

    def test_empty_file_says_so(self, tmp_path, capsys):
        empty = tmp_path / "empty.map"
        empty.write_bytes(b"")
        status, _, err = run(["diff", str(empty), CURRENT], capsys)
        assert (status, err) == (1, f"brenvale: error: {empty}: the file is empty\n")

    @pytest.mark.parametrize(("indent", "ok"), [("0", True), ("16", True), ("17", False), ("100000", False)])
    def test_indent_bounds(self, indent, ok, capsys):
        if ok:
            assert main(["contract", CURRENT, "--indent", indent]) == 0
            assert json.loads(capsys.readouterr().out)["schema_version"]
        else:
            with pytest.raises(SystemExit) as caught:
                main(["contract", CURRENT, "--indent", indent])
            assert caught.value.code == 2 and "0 to 16" in capsys.readouterr().err

    @pytest.mark.parametrize("command", [[], ["contract"], ["diff"], ["check"]])
    def test_help_names_every_input_format(self, command, capsys):
        with pytest.raises(SystemExit):
            main([*command, "--help"])
        text = " ".join(capsys.readouterr().out.split())
        for words in ("JSON build model", "GNU ld map", "armlink map"):
            assert words in text, (command, words)

    def test_schema_lines_name_map_formats(self, capsys):
        armlink = str(MAPS / "stm32f103-armlink-openbrightweb.map")
        status, out, _ = run(["diff", armlink, armlink], capsys)
        assert status == 0
        assert "Current schema: armlink-map\nBaseline schema: armlink-map" in out


class TestDiffReportsAndOverflow:
    def test_overflow_is_listed_and_fails(self, tmp_path, capsys):
        document = json.loads(Path(CURRENT).read_text(encoding="utf-8"))
        flash = next(r for r in document["memory_regions"] if r["name"] == "FLASH")
        flash["size"], flash["end_address"] = 20000, flash["start_address"] + 19999
        path = tmp_path / "over.json"
        path.write_text(json.dumps(document), encoding="utf-8")
        md = tmp_path / "r.md"
        status, out, err = run(["diff", BASELINE, str(path), "--markdown", str(md)], capsys)
        assert (status, err) == (3, "")
        assert out.splitlines()[-2:] == ["Overflowing Regions:", "- FLASH: 22980 B used of 20000 B, 2980 B over"]
        assert "Status: ok" in out and f"- markdown: {md}" in out
        assert "region `FLASH` needs 22,980 B of 20,000 B: **2,980 B too many**" in md.read_text(encoding="utf-8")

    def test_markdown_on_standard_output_alone(self, capsys):
        status, out, err = run(["diff", BASELINE, CURRENT, "--markdown", "-"], capsys)
        assert status == 0 and out.startswith("## Brenvale size report") and "Brenvale Diff Summary" in err

    def test_failed_budget_still_writes_reports(self, tmp_path, capsys):
        budget = tmp_path / "b.toml"
        budget.write_text("[region.FLASH]\nmax_growth = 100\n", encoding="utf-8")
        csv_path = tmp_path / "out" / "d.csv"
        status, out, _ = run(["diff", BASELINE, CURRENT, "--budget", str(budget), "--csv", str(csv_path)], capsys)
        assert status == 3 and "Budget FAILED: 1 failed" in out
        assert csv_path.read_text(encoding="utf-8").startswith("kind,name,baseline,current,delta,delta_pct,status\n")
