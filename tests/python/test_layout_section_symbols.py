"""Each section range's owners, top symbols and panel rows through the whole contract,
against a plain Python reading, on models shaped to reach every way the core takes:
owner texts shared and each their own object, far more distinct owners than a section
has symbols (and the reverse), ties on size and address, sections whose sort keys are
not all ints and texts next to sections whose keys are, and sizes the host orders but
the common path does not."""

import random
from types import SimpleNamespace as NS

import pytest

from brenvale import plotspec

MAX_ROWS = 24


def reference_order(symbols):
    return sorted(symbols, key=lambda s: (-s.size, s.address or 0, s.name))


def reference_owners(symbols):
    def first(values):
        return sorted({v for v in values if v})[:MAX_ROWS]

    return {
        "objects": first(s.object_file for s in symbols),
        "archives": first(s.archive for s in symbols),
        "sources": first(s.source_file for s in symbols),
    }


def row(s):
    return {"name": s.demangled_name or s.name, "size": s.size, "address": s.address}


def panel_row(s):
    return {**row(s), "object_file": s.object_file, "archive": s.archive, "source_file": s.source_file}


def build(sections, symbols):
    m = NS(sections=sections, symbols=symbols,
           memory_regions=[NS(name="RAM", start_address=0, end_address=(1 << 24) - 1, size=1 << 24,
                              category=NS(value="ram"))],
           stack_heap_hints={"stack_sections": [], "heap_sections": []})
    return plotspec.build_visualization_contract(
        m, region_usage={}, padding_waste=NS(by_region={}), components=[], issues=[], regressions={})


def section(name, vma, size=0x100):
    return NS(name=name, execution_region="RAM", load_region="RAM", vma=vma, lma=vma, size=size,
              padding_before=0, padding_after=0)


def symbol(name, section_name, *, size, address, obj=None, archive=None, source=None, demangled=None):
    return NS(name=name, demangled_name=demangled, address=address, size=size, section_name=section_name,
              object_file=obj, archive=archive, source_file=source, compilation_unit=None)


def check_against_reference(sections, symbols):
    contract = build(sections, symbols)
    by_section = {}
    for s in symbols:
        if s.section_name and s.section_name.strip():
            by_section.setdefault(s.section_name.strip(), []).append(s)
    ranges = {r["section_name"]: r for r in contract["regions"][0]["ranges"] if r["kind"] != "free"}
    assert set(ranges) == {s.name for s in sections}
    for name, r in ranges.items():
        syms = reference_order(by_section.get(name, []))
        owners = reference_owners(syms)
        assert r["owners"] == owners, name
        assert r["panel"]["owners"] == owners, name
        assert r["top_symbols"] == [row(s) for s in syms[:MAX_ROWS]], name
        assert r["panel"]["symbol_breakdown"] == [panel_row(s) for s in syms[:MAX_ROWS]], name
        for got, s in zip(r["panel"]["symbol_breakdown"], syms):
            assert type(got["size"]) is type(s.size) and type(got["address"]) is type(s.address)
    return contract


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_many_owners_and_sections_of_every_size(seed):
    rnd = random.Random(seed)
    # Thousands of distinct owner texts: the small sections have far fewer symbols
    # than there are owners, the large ones more than the rows shown.
    objects = [f"obj{i:05d}.o" for i in range(4000)]
    archives = [f"lib{i}.a" for i in range(40)]
    sizes = [1, 2, 3, 30, 300]
    sections = [section(f".s{k}", 0x1000 * (k + 1)) for k in range(40)]
    symbols = []
    for k, sec in enumerate(sections):
        for i in range(sizes[k % len(sizes)]):
            o = rnd.randrange(len(objects))
            symbols.append(symbol(
                f"f{rnd.randrange(50)}", sec.name, size=rnd.choice([0, 4, 4, 8, 16]),
                address=rnd.choice([None, 0, sec.vma + rnd.randrange(64)]),
                obj=rnd.choice([objects[o], None, ""]),
                archive=archives[o % len(archives)] if i % 3 else None,
                source=f"src/f{o}.c",  # a text object of its own for every symbol
                demangled=rnd.choice([None, "", f"ns::f{i}()"])))
    rnd.shuffle(symbols)
    check_against_reference(sections, symbols)


def test_equal_keys_keep_input_order():
    # Equal size, address and name: only the input order tells them apart.
    sec = section(".data", 0x100)
    symbols = [symbol("x", ".data", size=8, address=0x100, obj=f"o{i}.o", source=f"s{i}.c") for i in range(40)]
    symbols += [symbol("x", ".data", size=8, address=0, obj="z.o"), symbol("w", ".data", size=8, address=None)]
    contract = check_against_reference([sec], symbols)
    rows = next(r for r in contract["regions"][0]["ranges"] if r["kind"] != "free")["panel"]["symbol_breakdown"]
    assert [r["object_file"] for r in rows[:3]] == [None, "z.o", "o0.o"]


def test_keys_the_common_path_does_not_take_sit_next_to_those_it_does():
    fast, mixed, alone = section(".fast", 0x100), section(".mixed", 0x1000), section(".alone", 0x2000)
    symbols = [symbol(f"a{i}", ".fast", size=i % 5, address=0x100 + i, obj=f"o{i}.o") for i in range(30)]
    # A float size, a bool address and a float address: the host's own ordering.
    symbols += [symbol("m1", ".mixed", size=4.0, address=0x1001, obj="m.o"),
                symbol("m2", ".mixed", size=4, address=True, obj="n.o"),
                symbol("m3", ".mixed", size=8, address=0x1000 + 0.5, obj="m.o"),
                symbol("m4", ".mixed", size=True, address=0, obj="k.o")]
    symbols += [symbol("only", ".alone", size=2**62, address=0x2000)]
    check_against_reference([fast, mixed, alone], symbols)


def test_a_bad_size_in_a_later_section_still_fails():
    sections = [section(".a", 0x100), section(".b", 0x1000)]
    symbols = [symbol("ok", ".a", size=4, address=0x100), symbol("bad", ".b", size="4", address=0x1000)]
    with pytest.raises(TypeError):
        build(sections, symbols)


def test_symbols_by_section_keeps_duplicates_and_input_order_on_ties():
    a = symbol("t", ".text", size=4, address=0x10)
    b = symbol("t", ".text", size=4, address=0x10)
    c = symbol("u", ".text", size=4, address=0x10)
    idx = plotspec._symbols_by_section([c, b, a, b, symbol("v", " .text ", size=9, address=None)])
    assert [s.name for s in idx[".text"]] == ["v", "t", "t", "t", "u"]
    assert idx[".text"][1] is b and idx[".text"][2] is a and idx[".text"][3] is b
