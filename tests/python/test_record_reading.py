"""Symbol records are read field by field with getattr's own semantics, whatever
shortcut the reader takes for classes whose fields are slots."""

from dataclasses import dataclass
from types import SimpleNamespace

import pytest

from brenvale import plotspec

FIELDS = ("name", "demangled_name", "address", "size", "section_name", "object_file", "archive",
          "source_file", "compilation_unit")


@dataclass(slots=True)
class Sym:
    name: str
    demangled_name: object
    address: object
    size: object
    section_name: str
    object_file: object = None
    archive: object = None
    source_file: object = None
    compilation_unit: object = None


def sym(i, **kw):
    return Sym(f"s{i}", None, 0x100 + i, 10 + i, ".text", **kw)


def contract(symbols):
    m = SimpleNamespace(
        sections=[SimpleNamespace(name=".text", execution_region="FLASH", load_region="FLASH", vma=0x100, lma=0x100,
                                  size=0x200, padding_before=0, padding_after=0)],
        symbols=symbols,
        memory_regions=[SimpleNamespace(name="FLASH", start_address=0, end_address=0xFFF, size=0x1000,
                                        category=SimpleNamespace(value="flash"))],
        stack_heap_hints={})
    return plotspec.build_visualization_contract(
        m, region_usage={}, padding_waste=SimpleNamespace(by_region={}), components=[], issues=[], regressions={})


def top_symbols(symbols):
    ranges = contract(symbols)["regions"][0]["ranges"]
    return {row["name"]: row for r in ranges if r["kind"] == "section" for row in r["top_symbols"]}


def test_slot_records_read_like_getattr():
    rows = top_symbols([sym(i) for i in range(5)])
    assert {n: (r["size"], r["address"]) for n, r in rows.items()} == {
        f"s{i}": (10 + i, 0x100 + i) for i in range(5)}


def test_unset_slot_raises_attribute_error():
    s = sym(1)
    del s.address
    with pytest.raises(AttributeError, match="address"):
        contract([sym(0), s])


def test_class_changed_while_reading_is_seen():
    class Changer:
        """A record of another class whose name, once read, replaces Sym's address field."""

        def __getattr__(self, attr):
            if attr == "name":
                Sym.address = property(lambda self: 0x999)
                return "changer"
            return {"size": 1, "section_name": ".text", "address": 0x300}.get(attr)

    original = Sym.address
    try:
        rows = top_symbols([sym(0), Changer(), sym(1)])
    finally:
        Sym.address = original
    assert rows["s0"]["address"] == 0x100
    assert rows["s1"]["address"] == 0x999
    assert rows["changer"]["address"] == 0x300


def test_subclass_property_and_custom_lookup_take_their_own_path():
    class Renamed(Sym):
        __slots__ = ()

        @property
        def name(self):
            return "renamed"

    class Loud(Sym):
        __slots__ = ()

        def __getattribute__(self, attr):
            if attr == "size":
                return 77
            return object.__getattribute__(self, attr)

    renamed = Renamed.__new__(Renamed)
    for field, value in zip(FIELDS, ("x", None, 0x101, 5, ".text", None, None, None, None)):
        getattr(Sym, field).__set__(renamed, value)  # the slots beneath the property
    rows = top_symbols([sym(0), renamed, Loud("loud", None, 0x102, 5, ".text")])
    assert set(rows) == {"s0", "renamed", "loud"}
    assert rows["loud"]["size"] == 77


def test_metaclass_attribute_of_the_same_name_does_not_confuse_the_reader():
    class Meta(type):
        @property
        def size(cls):
            return "not a descriptor"

    class Odd(metaclass=Meta):
        __slots__ = FIELDS

        def __init__(self, **kw):
            for k in FIELDS:
                setattr(self, k, kw.get(k))

    rows = top_symbols([Odd(name="a", address=0x100, size=3, section_name=".text"),
                        Odd(name="b", address=0x104, size=4, section_name=".text")])
    assert (rows["a"]["size"], rows["b"]["size"]) == (3, 4)
