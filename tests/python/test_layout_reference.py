"""A plain Python reading of section classification, region layout, range payloads
and render hints, used as the oracle of the differential tests in the other
test_layout_*.py files.  It follows the documented steps literally and favours
clarity over speed; the tests in this file only check that the oracle itself agrees
with the documented worked examples.
"""

from __future__ import annotations

from dataclasses import dataclass

_MAX_RANGE_SYMBOLS = 24
_STACK_TOKENS = ("stack", "stacks")
_HEAP_TOKENS = ("heap",)
_RESERVED_TOKENS = ("reserved",)
_PROTECTED_TOKENS = ("protect", "protected", "secure")
_RENDER_LAYOUT_MODE = "segmented-stacked"
_RENDER_MIN_HEIGHT_PX = 180
_RENDER_BASE_HEIGHT_PX = 220
_RENDER_MAX_HEIGHT_PX = 760
_ROLE_VECTOR_TOKENS = ("vector", "intvec", "isr_vector", "isr_table", "reset_vector", ".vectors")
_ROLE_BSS_TOKENS = (".bss", "$$zi", "$zi$", ".sbss", ".tbss", ".noinit")
_ROLE_DATA_TOKENS = (".data", "$$rw", "$rw$", ".sdata", ".tdata", ".rwdata", ".initdata")
_ROLE_RODATA_TOKENS = (".rodata", ".srodata", ".rdata", ".const", "$$ro$$ro", "$ro$ro", ".init_array", ".fini_array")
_ROLE_TEXT_TOKENS = (".text", ".init", ".fini", ".plt", "$$ro$$code", "$ro$code")
_ROLE_HEAP_TOKENS = _HEAP_TOKENS
_ROLE_STACK_TOKENS = ("stack", "cstack")


# ---- section classification ----

def contains_token(value, tokens):
    return any(token in value for token in tokens)


def section_kind(section_name, region_name, *, stack_hint_sections, heap_hint_sections):
    name = section_name.lower()
    region = region_name.lower()
    if section_name in stack_hint_sections or contains_token(name, _STACK_TOKENS):
        return "stack"
    if section_name in heap_hint_sections or contains_token(name, _HEAP_TOKENS):
        return "heap"
    if contains_token(name, _PROTECTED_TOKENS) or contains_token(region, _PROTECTED_TOKENS):
        return "protected"
    if contains_token(name, _RESERVED_TOKENS) or contains_token(region, _RESERVED_TOKENS):
        return "reserved"
    return "section"


def section_role(section_name, region_name=""):
    name = (section_name or "").strip().lower()
    region = (region_name or "").strip().lower()
    if not name and not region:
        return None
    if contains_token(name, _ROLE_VECTOR_TOKENS):
        return "vectors"
    if contains_token(name, _ROLE_STACK_TOKENS) or name in ("cstack", "stack_mem"):
        return "stack"
    if name in ("heap", "heap_mem") or contains_token(name, _ROLE_HEAP_TOKENS):
        return "heap"
    if name in ("bss", "common") or contains_token(name, _ROLE_BSS_TOKENS):
        return "bss"
    if contains_token(name, _ROLE_RODATA_TOKENS):
        return "rodata"
    if contains_token(name, _ROLE_DATA_TOKENS):
        return "data"
    if contains_token(name, _ROLE_TEXT_TOKENS):
        return "text"
    if contains_token(region, _ROLE_STACK_TOKENS):
        return "stack"
    if contains_token(region, _ROLE_HEAP_TOKENS):
        return "heap"
    return None


# ---- region layout ----

@dataclass
class Interval:
    start: object
    end: object

    @property
    def size(self):
        return max(self.end - self.start + 1, 0)


def clip_interval(interval, lower, upper):
    start = max(interval.start, lower)
    end = min(interval.end, upper)
    if end < start:
        return None
    return Interval(start, end)


def free_intervals(start, end, occupied):
    if end < start:
        return []
    if not occupied:
        return [(Interval(start, end), False)]
    merged = []
    for interval in sorted(occupied, key=lambda i: (i.start, i.end)):
        if not merged:
            merged.append(Interval(interval.start, interval.end))
        elif interval.start <= merged[-1].end + 1:
            merged[-1].end = max(merged[-1].end, interval.end)
        else:
            merged.append(Interval(interval.start, interval.end))
    free = []
    cursor = start
    seen = False
    for interval in merged:
        if interval.start > cursor:
            free.append((Interval(cursor, interval.start - 1), seen))
        cursor = max(cursor, interval.end + 1)
        seen = True
    if cursor <= end:
        free.append((Interval(cursor, end), False))
    return [entry for entry in free if entry[0].size > 0]


def merge_issue_ids(*groups):
    return sorted({str(i) for group in groups for i in group})


def owners_from_symbols(symbols):
    objects = sorted({s.object_file for s in symbols if s.object_file})
    archives = sorted({s.archive for s in symbols if s.archive})
    sources = sorted({s.source_file for s in symbols if s.source_file})
    return {
        "objects": objects[:_MAX_RANGE_SYMBOLS],
        "archives": archives[:_MAX_RANGE_SYMBOLS],
        "sources": sources[:_MAX_RANGE_SYMBOLS],
    }


def build_region_layout(*, region, sections, section_symbols, issues_by_entity, section_baseline_deltas,
                        stack_heap_hints, usage, padding_bytes, load_images=None):
    region_start = region.start_address
    region_end = region.end_address
    region_size = max(int(region.size or 0), 0)
    ordered = sorted(sections, key=lambda s: (s.vma, s.size, s.name))
    occupied = []
    ranges = []
    boundaries = {region_start, region_end}
    stack_hints = {str(x) for x in stack_heap_hints.get("stack_sections", [])}
    heap_hints = {str(x) for x in stack_heap_hints.get("heap_sections", [])}
    stack_bytes = heap_bytes = reserved_bytes = protected_bytes = 0

    def attributed_range(section, start, end, kind):
        return section_range_payload(
            region_name=region.name, section=section, section_start=start, section_end=end,
            region_size=region_size, kind=kind, role=section_role(section.name, region.name),
            symbols=section_symbols.get(section.name, []),
            issue_ids=merge_issue_ids(issues_by_entity.get(section.name, []),
                                      issues_by_entity.get(region.name, [])),
            baseline_delta=section_baseline_deltas.get(section.name))

    for section in ordered:
        start = section.vma
        size = max(section.size, 0)
        end = start + size - 1 if size > 0 else start
        kind = section_kind(section.name, region.name, stack_hint_sections=stack_hints,
                            heap_hint_sections=heap_hints)
        if kind == "stack":
            stack_bytes += size
        elif kind == "heap":
            heap_bytes += size
        elif kind == "reserved":
            reserved_bytes += size
        elif kind == "protected":
            protected_bytes += size
        boundaries.add(start)
        boundaries.add(end)
        if size > 0:
            clipped = clip_interval(Interval(start, end), region_start, region_end)
            if clipped is not None:
                occupied.append(clipped)
        ranges.append(attributed_range(section, start, end, kind))
        if section.padding_before > 0:
            pad_start = start - section.padding_before
            pad_end = start - 1
            boundaries.add(pad_start)
            boundaries.add(pad_end)
            ranges.append(synthetic_range_payload(
                range_id=f"{region.name}:{section.name}:padding-before:{pad_start}", kind="padding",
                label=f"{section.name} (padding before)", start=pad_start, end=pad_end, region_size=region_size))
        if section.padding_after > 0:
            pad_start = end + 1
            pad_end = end + section.padding_after
            boundaries.add(pad_start)
            boundaries.add(pad_end)
            ranges.append(synthetic_range_payload(
                range_id=f"{region.name}:{section.name}:padding-after:{pad_start}", kind="padding",
                label=f"{section.name} (padding after)", start=pad_start, end=pad_end, region_size=region_size))
    images = sorted(() if load_images is None else load_images, key=lambda s: (s.lma, s.size, s.name))
    for section in images:
        start = section.lma
        end = section.lma + section.size - 1
        boundaries.add(start)
        boundaries.add(end)
        clipped = clip_interval(Interval(start, end), region_start, region_end)
        if clipped is not None:
            occupied.append(clipped)
        kind = section_kind(section.name, region.name, stack_hint_sections=stack_hints,
                            heap_hint_sections=heap_hints)
        image = attributed_range(section, start, end, kind)
        image["label"] = f"{section.name} (load image)"
        ranges.append(image)
    free = free_intervals(region_start, region_end, occupied)
    for interval, is_gap in free:
        ranges.append(synthetic_range_payload(
            range_id=f"{region.name}:free:{interval.start}", kind="free",
            label="Inter-section gap (alignment waste)" if is_gap else "Free space",
            start=interval.start, end=interval.end, region_size=region_size, is_inter_section_gap=is_gap))
    if usage is None:
        used = sum(max(s.size, 0) for s in [*sections, *images])
        free_bytes = sum(interval.size for interval, _ in free)
        utilization = used / region_size if region_size else 0.0
        overflow = max(used - region_size, 0)
    else:
        used = usage.used_bytes
        free_bytes = usage.free_bytes
        utilization = usage.utilization_ratio
        overflow = usage.overflow_bytes
    range_count = len(ranges)
    density_score = round(range_count / max(region_size / 4096, 1), 4)
    stats = {
        "stack_bytes": stack_bytes,
        "heap_bytes": heap_bytes,
        "padding_bytes": max(int(padding_bytes), 0),
        "reserved_bytes": reserved_bytes,
        "protected_bytes": protected_bytes,
        "sections_count": len(sections),
        "free_ranges_count": len(free),
    }
    boundary_rows = boundary_payload(boundaries, region_start=region_start, region_end=region_end)
    ranges.sort(key=lambda r: (int(r.get("start_address", 0)), int(r.get("end_address", 0)), str(r.get("id", ""))))
    return {
        "id": region.name,
        "name": region.name,
        "category": region.category.value,
        "start_address": region_start,
        "end_address": region_end,
        "size_bytes": region_size,
        "used_bytes": used,
        "free_bytes": free_bytes,
        "utilization_ratio": utilization,
        "overflow_bytes": overflow,
        "range_count": range_count,
        "density_score": density_score,
        "stats": stats,
        "boundaries": boundary_rows,
        "ranges": ranges,
    }


# ---- range payloads ----

def _symbol_name(symbol):
    return symbol.demangled_name or symbol.name


def section_panel_data(*, section, symbols, owners, issue_ids, baseline_delta):
    breakdown = [
        {"name": _symbol_name(s), "size": s.size, "address": s.address, "object_file": s.object_file,
         "archive": s.archive, "source_file": s.source_file}
        for s in symbols[:_MAX_RANGE_SYMBOLS]
    ]
    return {
        "section": {
            "name": section.name, "execution_region": section.execution_region,
            "load_region": section.load_region, "vma": section.vma, "lma": section.lma,
            "size_bytes": section.size, "padding_before": section.padding_before,
            "padding_after": section.padding_after,
        },
        "symbol_breakdown": breakdown,
        "owners": owners,
        "baseline": {"delta_bytes": baseline_delta, "status": "unknown" if baseline_delta is None else "available"},
        "policy": {"issue_ids": issue_ids, "violations_count": len(issue_ids)},
    }


def section_range_payload(*, region_name, section, section_start, section_end, region_size, kind, role,
                          symbols, issue_ids, baseline_delta):
    owners = owners_from_symbols(symbols)
    panel = section_panel_data(section=section, symbols=symbols, owners=owners, issue_ids=issue_ids,
                               baseline_delta=baseline_delta)
    size_bytes = section.size
    if 0 > size_bytes:
        size_bytes = 0
    return {
        "id": f"{region_name}:{section.name}:{section_start}",
        "kind": kind,
        "role": role,
        "label": section.name,
        "section_name": section.name,
        "execution_region": section.execution_region,
        "load_region": section.load_region,
        "start_address": section_start,
        "end_address": section_end,
        "size_bytes": size_bytes,
        "size_kib": size_bytes / 1024.0,
        "utilization_ratio_in_region": size_bytes / region_size if region_size > 0 else 0.0,
        "owners": owners,
        "top_symbols": [{"name": _symbol_name(s), "size": s.size, "address": s.address}
                        for s in symbols[:_MAX_RANGE_SYMBOLS]],
        "policy_issue_ids": issue_ids,
        "baseline_delta_bytes": baseline_delta,
        "panel": panel,
        "is_synthetic": False,
        "lod_group_key": None,
    }


def synthetic_range_payload(*, range_id, kind, label, start, end, region_size, is_inter_section_gap=False):
    size_bytes = end - start + 1
    if 0 > size_bytes:
        size_bytes = 0
    return {
        "id": range_id,
        "kind": kind,
        "label": label,
        "section_name": None,
        "execution_region": None,
        "load_region": None,
        "start_address": start,
        "end_address": end,
        "size_bytes": size_bytes,
        "size_kib": size_bytes / 1024.0,
        "utilization_ratio_in_region": size_bytes / region_size if region_size > 0 else 0.0,
        "owners": {"objects": [], "archives": [], "sources": []},
        "top_symbols": [],
        "policy_issue_ids": [],
        "baseline_delta_bytes": None,
        "panel": {},
        "is_synthetic": True,
        "is_inter_section_gap": bool(is_inter_section_gap),
        "lod_group_key": f"{kind}:{start}",
    }


def boundary_payload(boundaries, *, region_start, region_end):
    rows = []
    for address in sorted(boundaries):
        kind, label = "internal", "boundary"
        if address == region_start:
            kind, label = "start", "region start"
        elif address == region_end:
            kind, label = "end", "region end"
        rows.append({"address": int(address), "kind": kind, "label": label})
    return rows


# ---- render hints ----

def clamp(value, lower, upper):
    chosen = lower if lower > value else value
    return upper if upper < chosen else chosen


def build_region_render_hints(*, region, total_region_bytes, regions_count):
    range_count = int(region.get("range_count", 0) or 0)
    if 0 > range_count:
        range_count = 0
    density = float(region.get("density_score", 0.0) or 0.0)
    size_bytes = int(region.get("size_bytes", 0) or 0)
    if 0 > size_bytes:
        size_bytes = 0
    range_boost = clamp((range_count - 40) * 1.2, 0.0, 360.0)
    density_boost = clamp((density - 1.0) * 140.0, 0.0, 220.0)
    preferred = round(clamp(_RENDER_BASE_HEIGHT_PX + range_boost + density_boost,
                            float(_RENDER_MIN_HEIGHT_PX), float(_RENDER_MAX_HEIGHT_PX)))
    stack_height = max(regions_count * _RENDER_BASE_HEIGHT_PX, _RENDER_BASE_HEIGHT_PX)
    proportional = round((size_bytes / max(total_region_bytes, 1)) * stack_height)
    return {
        "layout_mode": _RENDER_LAYOUT_MODE,
        "min_height_px": _RENDER_MIN_HEIGHT_PX,
        "preferred_height_px": preferred,
        "scaled_for_readability": preferred > proportional,
    }


# ---- the oracle against the documented worked examples ----

def test_reference_free_intervals_example():
    free = free_intervals(0x0, 0xFFF, [Interval(0x100, 0x1FF), Interval(0x300, 0x3FF)])
    assert [(i.start, i.end, g) for i, g in free] == [(0x0, 0xFF, False), (0x200, 0x2FF, True),
                                                      (0x400, 0xFFF, False)]


def test_reference_render_hints_examples():
    assert build_region_render_hints(region={"range_count": 100, "density_score": 2.0}, total_region_bytes=0,
                                     regions_count=1)["preferred_height_px"] == 432
    assert build_region_render_hints(region={"range_count": 400, "density_score": 3.0}, total_region_bytes=0,
                                     regions_count=1)["preferred_height_px"] == 760
