"""The GNU ld map reader against the ELF files that the same links produced.

tests/firmware/build.py links one small firmware with Debian's GNU ld for
Cortex-M4, RV32IMAC and ATmega328P (once with ld speaking French) and with
lld, and a second one for several memories (CCM RAM, backup SRAM, an
overlay, fill statements, orphans, thread-local data) with GNU ld for
Cortex-M4, with lld for RV32IMAC and with GNU ld under an older vendor's
script (.data loaded AT (_etext)) for Cortex-M3, and commits each map with objdump/readelf dumps of
its ELF in data/linkers.  The ELF is the oracle: every allocated section and every sized
function and object it holds must be in the model where the ELF puts it, and
region figures must count the bytes the ELF places in each region.  Only the
committed text is read, so these tests run where the toolchains are missing;
the last test rebuilds the corpus when they are present.

Where this reader still falls short, the case is marked xfail(strict) with
the fault in its reason, so that it turns into a failure once fixed.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
from functools import cache
from pathlib import Path

import pytest
from elf_truth import ElfTruth, Region, bytes_per_region, map_memory_regions, read_elf_truth, region_holding

from brenvale.analysis import padding_waste, region_usage
from brenvale.cli import main
from brenvale.readers.detect import load_build_input
from brenvale.readers.gnu_ld import looks_like_gnu_ld_map, parse_map_text, read_map_file
from brenvale.readers.linker_script import read_memory_regions
from brenvale.readers.lld import parse_lld_map
from brenvale.records import BuildInput, IssueSeverity, NormalizedBuildModel

DATA = Path(__file__).parent / "data" / "linkers"
FIRMWARE = Path(__file__).resolve().parents[1] / "firmware"

GNU_LD_MAPS = ["gnu-ld-cortex-m4", "gnu-ld-rv32imac", "gnu-ld-atmega328p", "gnu-ld-atmega328p-fr"]
ALL_BUILDS = GNU_LD_MAPS + ["lld-cortex-m4", "lld-rv32imac"]
# The firmware of tests/firmware/regions, and the scripts that place it.
REGIONS_GNU_LD = "regions-gnu-ld-cortex-m4"
REGIONS_LLD = "regions-lld-rv32imac"
REGIONS_LEGACY = "regions-gnu-ld-cortex-m3-legacy"
GNU_LD_MAPS += [REGIONS_GNU_LD, REGIONS_LEGACY]
# Builds that go wrong, or whose map is awkward to read: .data stored at an
# address in no region; FLASH and RAM too small, linked with ld's
# --noinhibit-exec; objects and an archive in paths with spaces and
# parentheses, the map written with Windows line endings.
STRAY_LOAD = ["regions-gnu-ld-cortex-m4-stray-load", "regions-lld-cortex-m4-stray-load"]
OVERFLOW = "regions-gnu-ld-cortex-m4-overflow"
PATHS = ["regions-gnu-ld-cortex-m4-paths", "regions-lld-cortex-m4-paths", "regions-gnu-ld-atmega328p-fr-paths"]
SCRIPTS = {
    REGIONS_GNU_LD: FIRMWARE / "ld" / "stm32f4-regions.ld",
    REGIONS_LLD: FIRMWARE / "ld" / "rv32-tls.ld",
    REGIONS_LEGACY: FIRMWARE / "ld" / "lpc-legacy.ld",
    **dict.fromkeys(STRAY_LOAD, FIRMWARE / "ld" / "stray-load.ld"),
    OVERFLOW: FIRMWARE / "ld" / "overflow.ld",
    PATHS[0]: FIRMWARE / "ld" / "stm32f4-regions.ld",
    PATHS[1]: FIRMWARE / "ld" / "stray-load.ld",
}

# Map -> reason, for the checks the reader does not pass yet.
KNOWN_FAULTS: dict[str, dict[str, str]] = {}


def corpus(check: str) -> list[object]:
    """The GNU ld maps as parameters, each marked with the faults that fail *check* on it."""
    params = []
    for name in GNU_LD_MAPS:
        keys = dict.fromkeys(("read", check))
        reasons = [KNOWN_FAULTS[key][name] for key in keys if name in KNOWN_FAULTS.get(key, {})]
        marks = [pytest.mark.xfail(strict=True, reason="; ".join(reasons))] if reasons else []
        params.append(pytest.param(name, marks=marks, id=name))
    return params


@cache
def _truth(name: str) -> ElfTruth:
    return read_elf_truth(DATA, name)


@cache
def _regions(name: str) -> tuple[Region, ...]:
    return tuple(map_memory_regions((DATA / f"{name}.map").read_text(encoding="utf-8")))


def _model(name: str) -> NormalizedBuildModel:
    return read_map_file(DATA / f"{name}.map")


# ---------------------------------------------------------------------------
# The corpus itself


@pytest.mark.parametrize("name", ALL_BUILDS)
def test_corpus_has_every_kind_of_section(name):
    # Guards the oracle: a rebuilt corpus that lost one of these would make
    # the checks below vacuous for it.
    truth = _truth(name)
    sections = {s.name: s for s in truth.allocated_sections()}
    regions = _regions(name) if name.startswith("gnu-ld") else ()
    assert {".text", ".data", ".bss", ".noinit"} <= sections.keys()
    assert sections[".bss"].type == sections[".noinit"].type == "NOBITS"
    assert sections[".data"].type == "PROGBITS" and sections[".data"].vma != sections[".data"].lma
    if "atmega" not in name:
        assert {".vectors", ".rodata", ".ramfunc", ".heap", ".stack"} <= sections.keys()
        assert sections[".heap"].type == sections[".stack"].type == "NOBITS"
        assert sections[".ramfunc"].vma != sections[".ramfunc"].lma
        assert any(s.name.startswith("_ZN3geo") for s in truth.symbols)
    if regions:
        data = sections[".data"]
        assert region_holding(list(regions), data.vma) != region_holding(list(regions), data.lma)


def test_french_map_is_translated():
    text = (DATA / "gnu-ld-atmega328p-fr.map").read_text(encoding="utf-8")
    english = (DATA / "gnu-ld-atmega328p.map").read_text(encoding="utf-8")
    assert "Configuration mémoire" in text and "Memory Configuration" not in text
    # Same link, same layout: only the words differ.
    assert _truth("gnu-ld-atmega328p-fr") == _truth("gnu-ld-atmega328p")
    assert map_memory_regions(text) == map_memory_regions(english)


# ---------------------------------------------------------------------------
# Reading


@pytest.mark.parametrize("name", corpus("read"))
def test_path_text_and_crlf_give_one_model(name):
    path = DATA / f"{name}.map"
    text = path.read_text(encoding="utf-8")
    model = read_map_file(path)
    assert parse_map_text(text, str(path)).model == model
    assert read_map_file(text) == model
    assert parse_map_text(text.replace("\n", "\r\n")).model == model


@pytest.mark.parametrize("name", corpus("read"))
def test_regions_are_the_memory_configuration(name):
    model = _model(name)
    assert [(r.name, r.start_address, r.size) for r in model.memory_regions] == [
        (r.name, r.origin, r.length) for r in _regions(name)
    ]


# ---------------------------------------------------------------------------
# Sections


@pytest.mark.parametrize("name", corpus("read"))
def test_every_allocated_section_is_placed_as_in_the_elf(name):
    truth, regions = _truth(name), list(_regions(name))
    placed = {s.name: s for s in _model(name).sections}
    for section in truth.allocated_sections():
        model = placed.get(section.name)
        assert model is not None, f"{section.name} missing"
        assert (model.vma, model.size, model.lma) == (section.vma, section.size, section.lma), section.name
        assert model.execution_region == region_holding(regions, section.vma), section.name


@pytest.mark.parametrize("name", corpus("no_extra_sections"))
def test_model_has_no_other_sections(name):
    expected = [s.name for s in _truth(name).allocated_sections()]
    assert sorted(s.name for s in _model(name).sections) == sorted(expected)


@pytest.mark.parametrize("name", corpus("read"))
def test_loaded_sections_load_from_the_region_of_their_lma(name):
    truth, regions = _truth(name), list(_regions(name))
    placed = {s.name: s for s in _model(name).sections}
    moved = 0
    for section in truth.allocated_sections():
        if section.has_bits:
            expected = region_holding(regions, section.lma)
            assert placed[section.name].load_region == expected, section.name
            moved += expected != region_holding(regions, section.vma)
    assert moved > 0  # .data at least


@pytest.mark.parametrize("name", corpus("nobits_load_region"))
def test_nobits_sections_load_nowhere_else(name):
    placed = {s.name: s for s in _model(name).sections}
    nobits = [s.name for s in _truth(name).allocated_sections() if not s.has_bits]
    assert nobits
    assert {n: placed[n].load_region for n in nobits} == {n: placed[n].execution_region for n in nobits}


@pytest.mark.parametrize("name", corpus("padding"))
def test_gnu_ld_sections_have_no_outside_padding(name):
    paddings = {s.name: (s.padding_before, s.padding_after) for s in _model(name).sections}
    assert paddings == {n: (0, 0) for n in paddings}


# ---------------------------------------------------------------------------
# Symbols

# What ld prints for the C++ names of the firmware.
DEMANGLED = {
    "_ZN3geo4areaEii": "geo::area(int, int)",
    "_ZN3geo4areaERKNS_5PointE": "geo::area(geo::Point const&)",
    "_ZN3geo4areaEl": "geo::area(long)",
    "_ZN3geo11Accumulator3addEi": "geo::Accumulator::add(int)",
    "_ZN3geo11accumulatorE": "geo::accumulator",
    "_ZN3geo7weightsE": "geo::weights",
}


@pytest.mark.parametrize("name", corpus("read"))
def test_every_sized_elf_symbol_is_in_the_model(name):
    truth = _truth(name)
    model = _model(name)
    at: dict[int, list] = {}
    for symbol in model.symbols:
        at.setdefault(symbol.address, []).append(symbol)
    checked = 0
    for elf in truth.symbols:
        section = truth.section_of(elf)
        if elf.type not in ("FUNC", "OBJECT") or elf.size == 0 or section is None or not section.allocated:
            continue
        address = truth.symbol_address(elf)
        here = at.get(address, [])
        # ld names no symbol in the veneers it writes ("linker stubs"): the
        # bytes must be there, under whatever name the reader gives them
        # (one entry for a section of several veneers).
        stubs = [
            s for s in model.symbols
            if s.object_file == "linker stubs" and s.address <= address and address + elf.size <= s.address + s.size
        ]
        found = [s for s in here if s.name == elf.name] or stubs
        assert found, f"{elf.name} at {address:#x} missing; model has {[s.name for s in here]}"
        symbol = found[0]
        # The reader sizes a symbol up to the next symbol or fill; measured
        # on this corpus, that is exactly the ELF size.
        if not stubs:
            assert symbol.size == elf.size, elf.name
        assert symbol.section_name == section.name, elf.name
        if not stubs:
            assert symbol.demangled_name == DEMANGLED.get(elf.name), elf.name
        checked += 1
    assert checked >= 10


@pytest.mark.parametrize("name", corpus("read"))
def test_archive_members_are_named(name):
    symbols = {s.name: s for s in _model(name).symbols}
    for function, member in (("foo_scale", "foo_math.o"), ("ring_put", "foo_ring.o")):
        assert symbols[function].object_file == member
        assert symbols[function].archive == f"obj/{name}/libfoo.a"
    # Never linked: no reference pulls foo_unused.o out of the archive.
    assert "foo_unused" not in symbols
    assert "unused_helper" not in symbols


@pytest.mark.parametrize("name", corpus("read"))
def test_stack_and_heap_reservations_are_hinted(name):
    reserved = ([".stack"], [".heap"]) if "atmega" not in name else ([], [])
    if name == REGIONS_GNU_LD:
        reserved = (["._user_heap_stack"], ["._user_heap_stack"])
    elif name == REGIONS_LEGACY:
        reserved = ([".stack"], [])
    hints = _model(name).stack_heap_hints
    assert (hints["stack_sections"], hints["heap_sections"]) == reserved


# ---------------------------------------------------------------------------
# Region usage


@pytest.mark.parametrize("name", corpus("region_usage"))
def test_region_usage_counts_what_the_elf_places(name):
    regions = list(_regions(name))
    usage = region_usage(_model(name))
    assert {r: u.used_bytes for r, u in usage.items()} == bytes_per_region(_truth(name), regions)


# ---------------------------------------------------------------------------
# Several memories: tests/firmware/regions, placed by ld/stm32f4-regions.ld
# (GNU ld) and ld/rv32-tls.ld (lld, whose map prints no regions)

REGIONS_BUILDS = [REGIONS_GNU_LD, REGIONS_LLD]


def _script_regions(name: str) -> list[Region]:
    if name not in SCRIPTS:  # linked with the toolchain's own script
        return list(_regions(name))
    return [Region(r.name, r.start_address, r.size or 0) for r in read_memory_regions(SCRIPTS[name])]


def _is_lld(name: str) -> bool:
    return name.startswith(("lld-", "regions-lld-"))


def _regions_args(name: str) -> list[str]:
    return ["--memory-regions", str(SCRIPTS[name])] if _is_lld(name) else []


def _regions_build(name: str) -> BuildInput:
    given = read_memory_regions(SCRIPTS[name]) if _is_lld(name) else None
    return load_build_input(DATA / f"{name}.map", memory_regions=given)


def _regions_model(name: str) -> NormalizedBuildModel:
    return _regions_build(name).model


def test_regions_corpus_has_what_the_checks_need():
    gnu, lld = _truth(REGIONS_GNU_LD), _truth(REGIONS_LLD)
    regions = _script_regions(REGIONS_GNU_LD)
    assert map_memory_regions((DATA / f"{REGIONS_GNU_LD}.map").read_text(encoding="utf-8")) == regions
    sections = {s.name: s for s in gnu.allocated_sections()}
    # A NOLOAD section that ld gave a load address in flash, past every
    # section stored there: no later section shows that nothing is stored.
    ccmbss = sections[".ccmbss"]
    assert ccmbss.type == "NOBITS" and region_holding(regions, ccmbss.lma) == "FLASH"
    assert all(s.lma < ccmbss.lma for s in gnu.allocated_sections() if s.has_bits)
    dsp, usb = sections[".overlay_dsp"], sections[".overlay_usb"]
    assert dsp.vma == usb.vma and dsp.lma != usb.lma
    assert {".ccmram", ".data", ".bkpsram", ".board_id", ".padded"} <= sections.keys()
    # Zeroed data in an orphan section after .data: PROGBITS, stored in flash.
    pool = sections[".sram2_bss"]
    assert pool.has_bits and region_holding(regions, pool.lma) == "FLASH"
    assert "*(.sram2_bss" not in (DATA / f"{REGIONS_GNU_LD}.map").read_text(encoding="utf-8")
    # .data loaded by AT (_etext): ld prints a load address for every later
    # RAM section, at the same distance, and stores none of them.
    legacy = _truth(REGIONS_LEGACY)
    data = next(s for s in legacy.allocated_sections() if s.name == ".data")
    later = [s for s in legacy.allocated_sections() if s.vma > data.vma and s.vma - s.lma == data.vma - data.lma]
    assert {s.name for s in later} == {".bss", ".ccmbss", ".noinit", ".stack"}
    assert not any(s.has_bits for s in later)
    # lld: thread-local data, and the --defsym that lld prints as a row
    # without text.
    tls = [s for s in lld.sections if s.thread_local]
    assert [(s.name, s.has_bits) for s in tls] == [(".tdata", True), (".tbss", False)]
    assert any(symbol.type == "TLS" for symbol in lld.symbols)
    lld_map = (DATA / f"{REGIONS_LLD}.map").read_text(encoding="utf-8")
    assert any(line.split() == ["0", "0", "0", "1"] for line in lld_map.splitlines())


@pytest.mark.parametrize("name", REGIONS_BUILDS + STRAY_LOAD + PATHS)
def test_regions_sections_are_placed_as_in_the_elf(name):
    truth, regions = _truth(name), _script_regions(name)
    model = {s.name: s for s in _regions_model(name).sections}
    assert sorted(model) == sorted(s.name for s in truth.allocated_sections())
    for section in truth.allocated_sections():
        placed = model[section.name]
        assert (placed.vma, placed.size) == (section.vma, section.size), section.name
        assert placed.execution_region == region_holding(regions, section.vma), section.name
        if section.has_bits:
            assert placed.lma == section.lma, section.name
            assert placed.load_region == region_holding(regions, section.lma), section.name
        else:
            assert placed.load_region == placed.execution_region, section.name


@pytest.mark.parametrize("name", REGIONS_BUILDS + [REGIONS_LEGACY] + STRAY_LOAD + PATHS)
def test_regions_contract_counts_what_the_elf_places(name, tmp_path, capsys):
    # Through the command line, as CI runs it.
    out = tmp_path / "contract.json"
    assert main(["contract", str(DATA / f"{name}.map"), "-o", str(out), *_regions_args(name)]) == 0
    capsys.readouterr()
    contract = json.loads(out.read_text(encoding="utf-8"))
    expected = bytes_per_region(_truth(name), _script_regions(name))
    assert {r["name"]: r["used_bytes"] for r in contract["regions"]} == expected
    sizes = {r.name: r.length for r in _script_regions(name)}
    assert {r["name"]: r["free_bytes"] for r in contract["regions"]} == {n: sizes[n] - u for n, u in expected.items()}


@pytest.mark.parametrize("name", REGIONS_BUILDS)
def test_fill_around_data_statements_is_what_the_script_makes(name):
    # .padded: BYTE, ALIGN(256), LONG, then 20 bytes of fill, from wherever
    # the ELF says the section starts.
    start = next(s.vma for s in _truth(name).allocated_sections() if s.name == ".padded")
    expected = (-(start + 1)) % 256 + 20
    model = _regions_model(name)
    padded = next(s for s in model.sections if s.name == ".padded")
    assert padded.fill_bytes == expected
    assert padding_waste(model).by_region[padded.execution_region] >= expected


def test_lld_thread_local_symbols_are_in_their_template():
    truth = _truth(REGIONS_LLD)
    start = truth.tls_block_start()
    assert start is not None
    placed = {(s.name, s.address, s.size, s.section_name) for s in _regions_model(REGIONS_LLD).symbols}
    checked = 0
    for symbol in truth.symbols:
        section = truth.section_of(symbol)
        if symbol.type == "TLS" and symbol.size and section is not None and section.takes_room:
            assert (symbol.name, start + symbol.value, symbol.size, section.name) in placed
            checked += 1
    assert checked


# ---------------------------------------------------------------------------
# Builds that go wrong, and awkward maps


@pytest.mark.parametrize("name", STRAY_LOAD)
def test_a_load_image_in_no_region_is_reported(name):
    regions = _script_regions(name)
    data = next(s for s in _truth(name).allocated_sections() if s.name == ".data")
    assert data.has_bits and region_holding(regions, data.lma) is None  # the oracle: stored in no region
    build = _regions_build(name)
    stray = [issue for issue in build.issues if issue.id.startswith("map:unplaced-load:")]
    assert [(issue.id, issue.severity, issue.affected_entities) for issue in stray] == [
        ("map:unplaced-load:.data", IssueSeverity.WARNING, [".data"])
    ]
    description = stray[0].description
    assert "\n" not in description and f"{name}.map" in description
    assert f"load address 0x{data.lma:08x}" in description and "no memory region" in description
    assert f"{data.size} bytes" in description


def test_no_fitting_build_reports_a_load_image_in_no_region_or_an_overflow():
    # The overflow rule must not pull a section that is where its script
    # put it into a region.
    names = GNU_LD_MAPS + [REGIONS_LLD, PATHS[0], PATHS[2]]  # PATHS[1] is placed as STRAY_LOAD
    for name in names:
        given = read_memory_regions(SCRIPTS[name]) if name in SCRIPTS and _is_lld(name) else None
        build = load_build_input(DATA / f"{name}.map", memory_regions=given)
        assert not [i.id for i in build.issues if i.id.startswith("map:unplaced")], name
        assert not [r for r, u in region_usage(build.model).items() if u.overflow_bytes], name


def test_overflow_is_what_ld_printed(tmp_path, capsys):
    path = DATA / f"{OVERFLOW}.map"
    messages = (DATA / f"{OVERFLOW}.link-messages.txt").read_text(encoding="utf-8")
    printed = {m[1]: int(m[2]) for m in re.finditer(r"region `(\w+)' overflowed by (\d+) bytes", messages)}
    assert printed.keys() == {"FLASH", "RAM"}
    # ld went on past the end of each region: the ELF has a section that no
    # region holds, and the load image of .data in CONFIG, which starts
    # where FLASH ends.
    truth, regions = _truth(OVERFLOW), _script_regions(OVERFLOW)
    sections = {s.name: s for s in truth.allocated_sections()}
    assert region_holding(regions, sections[".data"].lma) == "CONFIG"
    assert region_holding(regions, sections[".noinit"].vma) is None
    model = _regions_model(OVERFLOW)
    placed = {s.name: s for s in model.sections}
    assert sorted(placed) == sorted(sections)
    for section in sections.values():
        assert (placed[section.name].vma, placed[section.name].size) == (section.vma, section.size)
    assert (placed[".data"].execution_region, placed[".data"].load_region) == ("RAM", "FLASH")
    assert placed[".noinit"].execution_region == placed[".noinit"].load_region == "RAM"
    usage = region_usage(model)
    assert {name: u.overflow_bytes for name, u in usage.items() if u.overflow_bytes} == printed
    assert usage["CONFIG"].used_bytes == sections[".config"].size

    out = tmp_path / "contract.json"
    assert main(["contract", str(path), "-o", str(out)]) == 0
    issues = json.loads(out.read_text(encoding="utf-8"))["policy_issue_index"]
    for region, overflow in printed.items():
        assert issues[f"overflow:{region}"]["severity"] == "error"
        assert issues[f"overflow:{region}"]["title"] == f"{region} overflows by {overflow} bytes"
    assert not [key for key in issues if key.startswith("map:")]
    capsys.readouterr()
    assert main(["check", str(path)]) == 3
    report = capsys.readouterr().out
    for region, overflow in printed.items():
        line = next(line for line in report.splitlines() if f"region {region} " in line)
        assert line.startswith("FAIL") and f"overflows by {overflow:,} B" in line


@pytest.mark.parametrize("name", PATHS)
def test_paths_with_spaces_and_parentheses_name_their_owners(name):
    raw = (DATA / f"{name}.map").read_bytes()
    assert raw.count(b"\r\n") == raw.count(b"\n")  # written as on Windows
    directory = f"obj/{name}/build (debug)/src dir"
    assert f"{directory}/my lib (v2).a(foo_math (v2) object.o)".encode() in raw
    text = raw.decode("utf-8")
    if not _is_lld(name):
        # Known by its head alone, as in a map whose memory configuration
        # lies past the part read to tell formats apart: in French the
        # archive member list is what says it is a GNU ld map.
        assert looks_like_gnu_ld_map(text[:text.index("*default*")])
    build = _regions_build(name)
    truth = _truth(name)
    at = {(s.name, s.address): s for s in build.model.symbols}
    checked = 0
    for elf in truth.symbols:
        section = truth.section_of(elf)
        if elf.type not in ("FUNC", "OBJECT") or not elf.size or section is None or not section.takes_room:
            continue
        address = truth.symbol_address(elf)
        symbol = at.get((elf.name, address))
        if symbol is None:
            # Bytes the linker made or merged: ld's veneers ("linker stubs"),
            # lld's merged constants (no object), under a name of the reader's.
            made = [
                s for s in build.model.symbols
                if s.object_file in (None, "linker stubs") and s.address <= address < s.address + s.size
            ]
            assert made, f"{elf.name} at {address:#x} missing"
            continue
        assert (symbol.size, symbol.section_name) == (elf.size, section.name), elf.name
        checked += 1
    assert checked >= 10
    owners = {s.name: (s.object_file, s.archive) for s in build.model.symbols}
    assert owners["foo_scale"] == ("foo_math (v2) object.o", f"{directory}/my lib (v2).a")
    assert owners["ring_put"] == ("foo_ring (v2) object.o", f"{directory}/my lib (v2).a")
    assert owners["main"] == (f"{directory}/main.o", None)
    assert "my lib (v2)" in {c.name for c in build.components}
    # One model whatever the line endings.
    given = read_memory_regions(SCRIPTS[name]) if _is_lld(name) else None
    lf = _model_of_text(text.replace("\r\n", "\n"), name, given)
    assert lf == build.model


def _model_of_text(text: str, name: str, given: list | None) -> NormalizedBuildModel:
    if _is_lld(name):
        return parse_lld_map(text, name, given).model
    return parse_map_text(text, name).model


# ---------------------------------------------------------------------------
# Rebuilding


def _load_build_script():
    spec = importlib.util.spec_from_file_location("firmware_build", FIRMWARE / "build.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def test_build_script_reproduces_the_corpus(tmp_path):
    build = _load_build_script()
    absent = sorted({tool for b in build.BUILDS for tool in build.missing_tools(b)})
    if absent:
        pytest.skip(f"toolchains not installed: {', '.join(absent)}")
    # Under the sanitizer run the compilers would inherit its preloaded runtime.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    result = subprocess.run(
        [sys.executable, str(FIRMWARE / "build.py"), "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=120, env=env,
    )
    committed = sorted(p.name for p in DATA.iterdir())
    made = sorted(p.name for p in tmp_path.iterdir())
    differing = [n for n in made if n in committed and (tmp_path / n).read_bytes() != (DATA / n).read_bytes()]
    assert not differing, f"rebuilt files differ from the committed ones: {differing}"
    assert set(made) <= set(committed), f"not committed: {sorted(set(made) - set(committed))}"
    if result.returncode != 0:
        if "skipping" in result.stderr and set(made) < set(committed):
            pytest.skip(result.stderr.strip())
        pytest.fail(result.stderr.strip())
    assert made == committed
