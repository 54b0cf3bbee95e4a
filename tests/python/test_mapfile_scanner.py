"""The compiled scanner of the memory map part: Python's text rules in every str kind, and bad calls.

The scanner is the one reader of the memory map part, so where Python's
text functions have a say (str.split(), str.isalnum(), int()) it must give
what they give; and a caller's mistake must give a Python exception, never
a crash.
"""

import pytest

from brenvale.readers import gnu_ld, rules
from brenvale.readers.gnu_ld import parse_map_text
from brenvale.readers.rules import split_archive_member, symbol_name_from_section
from brenvale.records import SymbolEntry

import brenvale._mapscan as scanner

HEAD = "Linker script and memory map\n\n"
BODY = (
    ".text           0x00000100       0x20\n"
    " .text.main     0x00000100       0x10 app/libapp.a(main.o)\n"
    "                0x00000100                main\n"
    " .text          0x00000110       0x10 util.o\n"
    "OUTPUT(a.elf elf32-littlearm)\n"
)


def scan(text, offset=HEAD.index("\n") + 1, line_no=1, **changes):
    arguments = dict(
        text=text,
        offset=offset,
        line_no=line_no,
        record_type=SymbolEntry,
        descriptors=gnu_ld._SYMBOL_DESCRIPTORS,
        is_non_allocated=rules.is_non_allocated,
        name_from_section=symbol_name_from_section,
        split_member=split_archive_member,
        holds_no_bytes=gnu_ld.holds_no_bytes,
    )
    arguments.update(changes)
    return scanner.scan(*arguments.values())


def test_plain_map():
    sections, symbols, lines_read, finished, saw_output, open_at_end = scan(HEAD + BODY)
    assert sections == [(".text", 0x100, 0x20, 0x100, 0, 0, True, True, 0)]
    assert symbols == [
        SymbolEntry("main", None, 0x100, 0x10, ".text", "main.o", "app/libapp.a", None, None),
        SymbolEntry(".text", None, 0x110, 0x10, ".text", "util.o", None, None, None),
    ]
    assert (lines_read, finished, saw_output, open_at_end) == (7, False, True, -1)


def records(text):
    return [(s.name, s.address, s.size, s.object_file) for s in parse_map_text(text, allow_partial=True).model.symbols]


@pytest.mark.parametrize(
    "old, new, expected",
    [
        # int() takes one underscore after "0x" or between digits, and the
        # decimal digits of every script; not "\u00b2" (a digit, not decimal).
        ("0x00000110       0x10", "0x00000110       0x1_0", (".text", 0x110, 0x10, "util.o")),
        ("0x00000110       0x10", "0x_00000110       0x10", (".text", 0x110, 0x10, "util.o")),
        ("0x00000110       0x10", "0x0000\uff11\u0661\u0966       0x10", (".text", 0x110, 0x10, "util.o")),
        ("0x00000110       0x10", "0x00000110       0x1__0", None),
        ("0x00000110       0x10", "0x00000110       0x10_", None),
        ("0x00000110       0x10", "0x00000110       0x\u00b2", None),
    ],
    ids=["underscore", "after-prefix", "decimal-digits", "two-underscores", "trailing", "superscript"],
)
def test_numbers_as_int_reads_them(old, new, expected):
    read = records(HEAD + BODY.replace(old, new))
    if expected is None:
        assert len(read) == 1  # a line int() refuses is no input section
    else:
        assert read[1] == expected


def test_numbers_past_64_bits():
    # A damaged map: the section past 2**63 is dropped, as are its symbols,
    # and a fill sum past 64 bits stays exact.
    big = HEAD + BODY.replace("0x00000100       0x20", "0x00000100       0x10000000000000000")
    assert parse_map_text(big, allow_partial=True).model.sections == []
    fills = HEAD + BODY.replace(
        " .text          0x00000110",
        " *fill*         0x00000110 0xffffffffffffffff\n" * 3 + " .text          0x00000110",
    )
    assert parse_map_text(fills, allow_partial=True).model.sections[0].fill_bytes == 3 * (2**64 - 1)
    far = HEAD + BODY.replace("0x00000100                main", "0x1" + "0" * 20 + "                main")
    # Outside the input section: the bytes keep the section's name.
    assert records(far)[0] == ("main", 0x100, 0x10, "main.o")


def test_wide_text():
    # Ideographic space and no-break space split as str.split() splits;
    # names past Latin-1 come out as str slicing would make them.
    body = (
        BODY.replace("util.o", "c:/\u30d3\u30eb\u30c9/\U0001f600util.o")
        .replace(" main\n", " main\u3000\xa0\n                0x00000104\u3000\u95a2\u6570\n")
        .replace(" .text          0x00000110", "                0x00000108       0x4 LONG\u0101 0x0\n .text          0x00000110")
    )
    sections, symbols, *_ = scan(HEAD + body)
    assert [(s.name, s.address, s.size, s.object_file) for s in symbols] == [
        ("main", 0x100, 4, "main.o"),
        ("\u95a2\u6570", 0x104, 0xC, "main.o"),  # "LONG\u0101" is no data statement: \b needs a non-word
        (".text", 0x110, 0x10, "c:/\u30d3\u30eb\u30c9/\U0001f600util.o"),
    ]
    assert symbols[0].name.isascii() and symbols[0].section_name.isascii()


def test_latin_1_text():
    # No-break space and NEL are whitespace to str.split(); "é" is a word
    # character, so "LONGé" is no data statement.
    body = (
        BODY.replace("util.o", "c:/Übung/util.o")
        .replace(" main\n", " main\xa0\xa0\n                0x00000104\x85caf\xe9\n")
        .replace(" .text          0x00000110", "                0x00000108       0x4 LONG\xe9 0x0\n .text          0x00000110")
    )
    sections, symbols, *_ = scan(HEAD + body)
    assert [(s.name, s.address, s.size, s.object_file) for s in symbols] == [
        ("main", 0x100, 4, "main.o"),
        ("caf\xe9", 0x104, 0xC, "main.o"),
        (".text", 0x110, 0x10, "c:/\xdcbung/util.o"),
    ]
    # Texts without letters past ASCII come out in CPython's ASCII form.
    assert symbols[0].name.isascii() and symbols[0].section_name.isascii()


@pytest.mark.parametrize(
    "changes, error",
    [
        (dict(text=b"bytes"), TypeError),
        (dict(offset=-1), ValueError),
        (dict(offset=10**6), ValueError),
        (dict(offset="0"), TypeError),
        (dict(line_no=-5), ValueError),
        (dict(record_type="SymbolEntry"), TypeError),
        (dict(record_type=dict), TypeError),  # made by its own __new__
        (dict(record_type=int), TypeError),
        (dict(descriptors=None), TypeError),
        (dict(descriptors=(SymbolEntry.name,) * 8), TypeError),
        (dict(descriptors=(len,) * 9), TypeError),
        (dict(is_non_allocated=None), TypeError),
        (dict(split_member=lambda text: "not a pair"), TypeError),
        (dict(name_from_section=lambda text: 5), TypeError),
        (dict(split_member=lambda text: 1 / 0), ZeroDivisionError),
        (dict(is_non_allocated=lambda name: 1 / 0), ZeroDivisionError),
    ],
    ids=lambda value: value.__name__ if isinstance(value, type) else "",
)
def test_bad_calls_raise(changes, error):
    with pytest.raises(error):
        scan(HEAD + BODY, **changes)


def test_wrong_number_of_arguments():
    with pytest.raises(TypeError, match="9 positional arguments"):
        scanner.scan(HEAD + BODY, 0)


def test_descriptors_of_another_type_are_refused():
    # A member descriptor checks the instance's type: records stay whole.
    class Other:
        __slots__ = tuple(gnu_ld._SYMBOL_FIELDS)

    with pytest.raises(TypeError):
        scan(HEAD + BODY, descriptors=tuple(getattr(Other, name) for name in gnu_ld._SYMBOL_FIELDS))
