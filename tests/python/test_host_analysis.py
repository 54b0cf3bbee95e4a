"""The host's analyses: region usage, padding waste, overflow issues, components."""

from hypothesis import given
from hypothesis import strategies as st

from brenvale.analysis import (
    components_by_archive,
    merge_issues,
    overflow_issues,
    padding_waste,
    region_usage,
)
from brenvale.records import (
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)


def region(name, size, category=RegionCategory.FLASH, start=0):
    end = start + (size or 1) - 1
    return MemoryRegion(name=name, start_address=start, end_address=end, size=size, category=category)


def section(name, where, size, vma=0, before=0, after=0, load=None):
    return SectionPlacement(
        name=name, execution_region=where, load_region=load or where, vma=vma, lma=vma,
        size=size, padding_before=before, padding_after=after,
    )


def symbol(name, section_name, size, object_file=None, archive=None):
    return SymbolEntry(
        name=name, demangled_name=None, address=0, size=size, section_name=section_name,
        object_file=object_file, archive=archive, source_file=None, compilation_unit=None,
    )


def model(regions, sections, symbols=()):
    return NormalizedBuildModel(sections=list(sections), symbols=list(symbols), memory_regions=list(regions))


class TestRegionUsage:
    def test_fitting_and_overflowing_regions(self):
        m = model(
            [region("FLASH", 100), region("RAM", 100, RegionCategory.RAM)],
            [section("a", "FLASH", 30), section("b", "FLASH", 50), section("c", "RAM", 80), section("d", "RAM", 40)],
        )
        usage = region_usage(m)
        flash, ram = usage["FLASH"], usage["RAM"]
        assert (flash.used_bytes, flash.free_bytes, flash.overflow_bytes) == (80, 20, 0)
        assert flash.utilization_ratio == 0.8
        assert (ram.used_bytes, ram.free_bytes, ram.overflow_bytes) == (120, 0, 20)
        assert ram.utilization_ratio == 1.2

    def test_region_names_match_exactly(self):
        # The contract's layouts place sections by exact name; usage must agree.
        m = model([region("RAM", 64)], [section("x", " RAM", 10), section("y", "ram", 10), section("z", None, 10)])
        assert region_usage(m)["RAM"].used_bytes == 0

    def test_unknown_size_counts_as_zero_capacity(self):
        m = model([region("EXT", None)], [section("x", "EXT", 12)])
        usage = region_usage(m)["EXT"]
        assert (usage.used_bytes, usage.free_bytes, usage.overflow_bytes, usage.utilization_ratio) == (12, 0, 12, 0.0)

    def test_overlay_members_count_their_shared_bytes_once(self):
        # Two overlay members run at 0x100 from their own load addresses; .data
        # runs apart from where it is stored; the rest run where they lie.
        def moved(name, vma, size, lma):
            return SectionPlacement(name=name, execution_region="RAM", load_region="FLASH", vma=vma, lma=lma,
                                    size=size, padding_before=0, padding_after=0)

        m = model(
            [region("FLASH", 1000), region("RAM", 1000, RegionCategory.RAM)],
            [moved(".data", 0x0, 0x40, 0x500), section(".bss", "RAM", 0x20, vma=0x40),
             moved(".ov1", 0x100, 0x8, 0x540), moved(".ov2", 0x100, 0x58, 0x548), moved(".ov3", 0x150, 0x20, 0x5a0),
             section("a", "RAM", 0x10, vma=0x300), section("b", "RAM", 0x10, vma=0x300)],
        )
        usage = region_usage(m)
        assert usage["RAM"].used_bytes == 0x40 + 0x20 + (0x170 - 0x100) + 0x20
        # Every load image is stored, each at its own address.
        assert usage["FLASH"].used_bytes == 0x40 + 0x8 + 0x58 + 0x20

    def test_empty_region(self):
        usage = region_usage(model([region("R", 10)], []))["R"]
        assert (usage.used_bytes, usage.free_bytes, usage.overflow_bytes, usage.utilization_ratio) == (0, 10, 0, 0.0)

    @given(
        capacity=st.integers(min_value=0, max_value=2**40),
        sizes=st.lists(st.integers(min_value=-5, max_value=2**38), max_size=12),
    )
    def test_figures_always_balance(self, capacity, sizes):
        m = model([region("R", capacity)], [section(f"s{i}", "R", size) for i, size in enumerate(sizes)])
        usage = region_usage(m)["R"]
        assert usage.used_bytes == sum(max(size, 0) for size in sizes)
        assert usage.used_bytes - usage.overflow_bytes + usage.free_bytes == capacity
        assert min(usage.free_bytes, usage.overflow_bytes) == 0


class TestPaddingAndIssues:
    def test_padding_is_summed_per_region(self):
        m = model(
            [region("FLASH", 100), region("RAM", 100), region("EMPTY", 8)],
            [section("a", "FLASH", 4, before=1, after=3), section("b", "FLASH", 4, after=2),
             section("c", "RAM", 4, before=5), section("d", "NOWHERE", 4, after=9)],
        )
        assert padding_waste(m).by_region == {"FLASH": 6, "RAM": 5, "EMPTY": 0}
        assert padding_waste(m).total_bytes == 11

    def test_overflow_issue_only_for_overflowing_regions(self):
        m = model(
            [region("FLASH", 100), region("RAM", 16, RegionCategory.RAM)],
            [section("a", "FLASH", 100), section("b", "RAM", 20)],
        )
        issues = overflow_issues(m, region_usage(m))
        assert len(issues) == 1
        issue = issues[0]
        assert issue.category is IssueCategory.OVERFLOW and issue.severity is IssueSeverity.ERROR
        assert issue.affected_entities == ["RAM"]
        assert "4 bytes" in issue.title and "20 bytes" in issue.description and "16 bytes" in issue.description

    def test_merge_keeps_given_issue_over_derived_one_with_same_id(self):
        given_issue = Issue("overflow:RAM", "mine", "", IssueSeverity.WARNING, IssueCategory.OVERFLOW, ["RAM"])
        derived = [
            Issue("overflow:RAM", "derived", "", IssueSeverity.ERROR, IssueCategory.OVERFLOW, ["RAM"]),
            Issue("overflow:FLASH", "derived", "", IssueSeverity.ERROR, IssueCategory.OVERFLOW, ["FLASH"]),
            Issue("overflow:FLASH", "again", "", IssueSeverity.ERROR, IssueCategory.OVERFLOW, ["FLASH"]),
        ]
        merged = merge_issues([given_issue], derived)
        assert [(i.id, i.title) for i in merged] == [("overflow:RAM", "mine"), ("overflow:FLASH", "derived")]


class TestComponents:
    def test_grouping_and_flash_ram_attribution(self):
        m = model(
            [region("FLASH", 1000), region("RAM", 1000, RegionCategory.RAM)],
            [section(".text", "FLASH", 100), section(".data", "RAM", 10, load="FLASH"), section(".bss", "RAM", 10)],
            [
                symbol("f", ".text", 40, "a.o", "build/libcore.a"),
                symbol("g", ".text", 20, "b.o", "build/libcore.a"),
                symbol("v", ".data", 8, "a.o", "build/libcore.a"),
                symbol("z", ".bss", 6, "a.o", "build/libcore.a"),
                symbol("m", ".text", 30, "app/main.o"),
                symbol("q", ".gone", 99, "app/main.o"),
                symbol("anon", ".text", 5),
            ],
        )
        components = {c.name: c for c in components_by_archive(m)}
        assert list(components) == sorted(components)
        core = components["libcore"]
        assert core.objects == ["a.o", "b.o"]
        # Initialised data occupies flash (its load image) and RAM.
        assert (core.total_flash, core.total_ram) == (68, 14)
        assert core.symbols == ["f", "g", "v", "z"]
        app = components["app"]
        assert (app.objects, app.total_flash, app.total_ram, app.symbols) == (["app/main.o"], 30, 0, ["m", "q"])
        assert components["(unattributed)"].objects == []

    def test_archives_sharing_a_file_name_keep_their_paths(self):
        m = model(
            [region("FLASH", 100)],
            [section(".text", "FLASH", 50)],
            [symbol("a", ".text", 1, "x.o", "one/libc.a"), symbol("b", ".text", 1, "y.o", "two/libc.a"),
             symbol("c", ".text", 1, "z.o", "libm.a")],
        )
        assert [c.name for c in components_by_archive(m)] == ["libm", "one/libc.a", "two/libc.a"]
