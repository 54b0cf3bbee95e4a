"""The command line: exit statuses, one-line errors, contract output and atomic writes."""

import json
import os
import subprocess
import sys

import pytest
from test_host_schema import assert_valid_contract

from brenvale import output, plotspec
from brenvale.analysis import region_usage
from brenvale.cli import main
from brenvale.model_io import build_to_json, load_build
from brenvale.output import write_text_atomic, write_texts_atomic
from brenvale.samples import sample_path


def run(argv, capsys):
    status = main(argv)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def overflowing_model(tmp_path):
    document = build_to_json(load_build(sample_path()))
    ram = next(r for r in document["memory_regions"] if r["name"] == "RAM")
    ram["size"] = 1000
    path = tmp_path / "overflow.model.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    return path


class TestUsageErrors:
    @pytest.mark.parametrize(
        "argv",
        [[], ["frobnicate"], ["contract"], ["contract", "a.json", "--indent", "-1"], ["contract", "a.json", "--bogus"]],
    )
    def test_exit_status_2(self, argv, capsys):
        with pytest.raises(SystemExit) as caught:
            main(argv)
        assert caught.value.code == 2
        assert "usage:" in capsys.readouterr().err


class TestBadInput:
    def test_missing_model_file(self, tmp_path, capsys):
        status, out, err = run(["contract", str(tmp_path / "nope.json")], capsys)
        assert status == 1 and out == ""
        assert err == f"brenvale: error: cannot read {tmp_path / 'nope.json'}: No such file or directory\n"

    def test_malformed_model_names_the_field(self, tmp_path, capsys):
        document = build_to_json(load_build(sample_path()))
        document["sections"][2]["vma"] = "0x10"
        path = tmp_path / "bad.json"
        path.write_text(json.dumps(document), encoding="utf-8")
        status, out, err = run(["contract", str(path), "-o", str(tmp_path / "c.json")], capsys)
        assert status == 1 and out == ""
        assert err.count("\n") == 1
        assert str(path) in err and "sections[2]" in err and "'vma'" in err
        assert not (tmp_path / "c.json").exists()

    def test_invalid_json_gives_line_and_column(self, tmp_path, capsys):
        path = tmp_path / "bad.json"
        path.write_text('{\n  "sections": [}\n', encoding="utf-8")
        status, _, err = run(["contract", str(path)], capsys)
        assert status == 1 and "line 2, column 16" in err and err.count("\n") == 1

    def test_unwritable_output(self, tmp_path, capsys):
        blocker = tmp_path / "file"
        blocker.write_text("x")
        status, out, err = run(["contract", str(sample_path()), "-o", str(blocker / "c.json")], capsys)
        assert status == 1 and out == ""
        assert err.startswith(f"brenvale: error: cannot write {blocker / 'c.json'}: ") and err.count("\n") == 1


class TestContractCommand:
    def test_contract_reflects_the_host_analyses(self, tmp_path, capsys):
        target = tmp_path / "out" / "contract.json"
        status, out, err = run(["contract", str(sample_path()), "-o", str(target)], capsys)
        assert (status, out, err) == (0, "", "")
        contract = json.loads(target.read_text(encoding="utf-8"))
        assert_valid_contract(contract)
        assert contract["schema_version"] == plotspec.VISUALIZATION_SCHEMA_VERSION
        assert contract["features"] == {"sankey_enabled": False, "relationship_graph_enabled": False}
        build = load_build(sample_path())
        usage = region_usage(build.model)
        assert {r["name"]: r["used_bytes"] for r in contract["regions"]} == {
            name: u.used_bytes for name, u in usage.items()
        }
        assert set(contract["policy_issue_index"]) == {issue.id for issue in build.issues}

    def test_bytes_in_no_region_are_warned_of_on_every_command(self, tmp_path, capsys):
        # A real link whose .data is stored at an address in no memory region: the
        # figures leave those bytes out, so every command says so on stderr.
        stray = os.path.join(os.path.dirname(__file__), "data", "linkers", "regions-gnu-ld-cortex-m4-stray-load.map")
        for argv in (["contract", stray, "-o", str(tmp_path / "c.json")], ["check", stray]):
            status, _, err = run(argv, capsys)
            assert status == 0
            assert err == (f"brenvale: warning: {stray}: section .data is stored at load address 0x08090000, "
                           "which lies in no memory region; its 68 bytes are counted in no region.\n")

    def test_flags_and_stdout(self, capsys):
        status, out, _ = run(["contract", str(sample_path()), "--sankey", "--graph", "--indent", "2"], capsys)
        assert status == 0
        assert out.startswith("{\n  ")
        contract = json.loads(out)
        assert_valid_contract(contract)
        assert contract["features"] == {"sankey_enabled": True, "relationship_graph_enabled": True}

    def test_detected_overflow_joins_the_issue_index(self, tmp_path, capsys):
        status, out, _ = run(["contract", str(overflowing_model(tmp_path))], capsys)
        assert status == 0
        contract = json.loads(out)
        assert_valid_contract(contract)
        entry = contract["policy_issue_index"]["overflow:RAM"]
        assert (entry["category"], entry["severity"], entry["is_policy_violation"]) == ("overflow", "error", True)

    def test_module_entry_point(self, tmp_path):
        target = tmp_path / "c.json"
        ok = subprocess.run(
            [sys.executable, "-m", "brenvale", "contract", str(sample_path()), "-o", str(target)],
            capture_output=True, text=True, check=False,
        )
        assert (ok.returncode, ok.stdout, ok.stderr) == (0, "", "")
        assert json.loads(target.read_text())["address_units"] == "bytes"
        bad = subprocess.run(
            [sys.executable, "-m", "brenvale", "contract", str(tmp_path / "missing.json")],
            capture_output=True, text=True, check=False,
        )
        assert bad.returncode == 1 and bad.stderr.count("\n") == 1 and "Traceback" not in bad.stderr


class TestAtomicWrite:
    def test_replaces_content_and_leaves_nothing_behind(self, tmp_path):
        target = tmp_path / "out.json"
        target.write_text("old")
        write_text_atomic(target, "new \u00e9\n")
        assert target.read_bytes() == "new \u00e9\n".encode()
        assert os.listdir(tmp_path) == ["out.json"]

    def test_several_files_all_or_none(self, tmp_path, monkeypatch):
        first, second = tmp_path / "a.json", tmp_path / "sub" / "b.json"
        first.write_text("old")
        write_texts_atomic([(first, "A"), (second, "B")])
        assert (first.read_text(), second.read_text()) == ("A", "B")

        real_open = output.os.open

        def fail_second(path, *args):
            if "b.json" in os.path.basename(path):
                raise OSError(13, "Permission denied")
            return real_open(path, *args)

        monkeypatch.setattr(output.os, "open", fail_second)
        with pytest.raises(OSError) as caught:
            write_texts_atomic([(first, "A2"), (second, "B2")])
        # The error names the target, not the temporary file; nothing was replaced.
        assert caught.value.filename == str(second) and caught.value.strerror == "Permission denied"
        assert (first.read_text(), second.read_text()) == ("A", "B")
        assert sorted(os.listdir(tmp_path)) == ["a.json", "sub"] and os.listdir(tmp_path / "sub") == ["b.json"]

    def test_respects_umask(self, tmp_path):
        previous = os.umask(0o027)
        try:
            write_text_atomic(tmp_path / "f", "x")
        finally:
            os.umask(previous)
        assert (tmp_path / "f").stat().st_mode & 0o777 == 0o640

    @pytest.mark.parametrize("failing", ["fsync", "replace"])
    def test_failure_keeps_old_file_and_removes_temporary(self, tmp_path, monkeypatch, failing):
        target = tmp_path / "out.json"
        target.write_text("old")

        def broken(*args, **kwargs):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(output.os, failing, broken)
        with pytest.raises(OSError, match="No space left"):
            write_text_atomic(target, "new")
        assert target.read_text() == "old"
        assert os.listdir(tmp_path) == ["out.json"]

    def test_interrupted_contract_write_keeps_previous_output(self, tmp_path, monkeypatch, capsys):
        target = tmp_path / "c.json"
        target.write_text("previous")
        monkeypatch.setattr(output.os, "fsync", lambda fd: (_ for _ in ()).throw(OSError(5, "I/O error")))
        status, _, err = run(["contract", str(sample_path()), "-o", str(target)], capsys)
        assert status == 1 and "I/O error" in err
        assert target.read_text() == "previous"
        assert os.listdir(tmp_path) == ["c.json"]
