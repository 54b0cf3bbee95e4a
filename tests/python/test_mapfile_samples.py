"""Real GNU ld maps from public firmware projects (data/maps, see ATTRIBUTION.md).

Expected values are read off the map text: the line that shows each one is
quoted beside it.  The counts were also checked against an independent
conversion of the same maps (one symbol per input section, kept beside the
maps' source): the same output sections with the same addresses, sizes,
regions and paddings, and every input section found.  This reader has more
symbols where ld lists several symbols at different addresses inside one
input section (a COMMON block, a non-function-sections .text, assembler
vectors) and splits the input section between them; the ergodox map shows
the sum: 60 input sections with bytes, plus two more symbols in
default--layout.o's .progmem.data (_kb_layout_press, _kb_layout_release) and
nine more in main.o's COMMON, 71 symbols.
"""

from pathlib import Path

import pytest

from brenvale.readers import gnu_ld
from brenvale.readers.gnu_ld import (
    is_gnu_ld_map_file,
    load_map_build,
    looks_like_gnu_ld_map,
    parse_map_text,
    read_map,
)
from brenvale.model_io import build_from_json, build_to_json
from brenvale.records import RegionCategory

MAPS = Path(__file__).parent / "data" / "maps"

FLASH, RAM, OTHER = RegionCategory.FLASH, RegionCategory.RAM, RegionCategory.OTHER

# name -> regions (name, origin, length, category), output sections in map
# order, symbol count, stack and heap hints, sections whose symbols and
# padding do not add up to their size (data statements, reservations).
EXPECTED = {
    "avr-atmega32u4-ergodox": dict(
        regions=[
            ("text", 0x0, 0x20000, FLASH),
            ("data", 0x800060, 0xFFA0, RAM),
            ("eeprom", 0x810000, 0x10000, OTHER),
            ("fuse", 0x820000, 0x400, OTHER),
            ("lock", 0x830000, 0x400, OTHER),
            ("signature", 0x840000, 0x400, OTHER),
        ],
        sections=[".text", ".data", ".bss"],
        symbols=71,
        hints=([], []),
        short=set(),
    ),
    "nrf52840-zephyr-spectrum-analyzer": dict(
        regions=[
            ("FLASH", 0x0, 0x100000, FLASH),
            ("RAM", 0x20000000, 0x40000, RAM),
            ("IDT_LIST", 0xFFFF7FFF, 0x8000, OTHER),
        ],
        sections=[
            "rom_start", "text", ".ARM.exidx", "initlevel", "device_area", "sw_isr_table",
            "device_api_area", "rodata", "datas", "device_states", ".last_section", "bss", "noinit",
        ],
        symbols=377,
        hints=([], []),
        short=set(),
    ),
    "nrf9161-tfm-secure": dict(
        regions=[("FLASH", 0x0, 0x10000, FLASH), ("RAM", 0x20000000, 0x8000, RAM)],
        sections=[
            ".TFM_VECTORS", ".copy.table", ".zero.table", ".TFM_SP_LOAD_LIST", ".TFM_PSA_ROT_LINKER",
            ".ARM.exidx", ".ER_TFM_CODE", ".tfm_bl2_shared_data", ".msp_stack", ".msp_stack_seal_res",
            ".heap", ".TFM_SP_META_PTR", ".TFM_APP_ROT_LINKER_BSS", ".TFM_PSA_ROT_LINKER_BSS",
            ".TFM_UNPRIV_CODE", ".psa_interface_cross_call", ".gnu.sgstubs", ".TFM_DATA", ".TFM_BSS",
        ],
        symbols=585,
        hints=([".msp_stack", ".msp_stack_seal_res"], [".heap"]),
        # LONG tables; "(. + 0x400)" and stack/heap reservations; a 4-byte
        # placeholder word; veneer room past the 0x28 bytes of stubs.
        short={
            ".copy.table", ".zero.table", ".tfm_bl2_shared_data", ".msp_stack", ".msp_stack_seal_res",
            ".heap", ".TFM_APP_ROT_LINKER_BSS", ".gnu.sgstubs",
        },
    ),
    "imxrt1062-teensy41-dart": dict(
        regions=[
            ("ITCM", 0x0, 0x80000, RAM),
            ("DTCM", 0x20000000, 0x80000, RAM),
            ("RAM", 0x20200000, 0x80000, RAM),
            ("FLASH", 0x60000000, 0x7C0000, FLASH),
            ("ERAM", 0x70000000, 0x1000000, RAM),
        ],
        sections=[
            ".text.headers", ".text.code", ".text.progmem", ".text.itcm", ".fini", ".ARM.exidx",
            ".data", ".bss", ".bss.dma", ".text.csf",
        ],
        symbols=1372,
        hints=([], []),
        short=set(),
    ),
    "nrf9161-zephyr-dect-nr": dict(
        regions=[
            ("FLASH", 0x10000, 0xF0000, FLASH),
            ("RAM", 0x2000C568, 0x33A98, RAM),
            ("IDT_LIST", 0xFFFFF7FF, 0x800, OTHER),
        ],
        sections=[
            "rom_start", "text", ".ARM.exidx", "initlevel", "device_area", "sw_isr_table",
            "_static_thread_data_area", "log_const_area", "log_backend_area", "zephyr_dbg_info",
            "shell_area", "shell_root_cmds_area", "shell_subcmds_area", "shell_dynamic_subcmds_area",
            "rodata", ".ramfunc", "datas", "device_states", "log_mpsc_pbuf_area", "log_msg_ptr_area",
            "log_dynamic_area", "k_heap_area", "k_mutex_area", "k_msgq_area", "k_sem_area",
            "k_queue_area", "rtio_area", "rtio_iodev_area", "rtio_sqe_pool_area", "rtio_cqe_pool_area",
            "bss", "noinit", ".last_section",
        ],
        symbols=2876,
        hints=([], ["k_heap_area"]),
        short={".last_section"},  # LONG 0xe015e015
    ),
}

_results = {}


def result_of(name):
    if name not in _results:
        _results[name] = read_map(MAPS / f"{name}.map", progress=False)
    return _results[name]


def model_of(name):
    return result_of(name).model


def by_name(items):
    return {item.name: item for item in items}


@pytest.mark.parametrize("name", sorted(EXPECTED))
class TestCounts:
    def test_is_recognised(self, name):
        assert is_gnu_ld_map_file(MAPS / f"{name}.map")

    def test_regions(self, name):
        regions = [
            (r.name, r.start_address, r.size, r.category) for r in model_of(name).memory_regions
        ]
        assert regions == EXPECTED[name]["regions"]
        for region in model_of(name).memory_regions:
            assert region.end_address == region.start_address + region.size - 1

    def test_sections_and_symbols(self, name):
        model = model_of(name)
        assert [s.name for s in model.sections] == EXPECTED[name]["sections"]
        assert len(model.symbols) == EXPECTED[name]["symbols"]

    def test_hints(self, name):
        stack, heap = EXPECTED[name]["hints"]
        assert model_of(name).stack_heap_hints == {"stack_sections": stack, "heap_sections": heap}

    def test_read_completely(self, name):
        result = result_of(name)
        assert result.truncated_at is None and result.unplaced_sections == []
        assert [i.id for i in result.issues() if not i.id.startswith("region-category-guessed:")] == []


@pytest.mark.parametrize("name", sorted(EXPECTED))
class TestConsistency:
    def test_symbols_fill_their_sections(self, name):
        model = model_of(name)
        sections = by_name(model.sections)
        placed = {}
        for symbol in model.symbols:
            section = sections[symbol.section_name]
            assert symbol.size > 0
            assert section.vma <= symbol.address
            assert symbol.address + symbol.size <= section.vma + section.size, symbol
            placed.setdefault(symbol.section_name, []).append(symbol)
        for section_name, symbols in placed.items():
            symbols.sort(key=lambda s: s.address)
            for before, after in zip(symbols, symbols[1:]):
                assert before.address + before.size <= after.address, (before, after)
        # Symbols and fill account for every byte that the header gives,
        # apart from bytes that no input section provides.
        short = {
            s.name
            for s in model.sections
            if sum(x.size for x in placed.get(s.name, [])) + s.fill_bytes != s.size
        }
        assert short == EXPECTED[name]["short"]

    def test_sections_fit_their_regions(self, name):
        model = model_of(name)
        regions = by_name(model.memory_regions)
        for section in model.sections:
            run = regions[section.execution_region]
            load = regions[section.load_region]
            assert run.start_address <= section.vma
            assert section.vma + section.size - 1 <= run.end_address
            if section.load_region != section.execution_region:
                assert load.start_address <= section.lma <= load.end_address
            if section.lma == section.vma:
                assert section.load_region == section.execution_region

    def test_model_is_valid_for_the_json_loader(self, name):
        build = load_map_build(MAPS / f"{name}.map", progress=False)
        again = build_from_json(build_to_json(build), name)
        assert again.model == build.model
        assert again.components == build.components
        # Every symbol belongs to exactly one component.
        assert sum(len(c.symbols) for c in build.components) == len(build.model.symbols)


class TestValuesFromTheMapText:
    def test_avr(self):
        model = model_of("avr-atmega32u4-ergodox")
        sections = by_name(model.sections)
        # ".data           0x00800100       0x1a load address 0x000023aa"
        data = sections[".data"]
        assert (data.vma, data.size, data.lma) == (0x800100, 0x1A, 0x23AA)
        assert (data.execution_region, data.load_region) == ("data", "text")
        # ".bss            0x0080011a      0x14f", no load address
        bss = sections[".bss"]
        assert (bss.vma, bss.lma, bss.size, bss.load_region) == (0x80011A, 0x80011A, 0x14F, "data")
        # No fill anywhere: the symbols cover .text, .data and .bss exactly.
        assert sum(s.size for s in model.symbols) == 0x23AA + 0x1A + 0x14F
        symbols = by_name(model.symbols)
        # " .init4 0x00001220 0x16 .../avr5/libgcc.a(_copy_data.o)" then "0x00001220 __do_copy_data"
        copy_data = symbols["__do_copy_data"]
        assert (copy_data.address, copy_data.size, copy_data.section_name) == (0x1220, 0x16, ".text")
        assert copy_data.object_file == "_copy_data.o"
        assert copy_data.archive == "/usr/lib/gcc/avr/4.5.3/avr5/libgcc.a"
        # " .text.layer_pop" / "0x00001db2 0x1e lib/key-functions/public/basic.o", no symbol line
        layer_pop = symbols["layer_pop"]
        assert (layer_pop.address, layer_pop.size) == (0x1DB2, 0x1E)
        assert (layer_pop.object_file, layer_pop.archive) == ("lib/key-functions/public/basic.o", None)
        # ".progmem.data 0x000000ac 0x1068", symbols at 0xac, 0x3f4 and 0xa84
        assert [(symbols[n].address, symbols[n].size) for n in ("_kb_layout", "_kb_layout_press", "_kb_layout_release")] == [
            (0xAC, 0x3F4 - 0xAC), (0x3F4, 0xA84 - 0x3F4), (0xA84, 0xAC + 0x1068 - 0xA84)]
        # "Allocating common symbols": main_layers_pressed 0x54, layers 0x28
        assert symbols["main_layers_pressed"].size == 0x54 and symbols["layers"].size == 0x28

    def test_nrf52840(self):
        model = model_of("nrf52840-zephyr-spectrum-analyzer")
        sections = by_name(model.sections)
        # "datas           0x20000000       0xbc load address 0x00005900"
        datas = sections["datas"]
        assert (datas.vma, datas.size, datas.lma, datas.execution_region, datas.load_region) == (
            0x20000000, 0xBC, 0x5900, "RAM", "FLASH")
        # Three "*fill*" lines: 0x2 in text, 0x2 in rodata ... and 0x1 in rodata.
        assert (sections["text"].fill_bytes, sections["rodata"].fill_bytes) == (2, 3)
        symbols = by_name(model.symbols)
        # " .text.main     0x000003f0       0xb4 app/libapp.a(main.c.obj)"
        main = symbols["main"]
        assert (main.address, main.size, main.section_name, main.object_file, main.archive) == (
            0x3F0, 0xB4, "text", "main.c.obj", "app/libapp.a")
        # " .rodata.main.str1.1 / 0x000053a4 0x541": the merged strings of all
        # objects; the str1.1 inputs listed after it hold nothing of their own.
        strings = [s for s in model.symbols if s.name.endswith(".str1.1") or s.name == ".rodata.str1.1"]
        assert [(s.name, s.address, s.size) for s in strings] == [(".rodata.main.str1.1", 0x53A4, 0x541)]

    def test_tfm_secure(self):
        model = model_of("nrf9161-tfm-secure")
        sections = by_name(model.sections)
        # ".heap           0x0000000020000c00     0x1000", all fill after ". = (. + __heap_size__)"
        heap = sections[".heap"]
        assert (heap.vma, heap.size, heap.fill_bytes, heap.execution_region) == (0x20000C00, 0x1000, 0, "RAM")
        # ".msp_stack      0x0000000020000400      0x7f8"
        assert (sections[".msp_stack"].vma, sections[".msp_stack"].size) == (0x20000400, 0x7F8)
        # ".TFM_DATA       0x0000000020002e20      0x10c load address 0x000000000000fc40"
        data = sections[".TFM_DATA"]
        assert (data.lma, data.execution_region, data.load_region) == (0xFC40, "RAM", "FLASH")
        # ".TFM_SP_META_PTR" / "0x20001c00 0x20": one 4-byte input, then "*fill* 0x1c"
        assert sections[".TFM_SP_META_PTR"].fill_bytes == 0x1C
        symbols = by_name(model.symbols)
        # " .part_load_priority_lowest" / "0x188 0x30 secure_fw/.../load_info_ns_agent_tz.o"
        load = symbols["tfm_sp_ns_agent_tz_load"]
        assert (load.address, load.size, load.section_name, load.archive) == (
            0x188, 0x30, ".TFM_SP_LOAD_LIST", None)
        assert load.object_file == "secure_fw/CMakeFiles/tfm_s.dir/partitions/ns_agent_tz/load_info_ns_agent_tz.o"
        # ".gnu.sgstubs.__stub 0xfc00 0x28 linker stubs", five veneers 8 bytes apart
        veneers = [s for s in model.symbols if s.section_name == ".gnu.sgstubs"]
        assert [(s.name, s.size, s.object_file) for s in veneers][:2] == [
            ("tfm_psa_framework_version_veneer", 8, "linker stubs"),
            ("tfm_psa_version_veneer", 8, "linker stubs"),
        ]
        assert len(veneers) == 5 and sum(s.size for s in veneers) == 0x28

    def test_teensy41(self):
        model = model_of("imxrt1062-teensy41-dart")
        sections = by_name(model.sections)
        # ".text.itcm      0x0000000000000000    0x1f760 load address 0x00000000600031e8"
        itcm = sections[".text.itcm"]
        assert (itcm.vma, itcm.size, itcm.lma, itcm.execution_region, itcm.load_region) == (
            0, 0x1F760, 0x600031E8, "ITCM", "FLASH")
        # Its *fill* lines, the first the 0x20 bytes after ". = (. + 0x20)", add up to 112.
        assert itcm.fill_bytes == 112
        # ".text.headers": "*fill* 0xe00 ff" after the boot data, "*fill* 0x3d4 ff" before 0x60001400
        assert sections[".text.headers"].fill_bytes == 0xE00 + 0x3D4
        symbols = by_name(model.symbols)
        # " .text._ZN14EventResponder12triggerEventEiPv" / "0x128 0x18 ./build/./libraries/SPI/SPI.cpp.o"
        # then "0x128 EventResponder::triggerEvent(int, void*)"
        trigger = symbols["_ZN14EventResponder12triggerEventEiPv"]
        assert trigger.demangled_name == "EventResponder::triggerEvent(int, void*)"
        assert (trigger.address, trigger.size, trigger.object_file) == (
            0x128, 0x18, "./build/./libraries/SPI/SPI.cpp.o")
        # " .startup 0x60001400 0x274 ./build/./teensy4/startup.c.o", "0x6000164c ResetHandler"
        reset = symbols["ResetHandler"]
        assert (reset.address, reset.size, reset.section_name) == (0x6000164C, 0x60001674 - 0x6000164C, ".text.code")
        startup = symbols[".startup"]
        assert (startup.address, startup.size) == (0x60001400, 0x6000164C - 0x60001400)

    def test_dect_nr(self):
        model = model_of("nrf9161-zephyr-dect-nr")
        sections = by_name(model.sections)
        # "datas           0x000000002000c580      0x5a7 load address 0x000000000004d1b8"
        datas = sections["datas"]
        assert (datas.vma, datas.size, datas.lma, datas.execution_region, datas.load_region) == (
            0x2000C580, 0x5A7, 0x4D1B8, "RAM", "FLASH")
        # ".ramfunc 0x2000c568 0x18": only the fill of ". = ALIGN (_region_min_align)"
        assert sections[".ramfunc"].fill_bytes == 0x18
        # ... and they are stored: datas loads 0x18 bytes further on, so .ramfunc has a load image.
        assert sections[".ramfunc"].load_region == "FLASH"
        symbols = by_name(model.symbols)
        # " .text.main     0x0000000000014934       0x50 app/libapp.a(main.c.obj)"
        main = symbols["main"]
        assert (main.address, main.size, main.section_name, main.object_file, main.archive) == (
            0x14934, 0x50, "text", "main.c.obj", "app/libapp.a")
        # " ._device.static.3_50_" / "0x42548 0x28 ...(i2c_nrfx_twim.c.obj)" with two device
        # symbols 0x14 apart
        assert (symbols["__device_dts_ord_106"].size, symbols["__device_dts_ord_104"].size) == (0x14, 0x14)


# ld's headings and its "load address" in other languages: French and Japanese
# as Debian's binutils catalogs have them, German in the usual wording.  The
# reader knows a map by what ld never translates.
TRANSLATIONS = {
    "fr": {
        "Archive member included to satisfy reference by file (symbol)":
            "Membre d'archive inclu pour satisfaire la référence par fichier (symbole)",
        "Memory Configuration": "Configuration mémoire",
        "Name             Origin             Length             Attributes":
            "Nom              Origine            Longueur           Attributs",
        "Linker script and memory map": "Script de l'éditeurs de liens and table de projection mémoire",
        " load address ": " address de chargement ",
    },
    "de": {
        "Archive member included to satisfy reference by file (symbol)":
            "Archivelement eingebunden, um Referenz durch Datei zu erfüllen (Symbol)",
        "Memory Configuration": "Speicherkonfiguration",
        "Name             Origin             Length             Attributes":
            "Name             Ursprung           Länge              Attribute",
        "Linker script and memory map": "Linkerskript und Speicherbelegung",
        " load address ": " Ladeadresse ",
    },
    "ja": {
        "Archive member included to satisfy reference by file (symbol)":
            "ファイル (シンボル) があるため書庫のメンバが取り込まれました",
        "Memory Configuration": "メモリ設定",
        "Name             Origin             Length             Attributes":
            "名前             原点               長さ               属性",
        "Linker script and memory map": "リンカスクリプトおよびメモリマップ",
        " load address ": " ロードアドレス ",
    },
}


@pytest.mark.parametrize("language", sorted(TRANSLATIONS))
@pytest.mark.parametrize("name", ["nrf52840-zephyr-spectrum-analyzer", "imxrt1062-teensy41-dart"])
def test_translated_maps_read_as_the_english_one(name, language):
    english = (MAPS / f"{name}.map").read_text(encoding="utf-8")
    translated = english
    for phrase, words in TRANSLATIONS[language].items():
        translated = translated.replace(phrase, words)
    assert translated != english and "Linker script and memory map" not in translated
    assert looks_like_gnu_ld_map(translated[:4096])
    expected = parse_map_text(english, name).model
    assert parse_map_text(translated, name).model == expected
