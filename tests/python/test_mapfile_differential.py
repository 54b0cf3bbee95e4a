"""The map reader on texts of every str kind: Latin-1 and wider texts read alike.

The compiled scanner reads one, two and four byte str with Python's own
whitespace, word characters and int() numbers.  A map whose characters are
swapped for ones past Latin-1 of the same kind (letters for letters, blanks
for blanks) must read to the same records with those characters swapped in
their strings, or fail with the same message so swapped.  Generated maps
cover the line kinds ld writes; real maps, damaged line by line, the shapes
it does not.
"""

import importlib.util
import re
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brenvale.readers.gnu_ld import parse_map_text
from brenvale.readers.rules import MapFormatError
from brenvale.records import NormalizedBuildModel, SymbolEntry

MAPS = Path(__file__).parent / "data" / "maps"
GNU_MAPS = sorted(path for path in MAPS.glob("*.map") if "armlink" not in path.name and "iar" not in path.name)

# The swaps of Latin-1 characters for wider ones of the same class, as the
# fuzzer makes them.
spec = importlib.util.spec_from_file_location("fuzz_maps", Path(__file__).resolve().parents[2] / "tools" / "fuzz_maps.py")
fuzz_maps = importlib.util.module_from_spec(spec)
spec.loader.exec_module(fuzz_maps)
WIDER, WIDEN, widen, widen_message = fuzz_maps.WIDER, fuzz_maps.WIDEN, fuzz_maps.widen, fuzz_maps.widen_message


def outcome(text):
    """What the reader gives for *text*, partial read and strict, or its error."""
    try:
        result = parse_map_text(text, "gen.map", allow_partial=True)
    except MapFormatError as error:
        return ("error", str(error))
    try:
        parse_map_text(text, "gen.map")
        strict = None
    except MapFormatError as error:
        strict = str(error)
    assert (strict is not None) == (result.truncated_at is not None or bool(result.damage))
    assert all(type(symbol) is SymbolEntry for symbol in result.model.symbols)
    return result.model, result.lines_read, result.truncated_at, result.damage, result.unplaced_sections, strict


def assert_same_when_widened(text):
    read = outcome(text)
    if read[0] == "error":
        expected = ("error", widen_message(read[1]))
    else:
        strict = read[-1]
        expected = (*widen(read[:-1]), None if strict is None else widen_message(strict))
    assert outcome(text.translate(WIDEN)) == expected


# ---------------------------------------------------------------------------
# Generated maps: the line kinds ld writes, in random order and shape.

HEX_WIDTH = st.sampled_from([8, 16])
OUTPUT_NAMES = st.sampled_from(
    [".text", ".data", ".bss", "text", "rodata", "noinit", ".heap", ".debug_info", "/DISCARD/",
     ".ARM.attributes", ".a_long_output_section_name", "k_heap_area", ".tbss"]
)
INPUT_NAMES = st.sampled_from(
    [".text", ".text.main", ".text.unlikely.f", ".text.unlikely.", ".text._Z3fooi", ".rodata",
     ".rodata.str1.1", ".rodata.cst8", ".rodata.table", ".bss.count.1511", ".data", "COMMON",
     '.noinit."path/file.c".buffer', '.noinit."broken', ".text.über", ".text.a$b",
     ".text.a_very_long_function_name_that_wraps", "*fill*", ".text.x y"]
)
FILES = st.sampled_from(
    ["", "main.o", "app/libapp.a(main.o)", "c:/sdk/lib/libc.a(memcpy.o)", "lib.a()", "(x.o)",
     "path with space/obj.o", "zephyr/libzephyr.a(file.c.obj)", "c:/\xdcbung/lib\xe4.a(m\xf6.o)",
     "lib/\u017elib.a(x.o)", "nbsp\xa0obj.o", "nel\x85obj.o"]
)
SYMBOLS = st.sampled_from(
    ["main", "foo", "_Z3fooi", "foo(int)", "ns::bar() const", "__aeabi_idiv", "a", "b", "=x",
     "PROVIDE_x", ".L1", "HIDDENx", "0x10", "(size before relaxing)", "x y", "caf\xe9", "a\xa0b", "PROVIDE\xe9",
     "ASSERT\xa0(x)", "x\x85=\x85y"]
)
STATEMENTS = st.sampled_from(
    [". = ALIGN (0x4)", ". = (. + 0x100)", "_etext = .", "PROVIDE (end = .)", "ASSERT (., \"msg\")",
     "__bss_start = ALIGN (0x4)", "x |= 0x1", ".", "HIDDEN (y = .)"]
)
SEPARATORS = st.sampled_from([" ", "  ", "     ", "\t", " \t "])


def hex_text(value, width):
    return f"0x{value:0{width}x}"


@st.composite
def symbol_line(draw, base, width):
    address = base + draw(st.integers(-8, 0x40))
    name = draw(SYMBOLS)
    return f"{' ' * 16}{hex_text(max(address, 0), width)}{draw(SEPARATORS)}{' ' * 15}{name}"


@st.composite
def input_section(draw, address, width):
    name = draw(INPUT_NAMES)
    size = draw(st.sampled_from([0, 1, 2, 4, 0x10, 0x24, 0x100]))
    file_text = draw(FILES)
    numbers = f"{hex_text(address, width)}{draw(SEPARATORS)}{hex_text(size, 1)}"
    tail = f" {file_text}" if file_text else draw(st.sampled_from(["", " "]))
    if draw(st.booleans()) and name != "*fill*":
        lines = [f" {name}", f"{' ' * 16}{numbers}{tail}"]
    else:
        lines = [f" {name}{' ' * max(1, 15 - len(name))}{numbers}{tail}"]
    if name != "*fill*":
        for _ in range(draw(st.integers(0, 4))):
            lines.append(draw(symbol_line(address, width)))
    return lines, size


@st.composite
def statement(draw, address, width):
    kind = draw(st.integers(0, 4))
    if kind == 0:
        return [f"{' ' * 16}{hex_text(address, width)}{' ' * 16}{draw(STATEMENTS)}"]
    if kind == 1:
        size = draw(st.sampled_from([0, 1, 4, 8]))
        word = draw(st.sampled_from(["LONG", "BYTE", "QUAD", "SHORT", "SQUAD", "WORD", "LONG\xe9", "LONG(1)", "BYTE\xb2"]))
        return [f" {' ' * 15}{hex_text(address, width)}{' ' * 8}{hex_text(size, 1)} {word} 0x0"]
    if kind == 2:
        return [f"{' ' * 16}{hex_text(address, 1)} (size before relaxing)"]
    if kind == 3:
        return [draw(st.sampled_from([" *(.text*)", " *(SORT_BY_ALIGNMENT(.text))", " KEEP (*(.init))", " ."]))]
    return [f"\t {hex_text(address, width)} {draw(SYMBOLS)}"]


@st.composite
def output_section(draw, vma, width):
    name = draw(OUTPUT_NAMES)
    body = []
    address = vma
    for _ in range(draw(st.integers(0, 6))):
        if draw(st.integers(0, 3)):
            lines, size = draw(input_section(address, width))
        else:
            lines, size = draw(statement(address, width)), 0
        body.extend(lines)
        # Now and then an input section overlaps the previous one, as merged
        # string sections do, or lies before the section's start.
        address = max(0, address + size + draw(st.sampled_from([0, 0, 0, 2, -4, -0x100])))
    size = max(0, address - vma + draw(st.sampled_from([0, 0, 4, -2])))
    numbers = f"{hex_text(vma, width)}{' ' * 8}{hex_text(size, 1)}"
    if draw(st.booleans()):
        numbers += f" load address {hex_text(vma + 0x1000, width)}"
    if draw(st.booleans()):
        header = [name, f"{' ' * 16}{numbers}"]
    else:
        header = [f"{name}{' ' * max(1, 16 - len(name))}{numbers}"]
    return header + body + [""], max(address, vma + size)


MEMORY = (
    "Memory Configuration\n\n"
    "Name             Origin             Length             Attributes\n"
    "FLASH            0x0000000000000000 0x0000000000010000 xr\n"
    "RAM              0x0000000020000000 0x0000000000008000 xrw\n"
    "*default*        0x0000000000000000 0xffffffffffffffff\n\n"
)


@st.composite
def generated_map(draw):
    width = draw(HEX_WIDTH)
    lines = ["Archive member included to satisfy reference by file (symbol)", ""]
    if draw(st.booleans()):
        lines.extend(MEMORY.split("\n"))
    lines.extend(["Linker script and memory map", "", "LOAD app/libapp.a", ""])
    vma = draw(st.sampled_from([0, 0x100, 0x20000000]))
    for _ in range(draw(st.integers(1, 4))):
        section_lines, end = draw(output_section(vma, width))
        lines.extend(section_lines)
        vma = draw(st.sampled_from([end, end + 0x10, 0x20000000]))
    lines.append(draw(st.sampled_from(["OUTPUT(zephyr.elf elf32-littlearm)", "Cross Reference Table", ""])))
    lines.extend(["", "Symbol  File", ".text   main.o"])
    text = "\n".join(lines) + draw(st.sampled_from(["\n", ""]))
    # Numbers int() reads past the common shape: underscores, 64 bits and more.
    numbers = list(re.finditer(r"0x[0-9a-f]+", text))
    if numbers and draw(st.integers(0, 3)) == 0:
        number = numbers[draw(st.integers(0, len(numbers) - 1))]
        digits = draw(st.sampled_from(["_1", "1_0", "8000000000000000", "7fffffffffffffff", "1" * 17, "0" * 20 + "1"]))
        text = text[: number.start()] + "0x" + digits + text[number.end():]
    if draw(st.booleans()):
        text = text[: draw(st.integers(0, len(text)))]
    if draw(st.booleans()):
        text = text.replace("\n", "\r\n")
    return text


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(generated_map())
def test_generated_maps_read_alike_widened(text):
    assert_same_when_widened(text)


def test_messages_widen_with_their_text():
    line = "FLASH 0x0 0x1\xa0\\xa0\xe9 xr"
    assert widen_message(repr(line)) == repr(line.translate(WIDEN))


def test_widening_reaches_every_kind():
    # The swaps make two and four byte texts, and keep what they swap apart.
    assert {len(set(WIDER.values())), len(WIDER)} == {len(WIDER)}
    kinds = {max(map(ord, "caf\xe9".translate(WIDEN))) > 0xFFFF, max(map(ord, ".text.\xfcber".translate(WIDEN))) > 0xFFFF}
    assert kinds == {False, True}
    for latin_1, wide in WIDER.items():
        classes = [str.isspace, str.isalnum, str.isdecimal, str.isdigit, str.isidentifier, str.isascii]
        assert [test(latin_1) for test in classes] == [test(wide) for test in classes]
        assert not (latin_1.lower() + latin_1.upper() + wide.lower() + wide.upper()).isascii()


# ---------------------------------------------------------------------------
# Real maps, whole and damaged line by line: a name widened in every line
# that holds it.

NAMES = ("main", "memcpy", "_start", ".text", "libc.a", ".bss")


def with_wide_names(text):
    """*text* with a few common names given Latin-1 letters (which the
    widening then swaps), so that real maps carry them in many lines."""
    for name in NAMES:
        text = re.sub(rf"(?<![\w.]){re.escape(name)}(?![\w])", name.replace("a", "\xe4", 1) + "\xe9", text)
    return text


@pytest.mark.parametrize("path", GNU_MAPS, ids=lambda path: path.stem)
def test_real_maps_read_alike_widened(path):
    text = with_wide_names(path.read_text(encoding="latin-1"))
    assert_same_when_widened(text)
    assert_same_when_widened(text.replace("\n", "\r\n"))


EDITS = st.sampled_from(["drop", "duplicate", "cut", "tab", "space", "join", "strip", "cr"])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(GNU_MAPS),
    st.lists(st.tuples(st.floats(0, 1, exclude_max=True), EDITS, st.integers(0, 80)), min_size=1, max_size=12),
)
def test_damaged_real_maps_read_alike_widened(path, edits):
    lines = with_wide_names(path.read_text(encoding="latin-1")).split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("Linker script and memory map"))
    memory = next((i for i, line in enumerate(lines) if line.startswith("Memory Configuration")), start)
    for where, edit, column in edits:
        # Mostly the memory map; now and then the memory configuration and
        # the heading after it.
        if column % 4 == 0:
            at = memory + int(where * (start + 2 - memory))
        else:
            at = start + int(where * (len(lines) - start))
        at = min(at, len(lines) - 1)
        line = lines[at]
        if edit == "drop":
            del lines[at]
        elif edit == "duplicate":
            lines.insert(at, line)
        elif edit == "cut":
            lines[at] = line[:column]
        elif edit == "tab":
            lines[at] = line[:column] + "\t" + line[column + 1:]
        elif edit == "space":
            lines[at] = line[:column] + " " + line[column:]
        elif edit == "join" and at + 1 < len(lines):
            lines[at:at + 2] = [line + lines[at + 1]]
        elif edit == "strip":
            lines[at] = line.strip()
        elif edit == "cr":
            lines[at] = line + "\r"
    assert_same_when_widened("\n".join(lines))


# ---------------------------------------------------------------------------
# Faults the reader had: a traceback where a model belongs.

HEAD = "Memory Configuration\n\nName Origin Length Attributes\nFLASH 0x0 0x10000 xr\n\nLinker script and memory map\n\n"


@pytest.mark.parametrize(
    "body, expected",
    [
        # Several symbol lines, none inside the input section: the section's own name.
        (
            " .text.main     0x00000100       0x10 main.o\n"
            "                0x00000200                far\n"
            "                0x00000300                farther\n",
            [("main", 0x100, 0x10)],
        ),
        # A line of a blank and a tab between an input section and its symbol.
        (
            " .text          0x00000100       0x10 main.o\n \t\n"
            "                0x00000104                helper\n",
            [(".text", 0x100, 4), ("helper", 0x104, 0xC)],
        ),
    ],
    ids=["symbols-outside", "blank-and-tab-line"],
)
def test_odd_symbol_lines_give_a_model(body, expected):
    text = HEAD + ".text           0x00000100       0x10\n" + body + "\nOUTPUT(a.elf elf32-littlearm)\n"
    model = parse_map_text(text, "odd.map").model
    assert [(s.name, s.address, s.size) for s in model.symbols] == expected
