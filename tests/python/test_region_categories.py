"""Whether a region is flash or RAM: known chip memory maps, guesses said as such, the user's word."""

from __future__ import annotations

import contextlib
import json

import pytest

from brenvale.cli import main
from brenvale.readers.gnu_ld import parse_map_text
from brenvale.memory_maps import ATTRIBUTES, KNOWN, NAME, classify_region
from brenvale.records import RegionCategory as C

# An ESP-IDF build: iram0_2_seg is the instruction cache's window onto flash.
ESP_IDF_MAP = """\
Memory Configuration

Name             Origin             Length             Attributes
iram0_0_seg      0x40080000         0x00020000         xr
iram0_2_seg      0x400d0020         0x0032ffe0         xr
dram0_0_seg      0x3ffb0000         0x0002c200         rw
scratch_area     0x50000000         0x00001000         rw
*default*        0x00000000         0xffffffff

Linker script and memory map

.iram0.text      0x40080000       0x40
 .iram1.x       0x40080000       0x40 app.o
.flash.text      0x400d0020     {text}
 .text.app_main 0x400d0020     {text} main.o
.dram0.data      0x3ffb0000       0x10
 .data.x        0x3ffb0000       0x10 main.o
OUTPUT(app.elf elf32-xtensa-le)
"""


def test_known_memory_maps_win_over_the_names_they_carry():
    assert classify_region("iram0_2_seg", "xr", 0x400D0020) == (C.FLASH, KNOWN)  # "ram" in the name
    assert classify_region("drom0_0_seg", "r", 0x3F400040) == (C.FLASH, KNOWN)
    assert classify_region("dram0_0_seg", "rw", 0x3FFB0000) == (C.RAM, KNOWN)
    assert classify_region("FRAM", "rx", 0x4400) == (C.FLASH, KNOWN)  # MSP430 FRAM holds code
    assert classify_region("INFOA", "rw", 0x1980) == (C.FLASH, KNOWN)
    assert classify_region("data", "rw !x", 0x800100) == (C.RAM, KNOWN)  # AVR SRAM
    assert classify_region("data", "rw", 0x1000) == (C.RAM, NAME)  # not AVR's address: a guess
    assert classify_region("m_text", "rx", 0x0800_0000) == (C.FLASH, KNOWN)  # STM32 flash window
    assert classify_region("m_interrupts", "rx", 0) == (C.FLASH, ATTRIBUTES)
    assert classify_region("RW_IRAM1", "rw", 0x2000_0000) == (C.RAM, KNOWN)


def test_esp_idf_growth_in_flash_mapped_code_counts_as_flash(tmp_path, capsys):
    old, new = tmp_path / "old.map", tmp_path / "new.map"
    old.write_text(ESP_IDF_MAP.format(text="0x100"), encoding="utf-8")
    new.write_text(ESP_IDF_MAP.format(text="0x124"), encoding="utf-8")
    assert main(["diff", str(old), str(new)]) == 0
    out = capsys.readouterr().out
    assert "Flash delta: 36 B" in out and "RAM delta: 0 B" in out


def test_a_guess_is_reported_and_the_users_word_wins(tmp_path, capsys):
    path = tmp_path / "app.map"
    path.write_text(ESP_IDF_MAP.format(text="0x100"), encoding="utf-8")
    guessed = [i.id for i in parse_map_text(path.read_text(), str(path)).issues()]
    assert guessed == ["region-category-guessed:scratch_area"]  # the only region no memory map knows

    out_file = tmp_path / "c.json"
    assert main(["contract", str(path), "-o", str(out_file)]) == 0
    contract = json.loads(out_file.read_text(encoding="utf-8"))
    assert "region-category-guessed:scratch_area" in contract["policy_issue_index"]
    assert main(["contract", str(path), "-o", str(out_file), "--region-category", "scratch_area=other",
                 "--region-category", "iram0_2_seg=RAM"]) == 0
    contract = json.loads(out_file.read_text(encoding="utf-8"))
    categories = {r["name"]: r["category"] for r in contract["regions"]}
    assert (categories["scratch_area"], categories["iram0_2_seg"]) == ("other", "ram")
    assert not any(key.startswith("region-category-guessed") for key in contract["policy_issue_index"])


@pytest.mark.parametrize(
    "argument, status, message",
    [
        ("nowhere=flash", 1, "--region-category names no region of the build: nowhere"),
        ("iram0_2_seg=rom", 2, "unknown category 'rom' (expected flash, ram or other)"),
        ("flash", 2, "expected NAME=flash, NAME=ram or NAME=other"),
    ],
)
def test_bad_overrides_are_one_line_errors(tmp_path, capsys, argument, status, message):
    path = tmp_path / "app.map"
    path.write_text(ESP_IDF_MAP.format(text="0x100"), encoding="utf-8")
    out_file = tmp_path / "c.json"
    with pytest.raises(SystemExit) if status == 2 else contextlib.nullcontext():
        assert main(["contract", str(path), "-o", str(out_file), "--region-category", argument]) == status
    err = capsys.readouterr().err
    assert message in err and not out_file.exists()


def test_a_budget_file_says_what_a_region_is_and_the_command_line_wins(tmp_path, capsys):
    old, new = tmp_path / "old.map", tmp_path / "new.map"
    old.write_text(ESP_IDF_MAP.format(text="0x100"), encoding="utf-8")
    new.write_text(ESP_IDF_MAP.format(text="0x124"), encoding="utf-8")
    budget = tmp_path / "budget.toml"
    budget.write_text('[region.iram0_2_seg]\ncategory = "ram"\n[region.GONE]\ncategory = "flash"\n'
                      '[category.ram]\nmax_growth = 10\n', encoding="utf-8")
    # The budget calls the flash window RAM, so its growth breaks the RAM limit.
    assert main(["check", str(new), "--baseline", str(old), "--budget", str(budget)]) == 3
    assert "FAIL  region iram0_2_seg (category ram)" in capsys.readouterr().out
    assert main(["check", str(new), "--baseline", str(old), "--budget", str(budget),
                 "--region-category", "iram0_2_seg=flash"]) == 0
    capsys.readouterr()
    budget.write_text('[region.iram0_2_seg]\ncategory = "rom"\n', encoding="utf-8")
    assert main(["check", str(new), "--budget", str(budget)]) == 1
    assert "line 2: key 'region.iram0_2_seg.category': unknown category 'rom'" in capsys.readouterr().err
