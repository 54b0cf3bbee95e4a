"""GNU ld map reader: line formats, naming rules, region choice and bad input.

The map snippets copy the layout ld writes (column widths, wrapped long
names, "load address", *fill*, merged string sections) from the real maps in
data/maps; each case changes only what it tests.
"""

import io
import json

import pytest

from brenvale.readers.detect import load_build_input
from brenvale.readers.gnu_ld import (
    is_gnu_ld_map_file,
    load_map_build,
    looks_like_gnu_ld_map,
    parse_map_text,
    read_map,
    read_map_file,
)
from brenvale.readers.rules import (
    MapFormatError,
    region_category,
    split_archive_member,
    symbol_name_from_section,
)
from brenvale.model_io import ModelFormatError, build_from_json, build_to_json
from brenvale.records import BuildInput, IssueSeverity, RegionCategory

MEMORY = """\
Memory Configuration

Name             Origin             Length             Attributes
FLASH            0x0000000000000000 0x0000000000010000 xr
RAM              0x0000000020000000 0x0000000000008000 xrw
*default*        0x0000000000000000 0xffffffffffffffff

"""


def make_map(body, memory=MEMORY, tail="OUTPUT(zephyr/zephyr.elf elf32-littlearm)\n"):
    return (
        "Archive member included to satisfy reference by file (symbol)\n\n"
        + memory
        + "Linker script and memory map\n\n"
        + "LOAD app/libapp.a\n\n"
        + body
        + tail
    )


def parse(body, **kwargs):
    return parse_map_text(make_map(body, **kwargs), "test.map")


def section(result, name):
    return next(s for s in result.model.sections if s.name == name)


def symbols_of(result, name):
    return [s for s in result.model.symbols if s.section_name == name]


class TestContentCheck:
    def test_every_heading_ld_opens_a_map_with(self):
        for first in (
            "Archive member included to satisfy reference by file (symbol)",
            "Archive member included because of file (symbol)",
            "Allocating common symbols",
            "Discarded input sections",
            "Memory Configuration",
            "Linker script and memory map",
        ):
            assert looks_like_gnu_ld_map(f"\n{first}\n\nfoo\n"), first

    def test_other_formats_are_rejected(self):
        armlink = (
            "Component: ARM Compiler 5.06 update 5 (build 528) Tool: armlink [4d35e2]\n\n"
            "==============================================================================\n\n"
            "Section Cross References\n"
        )
        iar = "###############################################################################\n#\n# IAR ELF Linker V7.60.2.11341/W32 for ARM\n"
        model = json.dumps({"memory_regions": [], "sections": [], "symbols": []})
        for text in (armlink, iar, model, "", "\n\n", "Memory Configuration is great\n"):
            assert not looks_like_gnu_ld_map(text), text[:30]

    def test_heading_later_in_the_text_counts(self):
        # A map cut at the front still shows its memory map heading on a line of its own.
        assert looks_like_gnu_ld_map("garbage\nLinker script and memory map\n")
        assert looks_like_gnu_ld_map("garbage\r\nMemory Configuration\r\n")
        assert not looks_like_gnu_ld_map("garbage\n  Linker script and memory map\n")

    def test_file_check_reads_only_the_head(self, tmp_path):
        path = tmp_path / "firmware.bin"
        path.write_bytes(make_map("").encode() + b"\xff\x00" * 200_000)
        assert is_gnu_ld_map_file(path)
        other = tmp_path / "model.json"
        other.write_text('{"sections": []}')
        assert not is_gnu_ld_map_file(other)


class TestMemoryConfiguration:
    def test_regions_with_inclusive_ends(self):
        regions = parse("").model.memory_regions
        assert [(r.name, r.start_address, r.end_address, r.size) for r in regions] == [
            ("FLASH", 0, 0xFFFF, 0x10000),
            ("RAM", 0x20000000, 0x20007FFF, 0x8000),
        ]

    @pytest.mark.parametrize(
        "name, attributes, expected",
        [
            # Names that say what the memory is win over the attributes.
            ("FLASH", "xrw", RegionCategory.FLASH),
            ("ITCM", "xrw", RegionCategory.RAM),
            ("ERAM", "xrw", RegionCategory.RAM),
            ("iram0_0_seg", "xr", RegionCategory.RAM),
            ("irom0_0_seg", "xr", RegionCategory.FLASH),
            ("drom0_0_seg", "r", RegionCategory.FLASH),
            ("dram0_1_seg", "rw", RegionCategory.RAM),
            ("text", "xr", RegionCategory.FLASH),
            ("data", "rw !x", RegionCategory.RAM),
            ("PROGRAM", "", RegionCategory.FLASH),
            ("SRAM1", "", RegionCategory.RAM),
            # Non-volatile extras and link-time pseudo regions are neither.
            ("eeprom", "rw !x", RegionCategory.OTHER),
            ("fuse", "rw !x", RegionCategory.OTHER),
            ("lock", "rw !x", RegionCategory.OTHER),
            ("signature", "rw !x", RegionCategory.OTHER),
            ("IDT_LIST", "xw", RegionCategory.OTHER),
            # Otherwise the attributes: writable is RAM, "!w" is not writable.
            ("mcuboot_hdr", "xr", RegionCategory.FLASH),
            ("metadata", "xr", RegionCategory.FLASH),
            ("rtc_slow_seg", "rw", RegionCategory.RAM),
            ("m_interrupts", "RX", RegionCategory.FLASH),
            ("QSPI", "r !w", RegionCategory.FLASH),
            ("QSPI", "", RegionCategory.OTHER),
        ],
    )
    def test_category(self, name, attributes, expected):
        assert region_category(name, attributes) is expected

    def test_wrapped_region_name_and_missing_attributes(self):
        memory = (
            "Memory Configuration\n\n"
            "Name             Origin             Length             Attributes\n"
            "a_region_with_a_long_name\n"
            "                 0x0000000000001000 0x0000000000000100 rw\n"
            "SRAM             0x0000000020000000 0x0000000000000400\n"
            "*default*        0x0000000000000000 0xffffffffffffffff\n\n"
        )
        regions = parse("", memory=memory).model.memory_regions
        assert [(r.name, r.start_address, r.end_address, r.category) for r in regions] == [
            ("a_region_with_a_long_name", 0x1000, 0x10FF, RegionCategory.RAM),
            ("SRAM", 0x20000000, 0x200003FF, RegionCategory.RAM),
        ]

    def test_unreadable_region_line_names_its_line(self):
        memory = MEMORY.replace("0x0000000000008000 xrw", "0x00008zzz xrw")
        with pytest.raises(MapFormatError) as caught:
            parse("", memory=memory)
        # Line 1 is the archive heading, 2 blank, 3 the memory heading, 4 blank, 5 names, 6 FLASH.
        assert caught.value.line == 7
        assert str(caught.value).startswith("test.map: line 7: bad number in memory region line")

    def test_region_line_without_numbers(self):
        memory = MEMORY.replace("RAM              0x0000000020000000", "RAM              origin")
        with pytest.raises(MapFormatError, match=r"line 7: unreadable memory region line"):
            parse("", memory=memory)


TEXT_AND_DATA = """\
text            0x0000000000000100      0x140
                0x0000000000000100                __text_region_start = .
 *(SORT_BY_ALIGNMENT(.text.*))
 .text.main     0x0000000000000100       0x50 app/libapp.a(main.c.obj)
                0x0000000000000100                main
 .text.z_arm_fault_init
                0x0000000000000150       0x18 zephyr/arch/libarch.a(fault.c.obj)
                0x0000000000000150                z_arm_fault_init
 .text.process_event
                0x0000000000000168       0xd0 zephyr/libzephyr.a(onoff.c.obj)
 *fill*         0x0000000000000238        0x8 
                0x0000000000000240                . = ALIGN (0x10)

datas           0x0000000020000000       0x20 load address 0x0000000000000240
                0x0000000020000000                __data_region_start = .
 .data.counter  0x0000000020000000       0x20 app/libapp.a(main.c.obj)
                0x0000000020000000                counter

bss             0x0000000020000020      0x100
 .bss.buffer    0x0000000020000020      0x100 app/libapp.a(main.c.obj)

"""


class TestOutputSections:
    def test_placement_regions_and_padding(self):
        result = parse(TEXT_AND_DATA)
        text, datas, bss = result.model.sections
        assert (text.name, text.vma, text.lma, text.size) == ("text", 0x100, 0x100, 0x140)
        # Fill inside a section is part of it, never padding drawn after it.
        assert (text.execution_region, text.load_region, text.fill_bytes, text.padding_after) == (
            "FLASH", "FLASH", 8, 0)
        assert (datas.vma, datas.lma, datas.size) == (0x20000000, 0x240, 0x20)
        assert (datas.execution_region, datas.load_region) == ("RAM", "FLASH")
        # NOLOAD data loads where it runs.
        assert (bss.lma, bss.execution_region, bss.load_region) == (0x20000020, "RAM", "RAM")
        assert all(s.padding_before == 0 for s in result.model.sections)
        assert result.truncated_at is None and result.unplaced_sections == []

    def test_wrapped_headers_with_and_without_load_address(self):
        body = (
            ".TFM_SP_LOAD_LIST\n"
            "                0x0000000000000188       0xc4\n"
            " .part_load_priority_lowest\n"
            "                0x0000000000000188       0xc4 secure_fw/load_info_ns_agent_tz.o\n"
            "\n"
            ".TFM_APP_ROT_LINKER_DATA\n"
            "                0x0000000020001c20       0x10 load address 0x00000000000055e0\n"
            " .data.x        0x0000000020001c20       0x10 app.o\n"
            "\n"
        )
        result = parse(body)
        load_list, rot_data = result.model.sections
        assert (load_list.name, load_list.vma, load_list.size, load_list.lma) == (
            ".TFM_SP_LOAD_LIST", 0x188, 0xC4, 0x188)
        assert (rot_data.vma, rot_data.lma, rot_data.execution_region, rot_data.load_region) == (
            0x20001C20, 0x55E0, "RAM", "FLASH")
        assert [s.name for s in result.model.symbols] == [".part_load_priority_lowest", "x"]

    def test_sections_without_address_keep_their_lines_to_themselves(self):
        body = (
            TEXT_AND_DATA
            + "initlevel_error\n"
            " *(SORT_BY_NAME(SORT_BY_ALIGNMENT(.z_init_[_A-Z0-9]*)))\n"
            " .text.stray    0x0000000000000400       0x10 stray.o\n"
            "                0x0000000000000400                stray\n\n"
        )
        result = parse(body)
        assert [s.name for s in result.model.sections] == ["text", "datas", "bss"]
        assert all(s.name != "stray" for s in result.model.symbols)

    def test_empty_discarded_and_non_allocated_sections_are_left_out(self):
        body = (
            ".rel.plt        0x0000000000000000        0x0\n"
            " .rel.iplt      0x0000000000000000        0x0 isr_tables.c.obj\n\n"
            "/DISCARD/\n *(.plt)\n\n"
            "tbss            0x00000000000052a8        0x4\n"
            " .tbss.z_tls_current\n"
            "                0x00000000000052a8        0x4 zephyr/libzephyr.a(thread_entry.c.obj)\n\n"
            ".comment        0x0000000000000000       0x20\n"
            " .comment       0x0000000000000000       0x20 main.o\n\n"
            ".debug_info     0x0000000000000000    0x286c9\n"
            " .debug_info    0x0000000000000000    0x286c9 main.o\n\n"
            ".ARM.attributes\n"
            "                0x0000000000000000       0x2e\n\n"
            ".xt.prop        0x0000000000000000     0xab60\n\n"
            ".last_section   0x000000000004da14        0x4\n"
            "                0x000000000004da14        0x4 LONG 0xe015e015\n\n"
        )
        result = parse(body)
        assert [s.name for s in result.model.sections] == [".last_section"]
        assert result.model.symbols == []

    def test_sections_ld_did_not_move_past_are_left_out(self):
        # CMSIS's ".heap (COPY)": ld prints it like any section but puts the
        # next one at its address.  The overlay members that follow share an
        # address too, but load from their own, and stay.
        body = (
            ".bss            0x0000000020000000       0x30\n"
            " .bss           0x0000000020000000       0x30 main.o\n"
            "                0x0000000020000000                buffer\n\n"
            ".heap           0x0000000020000030      0x200\n"
            "                0x0000000020000030                __HeapBase = .\n"
            " *(.heap*)\n"
            " .heap          0x0000000020000030      0x200 startup.o\n"
            "                0x0000000020000230                __HeapLimit = .\n\n"
            ".stack_dummy    0x0000000020000030      0x400\n"
            " *(.stack*)\n"
            " .stack         0x0000000020000030      0x400 startup.o\n\n"
            ".ov1            0x0000000020004000        0x8 load address 0x0000000000000058\n"
            " .ov1           0x0000000020004000        0x8 main.o\n"
            "                0x0000000020004000                ov1_fn\n\n"
            ".ov2            0x0000000020004000       0x58 load address 0x0000000000000060\n"
            " .ov2           0x0000000020004000       0x58 main.o\n"
            "                0x0000000020004000                ov2_fn\n\n"
        )
        result = parse(body)
        # The last of a region leaves no trace: ld places nothing after it.
        assert [s.name for s in result.model.sections] == [".bss", ".stack_dummy", ".ov1", ".ov2"]
        assert "__HeapBase" not in {s.name for s in result.model.symbols}
        assert result.model.stack_heap_hints["heap_sections"] == []

    def test_noload_section_whose_load_span_a_later_section_holds(self):
        # ".ccmram (NOLOAD) : { *(.ccmram) } > CCMRAM" after a section loaded
        # into FLASH2: ld prints a load address for it, stores nothing there,
        # and places .bank2 at that very address.
        memory = MEMORY.replace(
            "*default*",
            "CCMRAM           0x0000000010000000 0x0000000000010000 rw\n"
            "FLASH2           0x0000000008080000 0x0000000000080000 xr\n*default*",
        )
        body = (
            ".ccmdata        0x0000000010000000        0xc load address 0x0000000008080000\n"
            " .ccmdata       0x0000000010000000        0xc main.o\n"
            "                0x0000000010000000                ccm_init\n\n"
            ".ccmram         0x000000001000000c       0x80 load address 0x000000000808000c\n"
            " .ccmram        0x000000001000000c       0x80 main.o\n"
            "                0x000000001000000c                ccm_buf\n\n"
            ".bkpsram        0x0000000040024000       0x20\n"
            " .bkpsram       0x0000000040024000       0x20 main.o\n\n"
            ".bank2          0x000000000808000c      0x10a\n"
            " .bank2         0x000000000808000c      0x10a main.o\n\n"
        )
        result = parse(body, memory=memory)
        placed = {s.name: (s.execution_region, s.load_region) for s in result.model.sections}
        assert placed[".ccmdata"] == ("CCMRAM", "FLASH2")
        assert placed[".ccmram"] == ("CCMRAM", "CCMRAM")

    def test_fill_only_section_is_a_reservation_not_padding(self):
        body = (
            ".msp_stack      0x0000000020000400      0x7f8\n"
            "                0x0000000020000bf8                . = (. + (__msp_stack_size__ - 0x8))\n"
            " *fill*         0x0000000020000400      0x7f8 \n\n"
            ".heap           0x0000000020000c00     0x1000\n"
            "                0x0000000020000c00                __HeapBase = .\n"
            "                0x0000000020001c00                . = (. + __heap_size__)\n"
            " *fill*         0x0000000020000c00     0x1000 \n\n"
            # Nothing but alignment: padding, although no input section is there.
            ".ramfunc        0x000000002000c568       0x18 load address 0x000000000004d1a0\n"
            "                0x000000002000c580                . = ALIGN (_region_min_align)\n"
            " *fill*         0x000000002000c568       0x18 \n"
            " *(SORT_BY_ALIGNMENT(.ramfunc))\n\n"
            # A placeholder word, then alignment to 32 bytes.
            ".TFM_APP_ROT_LINKER_BSS\n"
            "                0x0000000020001c20       0x20\n"
            "                0x0000000020001c24                . = (. + (. - start_of_TFM_APP_ROT_LINKER)?0x0:0x4)\n"
            " *fill*         0x0000000020001c20        0x4 \n"
            "                0x0000000020001c40                . = ALIGN (0x20)\n"
            " *fill*         0x0000000020001c24       0x1c \n\n"
            ".TFM_SP_META_PTR\n"
            "                0x0000000020001c00       0x20\n"
            " .bss.SP_META_PTR_SPRTL_INST\n"
            "                0x0000000020001c00        0x4 libtfm_sprt.a(sprt_partition_metadata_indicator.o)\n"
            "                0x0000000020001c00                p_partition_metadata\n"
            "                0x0000000020001c20                . = ALIGN (0x20)\n"
            " *fill*         0x0000000020001c04       0x1c \n\n"
            ".copy.table     0x0000000000000144        0xc\n"
            "                0x0000000000000144        0x4 LONG 0xfc40 LOADADDR (.TFM_DATA)\n"
            " *fill*         0x0000000000000148        0x4 \n"
            "                0x000000000000014c        0x4 LONG 0x20002e20 ADDR (.TFM_DATA)\n\n"
        )
        result = parse(body)
        assert {(s.padding_before, s.padding_after) for s in result.model.sections} == {(0, 0)}
        fill = {s.name: s.fill_bytes for s in result.model.sections}
        assert fill == {
            ".msp_stack": 0,
            ".heap": 0,
            ".ramfunc": 0x18,
            ".TFM_APP_ROT_LINKER_BSS": 0x1C,
            # With content in the section, every fill byte is waste.
            ".TFM_SP_META_PTR": 0x1C,
            ".copy.table": 4,
        }
        assert result.model.stack_heap_hints == {
            "stack_sections": [".msp_stack"],
            "heap_sections": [".heap"],
        }
        # Data statements are content, not symbols.
        assert [s.name for s in result.model.symbols] == ["p_partition_metadata"]

    def test_region_choice(self):
        memory = (
            "Memory Configuration\n\n"
            "Name             Origin             Length             Attributes\n"
            "FLASH            0x0000000008000000 0x0000000000100000 xr\n"
            "FLASH_ISR        0x0000000008000000 0x0000000000004000 xr\n"
            "RAM              0x0000000020000000 0x0000000000001000 xrw\n"
            "*default*        0x0000000000000000 0xffffffffffffffff\n\n"
        )
        body = (
            ".isr_vector     0x0000000008000000      0x400\n\n"
            # Starts in FLASH_ISR but runs past it: FLASH holds all of it.
            ".text           0x0000000008003000     0x2000\n\n"
            # Overflows RAM: still RAM, so the overflow shows up there.
            ".bss            0x0000000020000800     0x1000\n\n"
            ".ext            0x0000000060000000       0x10\n\n"
        )
        result = parse(body, memory=memory)
        placed = {s.name: s.execution_region for s in result.model.sections}
        assert placed == {".isr_vector": "FLASH_ISR", ".text": "FLASH", ".bss": "RAM", ".ext": None}
        assert result.unplaced_sections == [".ext"]
        issue = next(i for i in result.issues() if i.id == "map:unplaced:.ext")
        assert issue.affected_entities == [".ext"] and issue.severity is IssueSeverity.WARNING

    def test_stack_and_heap_hints_follow_section_names(self):
        body = (
            "k_heap_area     0x0000000020000000       0x14 load address 0x0000000000000400\n"
            " ._k_heap.static._system_heap_\n"
            "                0x0000000020000000       0x14 zephyr/kernel/libkernel.a(mempool.c.obj)\n\n"
            ".stack_dummy    0x0000000020000100      0x200\n"
            " .stack_dummy   0x0000000020000100      0x200 startup.o\n\n"
            "k_stack_area    0x0000000020000300        0x0\n\n"
        )
        hints = parse(body).model.stack_heap_hints
        # The empty k_stack_area is not in the model, so it is no hint either.
        assert hints == {"stack_sections": [".stack_dummy"], "heap_sections": ["k_heap_area"]}


class TestSymbols:
    def test_names_objects_and_archives(self):
        result = parse(TEXT_AND_DATA)
        rows = [(s.name, s.address, s.size, s.section_name, s.object_file, s.archive)
                for s in result.model.symbols]
        assert rows == [
            ("main", 0x100, 0x50, "text", "main.c.obj", "app/libapp.a"),
            ("z_arm_fault_init", 0x150, 0x18, "text", "fault.c.obj", "zephyr/arch/libarch.a"),
            # No symbol line (a static function): the section names it.
            ("process_event", 0x168, 0xD0, "text", "onoff.c.obj", "zephyr/libzephyr.a"),
            ("counter", 0x20000000, 0x20, "datas", "main.c.obj", "app/libapp.a"),
            ("buffer", 0x20000020, 0x100, "bss", "main.c.obj", "app/libapp.a"),
        ]
        assert all(s.demangled_name is None and s.source_file is None for s in result.model.symbols)

    @pytest.mark.parametrize(
        "input_section, expected",
        [
            (".text.main", "main"),
            (".text.usage_fault.isra.0", "usage_fault.isra.0"),
            (".text.unlikely.abort", "abort"),
            (".text.startup._GLOBAL__sub_I__ZN8SPIClass5beginEv", "_GLOBAL__sub_I__ZN8SPIClass5beginEv"),
            (".bss.rshift_pressed.1513", "rshift_pressed.1513"),
            (".data.rel.ro.local.table", "table"),
            # GCC's sections of a kind (static constructors and cold code at
            # -O2, PIC data): what they hold is no symbol called "startup".
            (".text.startup", None),
            (".text.unlikely", None),
            (".data.rel.ro.local", None),
            (".data.rel.local", None),
            (".sbss.flag", "flag"),
            ('.noinit."WEST_TOPDIR/zephyr/kernel/mempool.c".kheap_buf__system_heap', "kheap_buf__system_heap"),
            ('.noinit."../src/common/dect_timers.c".2', None),
            (".rodata.str1.1", None),
            (".rodata.main.str1.1", None),
            (".rodata.cst8", None),
            (".text", None),
            (".exc_vector_table._vector_table_section", None),
            (".ARM.exidx.text.__aeabi_atexit", None),
            ("COMMON", None),
        ],
    )
    def test_symbol_name_from_section(self, input_section, expected):
        assert symbol_name_from_section(input_section) == expected

    @pytest.mark.parametrize(
        "text, expected",
        [
            ("main.o", ("main.o", None)),
            ("/usr/lib/gcc/avr/4.5.3/avr5/libgcc.a(_copy_data.o)",
             ("_copy_data.o", "/usr/lib/gcc/avr/4.5.3/avr5/libgcc.a")),
            ("C:/Program Files (x86)/arm/lib/libc.a(lib_a-memcpy.o)",
             ("lib_a-memcpy.o", "C:/Program Files (x86)/arm/lib/libc.a")),
            ("linker stubs", ("linker stubs", None)),
            ("", (None, None)),
        ],
    )
    def test_split_archive_member(self, text, expected):
        assert split_archive_member(text) == expected

    def test_several_symbols_share_an_input_section_by_address(self):
        body = (
            ".bss            0x008001e5       0x84\n"
            " *(COMMON)\n"
            " COMMON         0x008001e5       0x84 main.o\n"
            "                0x008001e5                main_loop_row\n"
            "                0x008001e6                main_layers_pressed\n"
            "                0x0080023a                main_arg_row\n"
            "                0x0080023c                layers\n"
            "                0x00800264                main_arg_col\n"
            "                0x00800269                PROVIDE (__bss_end, .)\n\n"
        )
        rows = [(s.name, s.address, s.size) for s in parse(body).model.symbols]
        assert rows == [
            ("main_loop_row", 0x8001E5, 1),
            ("main_layers_pressed", 0x8001E6, 0x54),
            ("main_arg_row", 0x80023A, 2),
            ("layers", 0x80023C, 0x28),
            ("main_arg_col", 0x800264, 0x84 - (0x800264 - 0x8001E5)),
        ]

    def test_aliases_and_symbols_outside_the_input_section(self):
        body = (
            ".text           0x0000000000001000       0x30\n"
            " .text.__fault  0x0000000000001000       0x14 libarch.a(fault_s.S.obj)\n"
            "                0x0000000000001000                z_arm_bus_fault\n"
            "                0x0000000000001000                z_arm_usage_fault\n"
            "                0x0000000000001014                __fault_end\n"
            " .startup       0x0000000000001014       0x1c startup.c.o\n"
            "                0x0000000000001024                ResetHandler\n\n"
        )
        rows = [(s.name, s.address, s.size) for s in parse(body).model.symbols]
        assert rows == [
            # The alias listed first names the bytes; the end label takes none.
            ("z_arm_bus_fault", 0x1000, 0x14),
            # Static code before the first global symbol keeps the section's name.
            (".startup", 0x1014, 0x10),
            ("ResetHandler", 0x1024, 0xC),
        ]

    def test_script_lines_are_not_symbols(self):
        body = (
            ".iram0.vectors  0x0000000040080000      0x400 load address 0x0000000000015608\n"
            "                0x0000000040080000                _init_start = ABSOLUTE (.)\n"
            " .Level3InterruptVector.text\n"
            "                0x00000000400801c0       0x25 libarch__xtensa__core.a(xtensa-asm2-util.S.obj)\n"
            "                                         0x29 (size before relaxing)\n"
            "                0x00000000400801d0                _Level3Vector\n"
            "                0x0000000000000200                . = 0x200\n"
            "                0x00000000400801e0                late_label\n"
            "                [!provide]                        PROVIDE (__rel_iplt_start = .)\n"
            "                0x00000000400801e2                        vfprintf = __l_vfprintf\n\n"
        )
        rows = [(s.name, s.address, s.size) for s in parse(body).model.symbols]
        # The relaxation note keeps the symbol list open; the assignment closes it.
        assert rows == [(".Level3InterruptVector.text", 0x400801C0, 0x10), ("_Level3Vector", 0x400801D0, 0x15)]

    def test_relaxation_note_is_no_address(self):
        # At address 0 the note's number would fall inside the input section.
        body = (
            ".vectors        0x0000000000000000       0x40\n"
            " .vectors       0x0000000000000000       0x40 vectors.S.obj\n"
            "                                         0x48 (size before relaxing)\n"
            "                0x0000000000000000                _vector_table\n"
            "                                         0x29 (size before relaxing)\n\n"
        )
        rows = [(s.name, s.address, s.size) for s in parse(body).model.symbols]
        assert rows == [("_vector_table", 0, 0x40)]

    def test_cpp_names(self):
        body = (
            ".text.itcm      0x0000000000000000      0x100 load address 0x00000000600031e8\n"
            " .text._ZN14EventResponder12triggerEventEiPv\n"
            "                0x0000000000000000       0x18 ./build/SPI.cpp.o\n"
            "                0x0000000000000000                EventResponder::triggerEvent(int, void*)\n"
            " .text._ZN8SPIClass8transferEPKvPvj.part.0\n"
            "                0x0000000000000018       0x60 ./build/SPI.cpp.o\n"
            " .text._ZN3FooaSERKS_\n"
            "                0x0000000000000078       0x10 ./build/Foo.cpp.o\n"
            "                0x0000000000000078                Foo::operator=(Foo const&)\n"
            " .text          0x0000000000000088       0x20 ./build/Bar.cpp.o\n"
            "                0x0000000000000088                Bar::run() const\n\n"
        )
        rows = [(s.name, s.demangled_name, s.size) for s in parse(body).model.symbols]
        assert rows == [
            ("_ZN14EventResponder12triggerEventEiPv", "EventResponder::triggerEvent(int, void*)", 0x18),
            ("_ZN8SPIClass8transferEPKvPvj.part.0", None, 0x60),
            ("_ZN3FooaSERKS_", "Foo::operator=(Foo const&)", 0x10),
            # No linkage name to be had: the demangled text is the name.
            ("Bar::run() const", None, 0x20),
        ]

    def test_merged_string_sections_take_no_bytes_of_their_own(self):
        # ld prints every merged input at the current address with its size
        # before merging; the first one holds all the merged bytes.
        body = (
            "rodata          0x00000000000052b0      0x650\n"
            " .rodata.levels.0\n"
            "                0x00000000000052b0      0x0f4 zephyr/kernel/libkernel.a(init.c.obj)\n"
            " .rodata.main.str1.1\n"
            "                0x00000000000053a4      0x541 app/libapp.a(main.c.obj)\n"
            "                                 0x84 (size before relaxing)\n"
            " .rodata.boot_banner.str1.1\n"
            "                0x00000000000058e5       0x3b zephyr/libzephyr.a(boot_banner.c.obj)\n"
            " .rodata.str1.1\n"
            "                0x00000000000058e5        0xe zephyr/drivers/gpio/libdrivers__gpio.a(gpio_nrfx.c.obj)\n"
            " .rodata.drive_modes\n"
            "                0x00000000000058e5        0x8 zephyr/drivers/pinctrl/libdrivers__pinctrl.a(pinctrl_nrf.c.obj)\n"
            " .rodata.empty  0x00000000000058ed        0x0 empty.o\n"
            " .rodata.ports  0x00000000000058ed       0x12 modules/hal_nordic/nrfx/libnrfx.a(nrfx_gpiote.c.obj)\n"
            " .rodata.z_cstart.str1.1\n"
            "                0x00000000000058ff        0x5 zephyr/kernel/libkernel.a(init.c.obj)\n"
            " *fill*         0x00000000000058ff        0x1 \n\n"
        )
        result = parse(body)
        rows = [(s.name, s.address, s.size) for s in result.model.symbols]
        assert rows == [
            ("levels.0", 0x52B0, 0xF4),
            (".rodata.main.str1.1", 0x53A4, 0x541),
            ("drive_modes", 0x58E5, 8),
            ("ports", 0x58ED, 0x12),
        ]
        assert sum(size for _, _, size in rows) + section(result, "rodata").fill_bytes == 0x650

    def test_crlf_map_reads_the_same(self):
        text = make_map(TEXT_AND_DATA)
        assert parse_map_text(text.replace("\n", "\r\n"), "x").model == parse_map_text(text, "x").model


AVR_CUT = """\
Memory Configuration

Name             Origin             Length             Attributes
text             0x00000000         0x00020000         xr
data             0x00800060         0x0000ffa0         rw !x
*default*        0x00000000         0xffffffff

Linker script and memory map

.text           0x00000000       0xb0
 .vectors       0x00000000       0xac crtm32u4.o
                0x00000000                __vectors
 .init2         0x000000ac        0x4 crtm32u4.o

.data           0x00800100        0x2 load address 0x000000b0
 .data.flag     0x00800100        0x2 main.o
                0x00800100                flag
OUTPUT(firmware.elf elf32-avr)
"""


class TestBadInput:
    @pytest.mark.parametrize(
        "content",
        [
            b"",
            b'{"memory_regions": [], "sections": [], "symbols": [], "stack_heap_hints": {}}',
            b"Component: ARM Compiler 5.06 update 5 (build 528) Tool: armlink [4d35e2]\n",
            b"\x7fELF\x01\x01\x01\x00" + bytes(range(256)) * 4,
        ],
        ids=["empty", "json-model", "armlink", "binary"],
    )
    def test_not_a_map(self, tmp_path, content):
        path = tmp_path / "firmware.map"
        path.write_bytes(content)
        with pytest.raises(MapFormatError) as caught:
            read_map_file(path)
        error = caught.value
        assert isinstance(error, ModelFormatError) and isinstance(error, ValueError)
        assert error.source == str(path) and error.line == 1
        assert str(error) == f"{path}: line 1: not a GNU ld map file " \
            "(no 'Linker script and memory map' or 'Memory Configuration' part)"

    def test_map_that_ends_before_its_memory_map(self):
        text = AVR_CUT[: AVR_CUT.index("Linker script")]
        with pytest.raises(MapFormatError, match=r"^cut\.map: line 7: the map ends before"):
            parse_map_text(text, "cut.map")

    def test_map_that_ends_inside_its_memory_map(self):
        cut = AVR_CUT[: AVR_CUT.index(" .init2")]
        with pytest.raises(MapFormatError) as caught:
            parse_map_text(cut, "cut.map")
        assert str(caught.value) == (
            f"cut.map: line {cut.count(chr(10))}: the map ends inside output section .text; is it truncated?"
        )
        before_output = AVR_CUT[: AVR_CUT.index("OUTPUT(")] + "LOAD extra.o\n"
        with pytest.raises(MapFormatError, match="ends inside its memory map, after output section .data;"):
            parse_map_text(before_output, "cut.map")
        # Read as far as it goes only when asked, and then it says so.
        result = parse_map_text(cut, "cut.map", allow_partial=True)
        assert result.truncated_at == cut.count("\n")
        text_section = result.model.sections[0]
        # The header's size stands; the symbols are what was read.
        assert (text_section.name, text_section.size) == (".text", 0xB0)
        assert [s.name for s in result.model.symbols] == ["__vectors"]
        issue = result.issues()[0]
        assert issue.id == "map:truncated" and issue.severity is IssueSeverity.WARNING
        assert f"line {result.truncated_at}" in issue.description

    def test_cut_after_the_memory_map_is_the_whole_build(self):
        # ld's closing OUTPUT(...) line was read: what is cut is the file name, nothing that has a size.
        whole = parse_map_text(AVR_CUT, "whole.map")
        assert whole.truncated_at is None
        assert parse_map_text(AVR_CUT[:-5], "cut.map").model == whole.model

    def test_every_cut_gives_the_whole_build_or_a_clear_error(self):
        text = AVR_CUT
        whole = parse_map_text(text, "whole.map").model
        for end in range(len(text) + 1):
            try:
                result = parse_map_text(text[:end], "cut.map")
            except MapFormatError as error:
                assert error.line is not None and error.line >= 1
                assert "\n" not in str(error)
                continue
            assert result.model == whole, end

    def test_contents_past_the_end_of_a_section_are_refused(self):
        damaged = AVR_CUT.replace(".text           0x00000000       0xb0", ".text           0x00000000       0x0b")
        with pytest.raises(MapFormatError) as caught:
            parse_map_text(damaged, "bad.map")
        line = damaged[: damaged.index(" .init2")].count("\n") + 1
        assert str(caught.value) == (
            f"bad.map: line {line}: an input section of output section .text starts past its end (0xb); "
            "is the map damaged?"
        )
        result = parse_map_text(damaged, "bad.map", allow_partial=True)
        assert [issue.id for issue in result.issues()] == ["map:damaged:0"]

    def test_map_without_memory_configuration(self):
        text = AVR_CUT[AVR_CUT.index("Linker script"):]
        result = parse_map_text(text, "nomem.map")
        model = result.model
        assert model.memory_regions == []
        assert [(s.name, s.execution_region, s.load_region) for s in model.sections] == [
            (".text", None, None),
            (".data", None, None),
        ]
        assert [s.name for s in model.symbols] == ["__vectors", ".init2", "flag"]
        assert [i.id for i in result.issues()] == ["map:no-memory-configuration"]
        # Still a valid model: the JSON loader's checks accept it.
        build = BuildInput(model=model)
        assert build_from_json(build_to_json(build), "nomem").model == model

    def test_script_without_memory_command(self):
        # ld still writes the heading, with the catch-all *default* alone.
        memory = (
            "Memory Configuration\n\n"
            "Name             Origin             Length             Attributes\n"
            "*default*        0x0000000000000000 0xffffffffffffffff\n\n"
        )
        result = parse(TEXT_AND_DATA, memory=memory)
        assert result.model.memory_regions == []
        assert {s.execution_region for s in result.model.sections} == {None}
        assert len(result.model.symbols) == 5
        assert [i.id for i in result.issues()] == ["map:no-memory-configuration"]

    def test_legacy_code_page_paths(self):
        text = make_map(" .text.f        0x0000000000000000        0x4 C:/Users/J\xfcrgen/f.o\n")
        data = text.replace("LOAD app/libapp.a\n\n", "LOAD app/libapp.a\n\n.text 0x0 0x4\n").encode("latin-1")
        assert b"\xfc" in data
        model = parse_map_text(data.decode("latin-1"), "x").model
        assert model.symbols[0].object_file == "C:/Users/J\xfcrgen/f.o"


class TestEntryPoints:
    def test_path_and_text_give_one_model(self, tmp_path):
        path = tmp_path / "firmware.map"
        path.write_text(make_map(TEXT_AND_DATA))
        from_path = read_map_file(path)
        assert from_path == read_map_file(str(path)) == read_map_file(make_map(TEXT_AND_DATA))
        assert len(from_path.sections) == 3

    def test_load_map_build(self, tmp_path):
        path = tmp_path / "firmware.map"
        path.write_text(make_map(TEXT_AND_DATA, tail=""))
        with pytest.raises(MapFormatError, match="the map ends inside output section bss; is it truncated"):
            load_map_build(path)
        build = load_map_build(path, allow_partial=True)
        assert isinstance(build, BuildInput)
        assert [i.id for i in build.issues] == ["map:truncated"]
        by_name = {c.name: c for c in build.components}
        app = by_name["libapp"]
        assert app.objects == ["main.c.obj"]
        # main in flash; counter runs in RAM and loads from flash; buffer in RAM.
        assert (app.total_flash, app.total_ram) == (0x50 + 0x20, 0x20 + 0x100)
        assert load_map_build(path, group_components=False, allow_partial=True).components == []

    def test_missing_file_raises_os_error(self, tmp_path):
        with pytest.raises(OSError):
            read_map(tmp_path / "absent.map")

    def test_progress_lines(self, tmp_path, capsys):
        path = tmp_path / "firmware.map"
        path.write_text(make_map(TEXT_AND_DATA))
        read_map(path)
        assert capsys.readouterr().err == ""  # small files stay quiet
        read_map(path, progress=True)
        lines = capsys.readouterr().err.splitlines()
        assert len(lines) == 2
        assert lines[0].startswith(f"brenvale: reading linker map {path} (")
        assert lines[1].startswith(f"brenvale: read {path}: 2 regions, 3 sections, 5 symbols in ")
        stream = io.StringIO()
        read_map(path, progress=stream)
        assert capsys.readouterr().err == "" and stream.getvalue().count("\n") == 2

    def test_load_build_input_decides_by_content(self, tmp_path):
        as_map = tmp_path / "build.json"  # the name does not matter
        as_map.write_text(make_map(TEXT_AND_DATA))
        assert len(load_build_input(as_map).model.symbols) == 5
        model = tmp_path / "firmware.map"
        model.write_text(json.dumps(build_to_json(load_build_input(as_map))))
        assert load_build_input(model).model == load_build_input(as_map).model
        broken = tmp_path / "broken.json"
        broken.write_text('{"memory_regions": [')
        with pytest.raises(ModelFormatError, match="invalid JSON"):
            load_build_input(broken)
        for text, message in (
            ("Component: ARM Compiler 5.06 update 5 (build 528) Tool: armlink [4d35e2]\n",
             "no 'Memory Map of the image' part: not an armlink map"),
            ("# IAR ELF Linker V7.60.2.11341/W32 for ARM\n", "no PLACEMENT SUMMARY part in this IAR map"),
            ("hello\n", "neither a JSON build model nor a GNU ld, armlink, lld or IAR map file"),
        ):
            other = tmp_path / "other.map"
            other.write_text(text)
            with pytest.raises(MapFormatError, match=f"^{other}: line 1: {message}"):
                load_build_input(other)

    def test_utf16_map_from_a_powershell_redirect(self, tmp_path):
        text = make_map(TEXT_AND_DATA).replace("\n", "\r\n")
        plain = tmp_path / "plain.map"
        plain.write_text(text, encoding="utf-8")
        for encoding in ("utf-16-le", "utf-16-be"):
            path = tmp_path / f"{encoding}.map"
            bom = b"\xff\xfe" if encoding.endswith("le") else b"\xfe\xff"
            path.write_bytes(bom + text.encode(encoding))
            assert load_build_input(path).model == load_build_input(plain).model
            # Cut inside a character: still a map that ends early, not a smaller build.
            data = path.read_bytes()
            path.write_bytes(data[:data.index("OUTPUT(".encode(encoding)) - 3])
            with pytest.raises(MapFormatError, match="truncated"):
                load_build_input(path)


class TestDamagedLines:
    def test_addresses_beyond_the_records_range_and_outside_the_section(self):
        body = (
            ".huge           0xfffffffffffffff0       0x20\n"
            " .text.huge     0xfffffffffffffff0       0x20 huge.o\n\n"
            ".text           0x0000000000000100       0x20\n"
            " .text.stray    0x0000000000000080       0x10 stray.o\n"
            " .text.ok       0x0000000000000100       0x20 ok.o\n\n"
        )
        result = parse(body)
        assert [s.name for s in result.model.sections] == [".text"]
        assert [(s.name, s.address) for s in result.model.symbols] == [("ok", 0x100)]
