"""The compiled scanner of the memory map part: what it leaves to Python, and bad calls.

That it reads every map as the Python reader does is the differential tests'
business; here it must refuse, not guess, where it cannot be exact, and a
caller's mistake must give a Python exception, never a crash.
"""

import pytest

from brenvale.readers import gnu_ld, rules
from brenvale.readers.gnu_ld import parse_map_text
from brenvale.readers.rules import split_archive_member, symbol_name_from_section
from brenvale.records import SymbolEntry

scanner = pytest.importorskip("brenvale._mapscan")

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


@pytest.mark.parametrize(
    "old, new",
    [
        ("0x00000110       0x10", "0x00000110       0x1_0"),  # int() takes underscores
        ("0x00000100                main", "0x8000000000000000                main"),  # past 2**63 - 1
        ("0x00000100       0x20", "0x00000100       0x10000000000000000"),
        ("util.o", "\u017eutil.o"),
        # Fills that add up past 2**63 - 1.
        (" .text          0x00000110", (" *fill*         0x00000110 0x7000000000000000\n" * 2) + " .text          0x00000110"),
    ],
    ids=["underscore", "large-symbol", "large-section", "past-latin-1", "fill-sum"],
)
def test_what_it_leaves_to_python(old, new):
    text = HEAD + BODY.replace(old, new)
    assert scan(text) is None
    assert parse_map_text(text).lines_read == text.count("\n")  # read by the Python reader instead


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


def test_largest_number_it_reads():
    text = HEAD + BODY.replace("0x00000100                main", "0x7fffffffffffffff                main")
    assert scan(text) is not None


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
