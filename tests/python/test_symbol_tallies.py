"""The compiled loops over a build's symbols against the plain loops they replace.

The plain loops below are the oracle: for any records and any values in them the
compiled ones must give the same result, types included, or the same error.
"""

import os
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvale import compare
from brenvale.analysis import components_by_archive
from brenvale.records import ComponentGroup, MemoryRegion, NormalizedBuildModel, RegionCategory, SectionPlacement, SymbolEntry


def plain_components(model):
    categories = {region.name: region.category for region in model.memory_regions}
    counts = {}
    for section in model.sections:
        if section.name not in counts:
            run = categories.get(section.execution_region or "")
            load = categories.get(section.load_region or "")
            counts[section.name] = (run is RegionCategory.RAM, run is RegionCategory.FLASH or load is RegionCategory.FLASH)
    labels = {}
    for archive in {s.archive for s in model.symbols if s.archive}:
        base = os.path.basename(archive)
        labels[archive] = base[:-2] if base.endswith(".a") else base
    label_count = {}
    for label in labels.values():
        label_count[label] = label_count.get(label, 0) + 1
    for archive, label in labels.items():
        if label_count[label] > 1:
            labels[archive] = archive
    groups = {}
    directories = {}
    for symbol in model.symbols:
        member_of = symbol.archive
        object_file = symbol.object_file
        if member_of:
            name = labels[member_of]
        elif object_file:
            name = directories.get(object_file) or directories.setdefault(
                object_file, os.path.dirname(object_file) or "(objects outside archives)"
            )
        else:
            name = "(unattributed)"
        group = groups.get(name)
        if group is None:
            group = groups[name] = [set(), 0, 0, []]
        if object_file:
            group[0].add(object_file)
        group[3].append(symbol.name)
        flags = counts.get(symbol.section_name)
        if flags is None:
            continue
        size = symbol.size if symbol.size > 0 else 0
        if flags[0]:
            group[2] += size
        if flags[1]:
            group[1] += size
    return [
        ComponentGroup(name=name, objects=sorted(objects), total_flash=flash, total_ram=ram, symbols=names)
        for name, (objects, flash, ram, names) in sorted(groups.items())
    ]


def plain_sizes(symbols):
    sizes = {}
    for symbol in symbols:
        key = (symbol.name, symbol.object_file or symbol.archive or symbol.source_file or symbol.compilation_unit or "")
        size = symbol.size
        sizes[key] = sizes.get(key, 0) + (0 if 0 > size else size)
    return sizes


def typed(value):
    """A value with its type, all the way down, so that 1 == True == 1.0 tell apart."""
    if isinstance(value, list | tuple):
        return (type(value).__name__, [typed(v) for v in value])
    if isinstance(value, dict):
        return ("dict", [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, ComponentGroup):
        return ("group", typed([value.name, value.objects, value.total_flash, value.total_ram, value.symbols]))
    return (type(value).__name__, repr(value))


def outcome(f, *args):
    try:
        return ("ok", typed(f(*args)))
    except Exception as e:  # the same error, type and message, is the claim
        return ("error", type(e).__name__, str(e))


REGIONS = [
    MemoryRegion(name="FLASH", start_address=0, end_address=0xFFFF, size=0x10000, category=RegionCategory.FLASH),
    MemoryRegion(name="RAM", start_address=0x20000000, end_address=0x2000FFFF, size=0x10000, category=RegionCategory.RAM),
]
SECTIONS = [
    SectionPlacement(name=".text", execution_region="FLASH", load_region="FLASH", vma=0, lma=0, size=8, padding_before=0, padding_after=0),
    SectionPlacement(name=".data", execution_region="RAM", load_region="FLASH", vma=0, lma=0, size=8, padding_before=0, padding_after=0),
    SectionPlacement(name=".bss", execution_region="RAM", load_region="RAM", vma=0, lma=0, size=8, padding_before=0, padding_after=0),
    SectionPlacement(name=".comment", execution_region=None, load_region=None, vma=0, lma=0, size=8, padding_before=0, padding_after=0),
]

# Few distinct texts, so that runs, clashes of labels and repeated keys are common.
owners = st.sampled_from([None, "", "a.o", "dir/b.o", "x/lib/c.o", "d/libm.a", "e/libm.a", "libc.a", "libm", "x/lib"])
sizes = st.one_of(
    st.integers(-5, 50),
    st.sampled_from([2**63 - 1, 2**63, -(2**63) - 1, 2**70, True, False, 0.0, -0.0, 1.5, float("inf")]),
)


@st.composite
def records(draw):
    kinds = draw(st.lists(st.tuples(
        st.sampled_from(["f", "g", "h", "main"]),
        st.sampled_from([".text", ".data", ".bss", ".comment", ".other"]),
        owners, owners, owners, owners, sizes,
    ), max_size=40))
    # Runs of one input section, as maps have them, repeat the same objects.
    out = []
    for name, section, object_file, archive, source, unit, size in kinds:
        for _ in range(draw(st.integers(1, 3))):
            out.append(SymbolEntry(
                name=name, demangled_name=None, address=0, size=size, section_name=section,
                object_file=object_file, archive=archive, source_file=source, compilation_unit=unit,
            ))
    return out


@settings(max_examples=300, deadline=None)
@given(records())
def test_generated_records_tally_as_the_plain_loops_do(symbols):
    model = NormalizedBuildModel(sections=SECTIONS, symbols=symbols, memory_regions=REGIONS)
    assert outcome(components_by_archive, model) == outcome(plain_components, model)
    assert outcome(compare._symbol_sizes, symbols) == outcome(plain_sizes, symbols)


class Loud(str):
    """A text of its own truth and hash: each look at it is counted."""

    def __new__(cls, text, truth=True):
        self = super().__new__(cls, text)
        self.truth, self.looks = truth, 0
        return self

    def __bool__(self):
        self.looks += 1
        return self.truth

    def __hash__(self):
        self.looks += 1
        return str.__hash__(self)

    __eq__ = str.__eq__


def repeated(**fields):
    """Three records of one input section, sharing the very same objects."""
    return [entry(**fields), entry(**fields), entry(**{**fields, "name": "g"})]


class Size:
    def __init__(self, n):
        self.n = n

    def __gt__(self, other):
        return self.n > other

    def __lt__(self, other):
        return self.n < other

    def __radd__(self, other):
        return other + self.n


def entry(**fields):
    base = dict(name="f", demangled_name=None, address=0, size=4, section_name=".text",
                object_file="a.o", archive=None, source_file=None, compilation_unit=None)
    return SymbolEntry(**{**base, **fields})


@pytest.mark.parametrize("make", [
    # Records that are not the reader's type, and owners and sizes of their own.
    lambda: [SimpleNamespace(name="g", size=3, section_name=".data", object_file="a.o", archive=None,
                             source_file=None, compilation_unit=None)] * 2,
    lambda: repeated(object_file=Loud("d/a.o")) + [entry(object_file=Loud("a.o", False))],
    lambda: repeated(archive=Loud("l/libx.a"), object_file=Loud("x.o"), section_name=Loud(".data")),
    lambda: repeated(archive=Loud("l/libx.a"), size=Size(7)),
    lambda: [entry(size=Size(-2)), entry(size=Size(5)), entry(size=2**64), entry(size=-(2**64))],
    # Errors: a missing attribute, an unhashable owner, a size that cannot be compared.
    lambda: [entry(), SimpleNamespace(name="x", size=1, section_name=".text")],
    lambda: [entry(object_file=["a.o"])],
    lambda: [entry(), entry(size="4")],
    lambda: [entry(section_name=[".text"])],
])
def test_odd_records_give_the_same_results_and_errors(make):
    one, two = make(), make()
    model_one = NormalizedBuildModel(sections=SECTIONS, symbols=one, memory_regions=REGIONS)
    model_two = NormalizedBuildModel(sections=SECTIONS, symbols=two, memory_regions=REGIONS)
    assert outcome(components_by_archive, model_one) == outcome(plain_components, model_two)
    assert outcome(compare._symbol_sizes, one) == outcome(plain_sizes, two)
    # Truth and hashes are asked for as often as the plain loop asks.
    loud = lambda records: [getattr(r, f).looks for r in records for f in ("object_file", "archive", "section_name")
                            if isinstance(getattr(r, f, None), Loud)]
    assert loud(one) == loud(two)


def test_a_slot_of_another_class_is_not_read_in_place():
    # Slot descriptors of another class stored on the record type: getattr refuses them,
    # and so must the compiled loop, although the type's own slots lie where they point.
    from brenvale import _mapscan

    fields = ("name", "size", "section_name", "object_file", "archive", "source_file", "compilation_unit")
    layout = type("Layout", (), {"__slots__": fields})
    impostor = type("Impostor", (), {"__slots__": tuple("own_" + f for f in fields)})
    for f in fields:
        setattr(impostor, f, layout.__dict__[f])
    record = impostor()
    for f, value in zip(fields, ("f", 4, ".text", "a.o", None, None, None)):
        setattr(record, "own_" + f, value)
    assert outcome(_mapscan.symbol_sizes, [record], impostor) == outcome(plain_sizes, [record])
    assert outcome(plain_sizes, [record])[:2] == ("error", "TypeError")
