"""What must hold on every real map: the figures shown are the bytes the map places.

The used bytes of each region are computed here from the map text alone (a
plain scan of the output-section headers), independently of the readers; the
armlink map states its own totals.  Drawn ranges never lie over a section or
a load image, and the contract, the console summary and the report page give
one figure per region.  A map cut anywhere is refused or reads as the whole
build, never as a smaller one.
"""

from __future__ import annotations

import bisect
import json
import re
from functools import cache
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brenvale.analysis import region_usage
from brenvale.cli import main
from brenvale.compare import compare_builds, diff_payload, flash_and_ram_totals
from brenvale.readers.gnu_ld import parse_map_text
from brenvale.readers.rules import MapFormatError
from brenvale.pipeline import build_contract, load_input
from brenvale.records import RegionCategory
from brenvale.samples import sample_path

DATA = Path(__file__).parent / "data"
SHARED_MAPS = Path(__file__).resolve().parents[3] / "shared" / "samples" / "maps"
# Maps from real projects.  None of them prints a load address for a section
# without contents, so placed_bytes below needs no rule for those; the maps
# of our own firmware have such sections, and their ELF is the oracle there
# (test_real_linkers.py).
REAL_GNU_MAPS = sorted(p for p in (DATA / "maps").glob("*.map") if "armlink" not in p.name and "iar" not in p.name)
REAL_GNU_MAPS += sorted(p for p in SHARED_MAPS.glob("esp32*.map"))  # read only, where the samples are at hand
GNU_MAPS = REAL_GNU_MAPS + [DATA / "linkers" / f"gnu-ld-{name}.map" for name in ("cortex-m4", "rv32imac", "atmega328p")]
GNU_MAPS += [DATA / "linkers" / f"regions-gnu-ld-{name}.map" for name in ("cortex-m4", "cortex-m3-legacy")]
ARMLINK_MAP = DATA / "maps" / "stm32f103-armlink-openbrightweb.map"
OTHER_MAPS = [ARMLINK_MAP, DATA / "maps" / "stm32f407-iar-project-template.map"]
OTHER_MAPS += sorted((DATA / "linkers").glob("lld-*.map")) + sorted((DATA / "lld").glob("*.map"))
OTHER_MAPS.append(DATA / "linkers" / "regions-lld-rv32imac.map")
ALL_MAPS = GNU_MAPS + OTHER_MAPS

_HEADER = re.compile(r"^(\S+)(?:\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)(?:\s+load address\s+0x([0-9a-fA-F]+))?)?\s*$")
_NUMBERS = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)(?:\s+load address\s+0x([0-9a-fA-F]+))?\s*$")
_REGION = re.compile(r"^(\S+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)")
# Sections that take no target memory, and thread-local bss (a template for each thread's copy).
_NOT_IN_MEMORY = re.compile(r"^(?:\.debug|\.zdebug|\.comment$|\.ARM\.attributes$|\.riscv\.attributes$|\.xt\.|"
                            r"\.xtensa\.info$|\.stab|\.note\.gnu\.avr|\.?tbss$|/DISCARD/$|\.gnu\.attributes$)")


def placed_bytes(text: str) -> dict[str, int]:
    """Region name -> bytes the map places in it: every output section at its
    address, and its copy at the load address ld prints, unless the next
    section starts at that same load address (then nothing was stored there)."""
    lines = text.replace("\r\n", "\n").split("\n")
    regions: dict[str, tuple[int, int]] = {}
    at = lines.index("Memory Configuration") + 1
    while at < len(lines) and not lines[at].startswith("Linker script and memory map"):
        match = _REGION.match(lines[at])
        if match and match.group(1) != "*default*":
            origin, length = int(match.group(2), 16), int(match.group(3), 16)
            regions[match.group(1)] = (origin, origin + length)
        at += 1
    headers: list[tuple[str, int, int, int | None]] = []
    for number, line in enumerate(lines[at:], at):
        if line.startswith("OUTPUT("):
            break
        match = _HEADER.match(line)
        if not match or line[:1] in (" ", "\t", "") or line.startswith(("LOAD ", "START GROUP", "END GROUP")):
            continue
        name, vma, size, lma = match.groups()
        if vma is None:  # a long name: its numbers on the next line
            numbers = _NUMBERS.match(lines[number + 1]) if number + 1 < len(lines) else None
            if numbers is None:
                continue
            vma, size, lma = numbers.groups()
        headers.append((name, int(vma, 16), int(size, 16), None if lma is None else int(lma, 16)))

    def region_of(address: int, size: int) -> str | None:
        # The smallest region holding the whole span (regions may nest).
        holding = [(end - start, name) for name, (start, end) in regions.items() if start <= address and address + size <= end]
        return min(holding)[1] if holding else None

    used = dict.fromkeys(regions, 0)
    allocated = [h for h in headers if not _NOT_IN_MEMORY.match(h[0])]
    for index, (name, vma, size, lma) in enumerate(allocated):
        if size == 0:
            continue
        run = region_of(vma, size)
        if run is not None:
            used[run] += size
        if lma is None or lma == vma:
            continue
        following = allocated[index + 1] if index + 1 < len(allocated) else None
        if following is not None and following[3] is not None and lma <= following[3] < lma + size:
            continue
        load = region_of(lma, size)
        if load is not None and load != run:
            used[load] += size
    return used


@cache
def contract_of(path: Path):
    build = load_input(path)
    return build, build_contract(build)


@pytest.mark.parametrize("path", REAL_GNU_MAPS, ids=lambda p: p.stem)
def test_used_bytes_are_the_bytes_the_map_places(path):
    expected = placed_bytes(path.read_text(encoding="latin-1"))
    build, contract = contract_of(path)
    assert {r["name"]: r["used_bytes"] for r in contract["regions"]} == expected
    assert {name: u.used_bytes for name, u in region_usage(build.model).items()} == expected


def test_known_region_totals():
    # Teensy 4.1: .text.headers .. .text.csf plus the images of .text.itcm, .fini, .ARM.exidx and .data.
    teensy = {r["name"]: r["used_bytes"] for r in contract_of(DATA / "maps" / "imxrt1062-teensy41-dart.map")[1]["regions"]}
    assert teensy["FLASH"] == 169_984
    # armlink states its own totals: "Total ROM Size (Code + RO Data + RW Data) 37964",
    # "Total RW  Size (RW Data + ZI Data) 3096".
    text = ARMLINK_MAP.read_text(encoding="latin-1")
    rom = int(re.search(r"Total ROM Size \(Code \+ RO Data \+ RW Data\)\s+(\d+)", text).group(1))
    rw = int(re.search(r"Total RW  Size \(RW Data \+ ZI Data\)\s+(\d+)", text).group(1))
    armlink = {r["name"]: r["used_bytes"] for r in contract_of(ARMLINK_MAP)[1]["regions"]}
    assert (armlink["ER_IROM1"], armlink["RW_IRAM1"]) == (rom, rw) == (37_964, 3_096)


def _spans(region, *, synthetic):
    for item in region["ranges"]:
        if item["is_synthetic"] == synthetic and item["size_bytes"] > 0:
            start = max(item["start_address"], region["start_address"])
            end = min(item["end_address"], region["end_address"])
            if start <= end:
                yield start, end, item


@pytest.mark.parametrize("path", ALL_MAPS, ids=lambda p: p.stem)
def test_no_range_is_drawn_over_a_section_or_a_load_image(path):
    _, contract = contract_of(path)
    for region in contract["regions"]:
        occupied = sorted((s, e) for s, e, _ in _spans(region, synthetic=False))
        starts = [s for s, _ in occupied]
        for start, end, item in _spans(region, synthetic=True):
            # Occupied spans may overlap one another (overlays), so look at all
            # that start before this range ends.
            for s, e in occupied[: bisect.bisect_right(starts, end)]:
                assert e < start or s > end, (region["name"], item["id"], hex(s), hex(e))


# Maps on which the summary's totals still disagree with the regions, and why.
TOTALS_FAULTS: dict[str, str] = {}


@pytest.mark.parametrize(
    "path",
    [
        pytest.param(p, id=p.stem, marks=[pytest.mark.xfail(strict=True, reason=TOTALS_FAULTS[p.stem])])
        if p.stem in TOTALS_FAULTS else pytest.param(p, id=p.stem)
        for p in ALL_MAPS
    ],
)
def test_contract_summary_and_page_agree_on_every_region(path, tmp_path, capsys):
    # Compared with the bundled sample, whose regions differ from most of these.
    build, contract = contract_of(path)
    used = {r["name"]: r["used_bytes"] for r in contract["regions"]}
    categories = {r["name"]: r["category"] for r in contract["regions"]}
    flash = sum(v for k, v in used.items() if categories[k] == RegionCategory.FLASH.value)
    ram = sum(v for k, v in used.items() if categories[k] == RegionCategory.RAM.value)
    # Code run from a flash window onto bytes stored in another flash region
    # (ESP32) fills both regions, but the chip's flash only once.
    flash -= sum(
        s.size for s in build.model.sections
        if s.load_region != s.execution_region
        and categories.get(s.load_region) == categories.get(s.execution_region) == RegionCategory.FLASH.value
    )
    assert flash_and_ram_totals(build.model) == (flash, ram)

    baseline = load_input(sample_path())
    payload = diff_payload(compare_builds(build, baseline))
    rows = {row["region"]: row for row in payload["regions"]}
    assert {name: rows[name]["current_used_bytes"] for name in used} == used
    assert (payload["current_build"]["total_flash"], payload["current_build"]["total_ram"]) == (flash, ram)

    html = tmp_path / "d.html"
    assert main(["diff", str(sample_path()), str(path), "--html", str(html)]) == 0
    out = capsys.readouterr().out
    base_flash, base_ram = flash_and_ram_totals(baseline.model)
    assert f"Flash delta: {flash - base_flash} B" in out and f"RAM delta: {ram - base_ram} B" in out
    page = html.read_text(encoding="utf-8")
    if flash:
        assert f"Total FLASH</span><span class=\"bv-diff-meta-value is-mono\">{flash:,} B" in page


# ---------------------------------------------------------------------------
# Cut maps


@cache
def _whole(path: Path):
    text = path.read_text(encoding="latin-1")
    return text, parse_map_text(text, path.name).model


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_a_map_cut_at_any_line_is_refused_or_whole(data):
    path = data.draw(st.sampled_from([p for p in GNU_MAPS if p.parent.name != "maps" or p.parent.parent == DATA]), label="map")
    text, whole = _whole(path)
    lines = text.split("\n")
    cut = data.draw(st.integers(0, len(lines) - 1), label="line")
    partial = "\n".join(lines[:cut]) + ("\n" if cut else "")
    try:
        result = parse_map_text(partial, path.name)
    except MapFormatError as error:
        message = str(error)
        assert message.startswith(f"{path.name}: line ") and "\n" not in message
        assert "truncated?" in message or "not a GNU ld map" in message
        return
    assert result.model == whole


def test_a_cut_map_exits_1_unless_partial_reading_is_asked_for(tmp_path, capsys):
    source = DATA / "maps" / "nrf52840-zephyr-spectrum-analyzer.map"
    cut = tmp_path / "cut.map"
    cut.write_bytes(source.read_bytes()[:200_000])
    out_file = tmp_path / "contract.json"
    assert main(["contract", str(cut), "-o", str(out_file)]) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and not out_file.exists()
    assert re.fullmatch(
        rf"brenvale: error: {re.escape(str(cut))}: line \d+: the map ends inside output section \S+; "
        r"is it truncated\?\n",
        captured.err,
    )
    assert main(["contract", str(cut), "-o", str(out_file), "--allow-partial"]) == 0
    captured = capsys.readouterr()
    assert captured.err.startswith("brenvale: warning: ") and "sections and symbols after that point are missing" in captured.err
    contract = json.loads(out_file.read_text(encoding="utf-8"))
    assert contract["policy_issue_index"]["map:truncated"]["severity"] == "warning"
