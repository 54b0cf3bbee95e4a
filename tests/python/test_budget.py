"""Size budgets: reading budget files, judging builds, and the check command's exit statuses."""

import json

import pytest

from brenvale.budget import (
    EXIT_BUDGET_FAILED,
    BudgetError,
    check_build,
    exit_status,
    parse_budget,
)
from brenvale.cli import main
from brenvale.compare import compare_builds
from brenvale.model_io import build_to_json
from brenvale.records import (
    BuildInput,
    ComponentGroup,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
)


def build(text=600, data=40, libc=300, flash_size=1000, ram_size=100):
    regions = [
        MemoryRegion("FLASH", 0, flash_size - 1, flash_size, RegionCategory.FLASH),
        MemoryRegion("RAM", 0x2000_0000, 0x2000_0000 + ram_size - 1, ram_size, RegionCategory.RAM),
    ]
    sections = [
        SectionPlacement(".text", "FLASH", "FLASH", 0, 0, text, 0, 0),
        SectionPlacement(".bss", "RAM", "RAM", 0x2000_0000, 0x2000_0000, data, 0, 0),
    ]
    components = [ComponentGroup("libc", ["printf.o"], libc, 0, [])]
    return BuildInput(model=NormalizedBuildModel(sections, [], regions), components=components)


def judge(budget_text, current, baseline=None):
    comparison = compare_builds(current, baseline or current)
    return check_build(current, parse_budget(budget_text, "b.toml"), comparison, has_baseline=baseline is not None)


def verdict_of(verdicts, name, measure):
    [found] = [v for v in verdicts if v.name == name and v.measure == measure]
    return found.status


class TestUsedLimits:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [(800, "pass"), (801, "warn"), (900, "warn"), (901, "fail")],
    )
    def test_percent_of_the_region_and_its_boundaries(self, text, expected):
        # 80% and 90% of a 1000-byte region: the limit itself is still allowed.
        verdicts = judge('[region.FLASH]\nmax_used = "90%"\nwarn_used = "80%"\n', build(text=text))
        assert verdict_of(verdicts, "FLASH", "used") == expected

    def test_bytes_category_section_and_component(self):
        verdicts = judge(
            '[category.ram]\nmax_used = 39\n'
            '[section.".text"]\nmax_used = "60%"\n'
            "[component.libc]\nwarn_used = 299\nmax_used = 400\n",
            build(),
        )
        # The category rule reaches RAM by its category; a section's percentage is of its region.
        assert verdict_of(verdicts, "RAM", "used") == "fail"
        assert [v.via for v in verdicts if v.name == "RAM" and v.measure == "used"] == ["category ram"]
        assert verdict_of(verdicts, ".text", "used") == "pass"
        assert verdict_of(verdicts, "libc", "used") == "warn"
        assert exit_status(verdicts) == EXIT_BUDGET_FAILED

    def test_unknown_names_warn_instead_of_passing_silently(self):
        verdicts = judge("[region.FLSH]\nmax_used = 1\n[section.missing]\nmax_used = 1\n", build())
        assert verdict_of(verdicts, "FLSH", "used") == "warn"
        assert verdict_of(verdicts, "missing", "used") == "warn"
        assert exit_status(verdicts) == 0 and exit_status(verdicts, strict=True) == EXIT_BUDGET_FAILED


class TestGrowth:
    def test_bytes_against_the_baseline(self):
        budget = "[region.FLASH]\nmax_growth = 100\nwarn_growth = 50\n"
        assert verdict_of(judge(budget, build(text=650), build(text=600)), "FLASH", "growth") == "pass"
        assert verdict_of(judge(budget, build(text=651), build(text=600)), "FLASH", "growth") == "warn"
        assert verdict_of(judge(budget, build(text=701), build(text=600)), "FLASH", "growth") == "fail"
        # Shrinking never trips a growth limit.
        assert verdict_of(judge(budget, build(text=100), build(text=600)), "FLASH", "growth") == "pass"

    def test_percent_of_region_and_of_component_baseline(self):
        budget = '[region.FLASH]\nmax_growth = "2%"\n[component.libc]\nmax_growth = "5%"\n'
        # 2% of a 1000-byte region is 20 bytes; 5% of libc's 300 baseline bytes is 15.
        verdicts = judge(budget, build(text=620, libc=316), build(text=600, libc=300))
        assert verdict_of(verdicts, "FLASH", "growth") == "pass"
        assert verdict_of(verdicts, "libc", "growth") == "fail"

    def test_without_a_baseline_growth_is_skipped(self):
        verdicts = judge("[region.FLASH]\nmax_growth = 0\n", build(text=999))
        assert verdict_of(verdicts, "FLASH", "growth") == "skip"
        assert exit_status(verdicts, strict=True) == 0


class TestOverflow:
    def test_overflow_fails_without_any_budget(self):
        current = build(data=140)
        verdicts = check_build(current, None, compare_builds(current, current), has_baseline=False)
        assert [(v.name, v.status) for v in verdicts] == [("FLASH", "pass"), ("RAM", "fail")]
        assert "overflows by 40 B" in verdicts[1].limit
        assert exit_status(verdicts) == EXIT_BUDGET_FAILED

    def test_a_generous_budget_does_not_excuse_overflow(self):
        verdicts = judge("[region.RAM]\nmax_used = 100000\n", build(data=140))
        assert verdict_of(verdicts, "RAM", "used") == "pass"
        assert verdict_of(verdicts, "RAM", "fits") == "fail"


class TestBadBudgetFiles:
    @pytest.mark.parametrize(
        ("text", "line", "key", "words"),
        [
            ('[region.FLASH]\nmax_used = "90"\n', 2, "region.FLASH.max_used", "percentage"),
            ("[region.FLASH]\nmax_used = 1.5\n", 2, "region.FLASH.max_used", "whole number"),
            ("[region.FLASH]\nmax_used = true\n", 2, "region.FLASH.max_used", "whole number"),
            ("# c\n[region.FLASH]\n\nmax_usd = 1\n", 4, "region.FLASH.max_usd", "unknown limit"),
            ("[regoin.FLASH]\nmax_used = 1\n", 1, "regoin", "unknown table"),
            ("[category.rom]\nmax_used = 1\n", 1, "category.rom", "unknown category"),
            ("[region.FLASH]\nmax_used = 5\nwarn_used = 6\n", 3, "region.FLASH.warn_used", "above max_used"),
            ('[component.libc]\nmax_used = "5%"\n', 2, "component.libc.max_used", "bytes"),
            ('[section.".text"]\nmax_used = -1\n', 2, 'section.".text".max_used', "negative"),
            ("[region]\nFLASH = { max_used = 1.5 }\n", 2, "region.FLASH.max_used", "whole number"),
            ("[region.FLASH]\nmax_used = 3 4\n", 2, "max_used", "not valid TOML"),
        ],
    )
    def test_error_names_file_line_and_key(self, text, line, key, words):
        with pytest.raises(BudgetError) as caught:
            parse_budget(text, "budgets.toml")
        message = str(caught.value)
        assert message.startswith(f"budgets.toml: line {line}: key '{key}': ") and words in message
        assert "\n" not in message

    def test_empty_budget_is_refused(self):
        with pytest.raises(BudgetError, match="no limits"):
            parse_budget("# nothing yet\n", "budgets.toml")


def write_model(path, current):
    path.write_text(json.dumps(build_to_json(current)), encoding="utf-8")
    return str(path)


class TestCheckCommand:
    def run(self, argv, capsys):
        status = main(argv)
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    @pytest.fixture
    def files(self, tmp_path):
        budget = tmp_path / "budgets.toml"
        budget.write_text('[region.FLASH]\nmax_used = "90%"\nwarn_used = "80%"\nmax_growth = 100\n', encoding="utf-8")
        return {
            "budget": str(budget),
            "base": write_model(tmp_path / "base.json", build(text=600)),
            "ok": write_model(tmp_path / "ok.json", build(text=650)),
            "warn": write_model(tmp_path / "warn.json", build(text=690, flash_size=850)),
            "grown": write_model(tmp_path / "grown.json", build(text=750)),
            "overflow": write_model(tmp_path / "over.json", build(data=101)),
        }

    @pytest.mark.parametrize(
        ("current", "strict", "status"),
        [("ok", False, 0), ("warn", False, 0), ("warn", True, 3), ("grown", False, 3), ("overflow", False, 3)],
    )
    def test_exit_statuses(self, files, capsys, current, strict, status):
        argv = ["check", files[current], "--baseline", files["base"], "--budget", files["budget"]]
        code, out, err = self.run(argv + (["--strict"] if strict else []), capsys)
        assert (code, err) == (status, "")
        # One line per check: verdict, subject, measure, figure, limit; then the outcome.
        lines = out.splitlines()
        assert lines[0].split()[:4] == ["PASS", "region", "FLASH", "fits"]
        assert lines[-1].startswith("Budget FAILED" if status else "Budget passed")

    def test_line_shows_figure_limit_and_verdict(self, files, capsys):
        code, out, _ = self.run(["check", files["grown"], "--baseline", files["base"], "--budget", files["budget"]], capsys)
        assert code == EXIT_BUDGET_FAILED
        [growth] = [line for line in out.splitlines() if " growth " in line]
        assert growth.split()[:3] == ["FAIL", "region", "FLASH"]
        assert "+150 B" in growth and "max 100 B" in growth

    def test_overflow_alone_fails_without_budget(self, files, capsys):
        code, out, _ = self.run(["check", files["overflow"]], capsys)
        assert code == EXIT_BUDGET_FAILED and "overflows by 1 B" in out

    def test_bad_budget_file_is_unusable_input(self, files, tmp_path, capsys):
        bad = tmp_path / "bad.toml"
        bad.write_text("[region.FLASH]\nwarn_growth = '1 KiB'\n", encoding="utf-8")
        code, out, err = self.run(["check", files["ok"], "--budget", str(bad)], capsys)
        assert (code, out) == (1, "")
        assert err == f"brenvale: error: {bad}: line 2: key 'region.FLASH.warn_growth': " \
            "expected a percentage such as \"90%\" or a whole number of bytes, got '1 KiB'\n"

    def test_reports_need_a_baseline(self, files, capsys):
        with pytest.raises(SystemExit) as caught:
            main(["check", files["ok"], "--markdown", "-"])
        assert caught.value.code == 2 and "--baseline" in capsys.readouterr().err

    def test_help_documents_exit_statuses_and_file_form(self, capsys):
        with pytest.raises(SystemExit):
            main(["check", "--help"])
        text = " ".join(capsys.readouterr().out.split())
        for words in ("3 when a region", "1 for input that cannot be used", "2 for a usage error",
                      "[region.NAME]", "[category.flash]", "max_growth", "armlink map"):
            assert words in text
