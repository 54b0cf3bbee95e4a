"""armlink map reader, on the OpenBrightWeb map (data/maps, see ATTRIBUTION.md).

Expected values are read off the map text, quoted beside them.
"""

from pathlib import Path

import pytest

from brenvale.readers.detect import load_build_input
from brenvale.readers.rules import MapFormatError
from brenvale.readers.armlink import load_armlink_build, looks_like_armlink_map, parse_armlink_map
from brenvale.model_io import build_from_json, build_to_json
from brenvale.records import RegionCategory

MAP = Path(__file__).parent / "data" / "maps" / "stm32f103-armlink-openbrightweb.map"


@pytest.fixture(scope="module")
def build():
    return load_armlink_build(MAP)


def by_name(items):
    return {item.name: item for item in items}


class TestSampleMap:
    def test_regions(self, build):
        # "Execution Region ER_IROM1 (Exec base: 0x08000000, ..., Max: 0x00010000, ABSOLUTE)"
        # "Execution Region RW_IRAM1 (Exec base: 0x20000000, ..., Max: 0x00005000, ABSOLUTE)"
        assert [(r.name, r.start_address, r.end_address, r.size, r.category) for r in build.model.memory_regions] == [
            ("ER_IROM1", 0x08000000, 0x0800FFFF, 0x10000, RegionCategory.FLASH),
            ("RW_IRAM1", 0x20000000, 0x20004FFF, 0x5000, RegionCategory.RAM),
        ]

    def test_sections(self, build):
        sections = build.model.sections
        assert [(s.name, s.execution_region, s.load_region) for s in sections] == [
            ("ER_IROM1$$RO", "ER_IROM1", "ER_IROM1"),
            ("RW_IRAM1$$RW", "RW_IRAM1", "ER_IROM1"),
            ("RW_IRAM1$$ZI", "RW_IRAM1", "RW_IRAM1"),
            ("HEAP", "RW_IRAM1", "RW_IRAM1"),
            ("STACK", "RW_IRAM1", "RW_IRAM1"),
        ]
        # The "Size:" of each execution region: 0x000093a8 and 0x00000c18.
        assert sections[0].size == 0x93A8
        assert sum(s.size for s in sections[1:]) == 0xC18
        named = by_name(sections)
        # "0x20000000   0x080093a8   0x00000018   Data   RW   3223   .data   myrtc.o" opens RW.
        assert (named["RW_IRAM1$$RW"].vma, named["RW_IRAM1$$RW"].lma) == (0x20000000, 0x080093A8)
        # "0x20000618  -  0x00000200  Zero  RW  2  HEAP", "0x20000818  -  0x00000400  Zero  RW  1  STACK"
        assert (named["HEAP"].vma, named["HEAP"].size, named["STACK"].size) == (0x20000618, 0x200, 0x400)
        # One "PAD 0x00000001" among the RW data, one "PAD 0x00000004" after the bss.
        assert (named["RW_IRAM1$$RW"].fill_bytes, named["RW_IRAM1$$ZI"].fill_bytes) == (1, 4)
        assert build.model.stack_heap_hints == {"stack_sections": ["STACK"], "heap_sections": ["HEAP"]}

    def test_symbols_cover_every_section(self, build):
        model = build.model
        for section in model.sections:
            own = sorted((s for s in model.symbols if s.section_name == section.name), key=lambda s: s.address)
            assert sum(s.size for s in own) + section.fill_bytes == section.size, section.name
            for before, after in zip(own, own[1:]):
                assert before.address + before.size <= after.address
        assert len(model.symbols) == 428

    def test_symbol_values(self, build):
        symbols = by_name(build.model.symbols)
        # "0x08005b80   0x08005b80   0x00000036   Code   RO   4457   i.main   main.o"
        main = symbols["main"]
        assert (main.address, main.size, main.object_file, main.archive) == (0x08005B80, 0x36, "main.o", None)
        # "0x080003fc ... 0x000001ac Code RO 4574 .text c_w.l(mktime.o)" holds two functions:
        # "_tm_carry 0x080003fd Thumb Code 62" and "mktime 0x0800043b Thumb Code 356".
        carry, mktime = symbols["_tm_carry"], symbols["mktime"]
        assert (carry.address, carry.size) == (0x080003FC, 0x43A - 0x3FC)
        assert (mktime.address, mktime.size) == (0x0800043A, 0x3FC + 0x1AC - 0x43A)
        assert (mktime.object_file, mktime.archive) == ("mktime.o", "c_w.l")
        # The empty "_printf_percent" input at 0x08000160 does not name _printf_n.o's bytes there.
        at_160 = [s for s in build.model.symbols if s.address == 0x08000160]
        assert [(s.name, s.object_file) for s in at_160] == [("_printf_n", "_printf_n.o")]

    def test_valid_model_and_content_dispatch(self, build):
        assert build_from_json(build_to_json(build), "armlink").model == build.model
        assert load_build_input(MAP).model == build.model


class TestBadInput:
    def test_detection(self):
        head = MAP.read_text()[:4096]
        assert looks_like_armlink_map(head)
        assert not looks_like_armlink_map("Memory Configuration\n\nLinker script and memory map\n")

    def test_map_without_memory_map(self):
        text = MAP.read_text()
        cut = text[: text.index("Memory Map of the image")]
        with pytest.raises(MapFormatError, match=r"^cut\.map: line 1: no 'Memory Map of the image' part"):
            parse_armlink_map(cut, "cut.map")

    def test_unreadable_memory_map_line(self):
        text = MAP.read_text().replace("0x08005b80   0x08005b80   0x00000036", "0x08005b80   0x0800zz80   0x00000036")
        line = text[: text.index("0x0800zz80")].count("\n") + 1
        with pytest.raises(MapFormatError, match=rf"^x: line {line}: unreadable memory map line"):
            parse_armlink_map(text, "x")

    def test_every_cut_gives_a_model_or_a_clear_error(self):
        text = MAP.read_text()
        start = text.index("Memory Map of the image")
        for end in range(start, len(text), 997):
            try:
                model = parse_armlink_map(text[:end], "cut.map")
            except MapFormatError as error:
                assert error.line >= 1
                continue
            for section in model.sections:
                assert section.size > 0
