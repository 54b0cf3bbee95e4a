"""Generated hostile inputs for every operation of both modules.

Each property draws inputs that mix plausible records with hostile values
(missing or raising attributes, raising dunder methods, cycles, deep nesting,
huge integers, non-finite floats, lone surrogates, non-string keys, long
texts) and checks the one outcome the host can live with: a result, or an
ordinary exception of an expected type; never SystemError, a crash or a hang,
and the caller's objects unchanged.
"""

from __future__ import annotations

import contextlib
import json
from collections import Counter
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reliability_helpers as rh
from brenvale import diffreport, plotspec
from reliability_helpers import PROPERTY_SETTINGS, anything, check_call, require


@pytest.fixture(scope="module", autouse=True)
def report_case_counts(request: pytest.FixtureRequest) -> Any:
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if reporter is None or not rh.CASE_COUNTS:
        return
    lines = ["", "generated cases per operation (reliability properties):"]
    for name, count in sorted(rh.CASE_COUNTS.items()):
        outcomes = ", ".join(f"{k} {v}" for k, v in rh.OUTCOMES.get(name, Counter()).most_common())
        lines.append(f"  {name}: {count} ({outcomes})")
    # Teardown output is captured; the counts belong in the run's log.
    with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
        for line in lines:
            reporter.write_line(line)


section_maps = rh.mapish(rh.section_name, rh.sections)
section_to_region = rh.mapish(rh.section_name, rh.region_name)
flag_maps = st.one_of(
    st.fixed_dictionaries({"sankey_enabled": st.booleans(), "relationship_graph_enabled": st.booleans()}),
    anything,
)
id_groups = st.lists(rh.listish(st.one_of(rh.texts, st.integers(), anything), 4), max_size=4)


# ---------------------------------------------------------------- contract


class TestContract:
    @PROPERTY_SETTINGS
    @given(
        model=rh.models,
        usage=rh.mapish(st.sampled_from(rh.REGION_NAMES), rh.usage_records),
        padding=rh.records({"by_region": rh.mapish(st.sampled_from(rh.REGION_NAMES), st.integers(0, 64))}),
        components=rh.listish(rh.components, 3),
        issues=rh.listish(rh.issues, 3),
        regressions=rh.regressions_maps,
        features=rh.features,
    )
    def test_build_contract(self, model, usage, padding, components, issues, regressions, features):
        kwargs = dict(region_usage=usage, padding_waste=padding, components=components, issues=issues,
                      regressions=regressions, features=features)
        check_call("build_visualization_contract", plotspec.build_visualization_contract, model, **kwargs)

    @PROPERTY_SETTINGS
    @given(
        model=rh.models,
        usage=rh.mapish(st.sampled_from(rh.REGION_NAMES), rh.usage_records),
        components=rh.listish(rh.components, 3),
        issues=rh.listish(rh.issues, 3),
        regressions=rh.regressions_maps,
        features=rh.features,
        indent=st.one_of(st.none(), st.integers(-2, 4), anything),
    )
    def test_build_contract_json(self, model, usage, components, issues, regressions, features, indent):
        fn = require(plotspec, "build_visualization_contract_json")
        out = check_call("build_visualization_contract_json", fn, model, region_usage=usage,
                         padding_waste=rh.Record(by_region={}), components=components, issues=issues,
                         regressions=regressions, features=features, indent=indent)
        if isinstance(out, bytes):
            # The JSON path must be decodable even when texts hold lone surrogates.
            out.decode("utf-8", "surrogatepass")

    @PROPERTY_SETTINGS
    @given(
        model=rh.plausible_models,
        usage=rh.plausible_usage,
        components=st.lists(rh.records(rh.COMPONENT_FIELDS, 0.01), max_size=3),
        issues=st.lists(rh.records(rh.ISSUE_FIELDS, 0.01), max_size=3),
        regressions=rh.regressions_maps,
        features=st.sampled_from([None, {"sankey_enabled": True, "relationship_graph_enabled": True}]),
        indent=st.sampled_from([None, 2]),
    )
    def test_mostly_valid_contract_and_its_json(self, model, usage, components, issues, regressions, features,
                                                indent):
        # Mostly valid inputs reach every builder; the JSON path must then
        # write exactly what json.dumps writes for the object path's result.
        kwargs = dict(region_usage=usage, padding_waste=rh.Record(by_region={}), components=components,
                      issues=issues, regressions=regressions, features=features)
        out = check_call("build_visualization_contract(mostly valid)", plotspec.build_visualization_contract,
                         model, **kwargs)
        fn = getattr(plotspec, "build_visualization_contract_json", None)
        if fn is None:
            return
        raw = check_call("build_visualization_contract_json(mostly valid)", fn, model, indent=indent, **kwargs)
        if isinstance(out, BaseException):
            assert isinstance(raw, type(out)), (out, raw)
            return
        try:
            expected = (json.dumps(out, indent=2) if indent else json.dumps(out, ensure_ascii=False))
        except Exception as exc:
            # The result holds a caller's value json cannot write, one whose own code
            # raises, or one nested deeper than it can go: so must the JSON path fail,
            # and in the same way.
            same = (TypeError, ValueError) if isinstance(exc, (TypeError, ValueError)) else type(exc)
            assert isinstance(raw, same), (exc, raw)
            return
        assert raw == expected.encode("utf-8", "surrogatepass")

    @PROPERTY_SETTINGS
    @given(args=st.lists(anything, max_size=3), kwargs=st.dictionaries(
        st.sampled_from(["region_usage", "padding_waste", "components", "issues", "regressions",
                         "features", "model", "bogus"]), anything, max_size=7))
    def test_argument_binding(self, args, kwargs):
        check_call("build_visualization_contract(binding)", plotspec.build_visualization_contract,
                   *args, **kwargs)


# ---------------------------------------------------------------- lookup indexes


class TestLookupIndexes:
    @PROPERTY_SETTINGS
    @given(features=rh.features)
    def test_normalize_feature_flags(self, features):
        out = check_call("_normalize_feature_flags", plotspec._normalize_feature_flags, features)
        assert isinstance(out, dict) and set(out) == {"sankey_enabled", "relationship_graph_enabled"}

    @PROPERTY_SETTINGS
    @given(symbols=rh.listish(rh.symbols, 8))
    def test_symbols_by_section(self, symbols):
        check_call("_symbols_by_section", plotspec._symbols_by_section, symbols)

    @PROPERTY_SETTINGS
    @given(symbols=rh.listish(rh.symbols, 8))
    def test_owners_from_symbols(self, symbols):
        check_call("_owners_from_symbols", plotspec._owners_from_symbols, symbols)

    @PROPERTY_SETTINGS
    @given(issues=rh.listish(rh.issues, 5))
    def test_issues_by_entity(self, issues):
        check_call("_issues_by_entity", plotspec._issues_by_entity, issues)

    @PROPERTY_SETTINGS
    @given(issues=rh.listish(rh.issues, 5))
    def test_policy_issue_index(self, issues):
        check_call("_policy_issue_index", plotspec._policy_issue_index, issues)

    @PROPERTY_SETTINGS
    @given(regressions=st.one_of(rh.regressions_maps, anything))
    def test_section_baseline_deltas(self, regressions):
        check_call("_section_baseline_deltas", plotspec._section_baseline_deltas, regressions)

    @PROPERTY_SETTINGS
    @given(groups=id_groups, kwargs=st.dictionaries(st.sampled_from(["groups", "x"]), anything, max_size=1))
    def test_merge_issue_ids(self, groups, kwargs):
        check_call("_merge_issue_ids", plotspec._merge_issue_ids, *groups, **kwargs)


# ---------------------------------------------------------------- classification and layout


class TestClassificationAndLayout:
    @PROPERTY_SETTINGS
    @given(value=st.one_of(rh.texts, anything), tokens=rh.listish(st.one_of(rh.texts, anything), 4))
    def test_contains_token(self, value, tokens):
        check_call("_contains_token", require(plotspec, "_contains_token"), value, tokens)

    @PROPERTY_SETTINGS
    @given(name=st.one_of(rh.section_name, anything), region=st.one_of(rh.region_name, anything),
           stack=rh.listish(st.one_of(rh.section_name, anything), 3),
           heap=rh.listish(st.one_of(rh.section_name, anything), 3),
           drop=st.sampled_from([None, "stack_hint_sections", "heap_hint_sections"]))
    def test_section_kind(self, name, region, stack, heap, drop):
        fn = require(plotspec, "_section_kind")
        kwargs = {"stack_hint_sections": stack, "heap_hint_sections": heap}
        kwargs.pop(drop, None)
        check_call("_section_kind", fn, name, region, **kwargs)

    @PROPERTY_SETTINGS
    @given(name=st.one_of(rh.section_name, st.none(), anything), region=st.one_of(rh.region_name, anything),
           pass_region=st.booleans())
    def test_section_role(self, name, region, pass_region):
        fn = require(plotspec, "_section_role")
        args = (name, region) if pass_region else (name,)
        check_call("_section_role", fn, *args)

    @PROPERTY_SETTINGS
    @given(start=rh.numbers, end=rh.numbers, lower=st.one_of(rh.numbers, anything),
           upper=st.one_of(rh.numbers, anything), raw=st.one_of(st.none(), anything))
    def test_clip_interval(self, start, end, lower, upper, raw):
        fn = require(plotspec, "_clip_interval")
        interval_type = require(plotspec, "_Interval")
        try:
            interval = interval_type(start, end)
        except rh.ALLOWED:
            interval = raw
        check_call("_clip_interval", fn, interval, lower, upper)

    @PROPERTY_SETTINGS
    @given(start=st.one_of(rh.small_addr, rh.numbers, anything), end=st.one_of(rh.small_addr, rh.numbers),
           pairs=st.lists(st.tuples(st.one_of(rh.small_addr, rh.numbers), st.one_of(rh.small_addr, rh.numbers)),
                          max_size=6),
           junk=st.lists(anything, max_size=2))
    def test_free_intervals(self, start, end, pairs, junk):
        fn = require(plotspec, "_free_intervals")
        interval_type = require(plotspec, "_Interval")
        occupied: list[Any] = []
        for a, b in pairs:
            try:
                occupied.append(interval_type(a, b))
            except rh.ALLOWED:
                pass
        check_call("_free_intervals", fn, start, end, occupied + junk)

    @PROPERTY_SETTINGS
    @given(region=rh.regions, sections=rh.listish(rh.sections, 6),
           section_symbols=rh.mapish(rh.section_name, rh.listish(rh.symbols, 4)),
           issues_by_entity=rh.mapish(rh.section_name, rh.listish(st.one_of(rh.texts, anything), 3)),
           deltas=rh.mapish(rh.section_name, st.one_of(st.integers(-50, 50), anything)),
           hints=rh.hints, usage=rh.usage_records,
           padding=st.one_of(st.integers(0, 64), rh.numbers, anything))
    def test_build_region_layout(self, region, sections, section_symbols, issues_by_entity, deltas, hints,
                                 usage, padding):
        fn = require(plotspec, "_build_region_layout")
        check_call("_build_region_layout", fn, region=region, sections=sections,
                   section_symbols=section_symbols, issues_by_entity=issues_by_entity,
                   section_baseline_deltas=deltas, stack_heap_hints=hints, usage=usage, padding_bytes=padding)


# ---------------------------------------------------------------- range payloads and hints


class TestRangePayloads:
    @PROPERTY_SETTINGS
    @given(region_name=st.one_of(rh.region_name, anything), section=rh.sections,
           start=st.one_of(rh.small_addr, rh.numbers, anything), end=st.one_of(rh.small_addr, rh.numbers),
           region_size=st.one_of(st.integers(0, 0x8000), rh.numbers, anything),
           kind=st.one_of(st.sampled_from(["section", "stack", "heap", "reserved"]), anything),
           role=st.one_of(st.none(), rh.texts, anything), symbols=rh.listish(rh.symbols, 30),
           issue_ids=rh.listish(st.one_of(rh.texts, anything), 3),
           delta=st.one_of(st.none(), st.integers(-100, 100), anything))
    def test_section_range_payload(self, region_name, section, start, end, region_size, kind, role, symbols,
                                   issue_ids, delta):
        fn = require(plotspec, "_section_range_payload")
        check_call("_section_range_payload", fn, region_name=region_name, section=section, section_start=start,
                   section_end=end, region_size=region_size, kind=kind, role=role, symbols=symbols,
                   issue_ids=issue_ids, baseline_delta=delta)

    @PROPERTY_SETTINGS
    @given(section=rh.sections, symbols=rh.listish(rh.symbols, 30),
           owners=rh.mapish(st.sampled_from(["objects", "archives", "sources"]),
                            rh.listish(st.one_of(rh.texts, anything), 3)),
           issue_ids=rh.listish(st.one_of(rh.texts, anything), 3),
           delta=st.one_of(st.none(), st.integers(-100, 100), anything))
    def test_section_panel_data(self, section, symbols, owners, issue_ids, delta):
        fn = require(plotspec, "_section_panel_data")
        check_call("_section_panel_data", fn, section=section, symbols=symbols, owners=owners,
                   issue_ids=issue_ids, baseline_delta=delta)

    @PROPERTY_SETTINGS
    @given(range_id=st.one_of(rh.texts, anything), kind=st.one_of(rh.texts, anything),
           label=st.one_of(rh.texts, anything), start=st.one_of(rh.small_addr, rh.numbers, anything),
           end=st.one_of(rh.small_addr, rh.numbers, anything),
           region_size=st.one_of(st.integers(0, 0x8000), rh.numbers, anything),
           gap=st.one_of(st.booleans(), anything), pass_gap=st.booleans())
    def test_synthetic_range_payload(self, range_id, kind, label, start, end, region_size, gap, pass_gap):
        fn = require(plotspec, "_synthetic_range_payload")
        extra = {"is_inter_section_gap": gap} if pass_gap else {}
        check_call("_synthetic_range_payload", fn, range_id=range_id, kind=kind, label=label, start=start,
                   end=end, region_size=region_size, **extra)

    @PROPERTY_SETTINGS
    @given(boundaries=rh.listish(st.one_of(rh.small_addr, rh.numbers, anything), 6),
           start=st.one_of(rh.small_addr, rh.numbers, anything), end=st.one_of(rh.small_addr, rh.numbers, anything))
    def test_boundary_payload(self, boundaries, start, end):
        fn = require(plotspec, "_boundary_payload")
        check_call("_boundary_payload", fn, boundaries, region_start=start, region_end=end)

    @PROPERTY_SETTINGS
    @given(value=st.one_of(rh.numbers, anything), lower=st.one_of(rh.numbers, anything),
           upper=st.one_of(rh.numbers, anything))
    def test_clamp(self, value, lower, upper):
        check_call("_clamp", require(plotspec, "_clamp"), value, lower, upper)

    @PROPERTY_SETTINGS
    @given(region=st.one_of(
        st.fixed_dictionaries({}, optional={k: st.one_of(rh.numbers, rh.texts, anything) for k in
                                            ("name", "size_bytes", "range_count", "density_score",
                                             "ranges", "usage")}),
        anything),
        total=st.one_of(st.integers(0, 10**6), rh.numbers, anything),
        count=st.one_of(st.integers(0, 20), rh.numbers, anything))
    def test_build_region_render_hints(self, region, total, count):
        fn = require(plotspec, "_build_region_render_hints")
        check_call("_build_region_render_hints", fn, region=region, total_region_bytes=total,
                   regions_count=count)


# ---------------------------------------------------------------- ownership, diff, relationships


class TestViews:
    @PROPERTY_SETTINGS
    @given(symbols=rh.listish(rh.symbols, 10), section_map=section_maps, s2r=section_to_region,
           components=rh.listish(rh.components, 4))
    def test_build_ownership_views(self, symbols, section_map, s2r, components):
        check_call("_build_ownership_views", plotspec._build_ownership_views, symbols=symbols,
                   section_map=section_map, section_to_region=s2r, components=components)

    @PROPERTY_SETTINGS
    @given(region_name=st.one_of(rh.region_name, anything), section=st.one_of(st.none(), rh.sections, anything))
    def test_category_for_ownership(self, region_name, section):
        check_call("_category_for_ownership", plotspec._category_for_ownership, region_name=region_name,
                   section=section)

    @PROPERTY_SETTINGS
    @given(regressions=st.one_of(rh.regressions_maps, anything))
    def test_build_diff_view(self, regressions):
        check_call("_build_diff_view", plotspec._build_diff_view, regressions)

    @PROPERTY_SETTINGS
    @given(model=rh.models, section_map=section_maps, s2r=section_to_region,
           components=rh.listish(rh.components, 4), flags=flag_maps)
    def test_build_relationship_views(self, model, section_map, s2r, components, flags):
        check_call("_build_relationship_views", plotspec._build_relationship_views, model=model,
                   section_map=section_map, section_to_region=s2r, components=components, feature_flags=flags)

    @PROPERTY_SETTINGS
    @given(model=rh.models, section_map=section_maps, s2r=section_to_region)
    def test_build_sankey_view(self, model, section_map, s2r):
        check_call("_build_sankey_view", plotspec._build_sankey_view, model=model, section_map=section_map,
                   section_to_region=s2r)

    @PROPERTY_SETTINGS
    @given(model=rh.models, s2r=section_to_region, components=rh.listish(rh.components, 4))
    def test_build_relationship_graph_view(self, model, s2r, components):
        check_call("_build_relationship_graph_view", plotspec._build_relationship_graph_view, model=model,
                   section_to_region=s2r, components=components)


# ---------------------------------------------------------------- diff report


entries = rh.listish(rh.diff_entries, 12)
limits = st.one_of(st.none(), st.integers(-3, 20), st.sampled_from([2**63, -(2**63) - 1, 10**30]), anything)


class TestDiffReport:
    @PROPERTY_SETTINGS
    @given(entries=entries, limit=limits, pass_limit=st.booleans())
    def test_rank_top_regressions(self, entries, limit, pass_limit):
        kwargs = {"limit": limit} if pass_limit else {}
        check_call("rank_top_regressions", diffreport.rank_top_regressions, entries, **kwargs)

    @PROPERTY_SETTINGS
    @given(entries=entries, limit=limits, pass_limit=st.booleans())
    def test_rank_top_reductions(self, entries, limit, pass_limit):
        kwargs = {"limit": limit} if pass_limit else {}
        check_call("rank_top_reductions", diffreport.rank_top_reductions, entries, **kwargs)

    @PROPERTY_SETTINGS
    @given(entries=entries, threshold=st.one_of(rh.numbers, anything), pass_threshold=st.booleans())
    def test_added_large_symbols(self, entries, threshold, pass_threshold):
        kwargs = {"min_size_bytes": threshold} if pass_threshold else {}
        check_call("added_large_symbols", diffreport.added_large_symbols, entries, **kwargs)

    @PROPERTY_SETTINGS
    @given(payload=rh.diff_payloads, paths=st.one_of(
        st.none(), rh.mapish(rh.texts, st.one_of(rh.texts, anything)), anything))
    def test_render_diff_console_summary(self, payload, paths):
        out = check_call("render_diff_console_summary", diffreport.render_diff_console_summary, payload,
                         output_paths=paths)
        assert isinstance(out, (str, BaseException))

    @PROPERTY_SETTINGS
    @given(payload=rh.diff_payloads)
    def test_render_diff_html(self, payload):
        out = check_call("render_diff_html", diffreport.render_diff_html, payload)
        assert isinstance(out, (str, BaseException))

    @PROPERTY_SETTINGS
    @given(value=st.one_of(anything, rh.diff_payloads))
    def test_coercion_helpers_never_fail(self, value):
        for name in ("_as_list", "_as_mapping", "_as_number"):
            out = check_call(name, getattr(diffreport, name), value)
            assert not isinstance(out, BaseException) or isinstance(out, rh.Boom), (name, out)

    @PROPERTY_SETTINGS
    @given(current=rh.build_maps, baseline=rh.build_maps)
    def test_render_comparison_card(self, current, baseline):
        check_call("_render_comparison_card", diffreport._render_comparison_card, current, baseline)

    @PROPERTY_SETTINGS
    @given(value=st.one_of(rh.json_values, anything))
    def test_safe_script_json(self, value):
        out = check_call("_safe_script_json", diffreport._safe_script_json, value)
        if isinstance(out, str):
            assert "</" not in out and "<!--" not in out

    @PROPERTY_SETTINGS
    @given(regions=rh.listish(rh.ranked_entry, 6))
    def test_render_region_delta_strip(self, regions):
        check_call("_render_region_delta_strip", diffreport._render_region_delta_strip, regions)

    @PROPERTY_SETTINGS
    @given(rows=rh.listish(rh.ranked_entry, 12))
    def test_render_diff_table_rows(self, rows):
        check_call("_render_diff_table_rows", diffreport._render_diff_table_rows, rows)

    @PROPERTY_SETTINGS
    @given(regressions=rh.listish(rh.ranked_entry, 8), reductions=rh.listish(rh.ranked_entry, 8))
    def test_build_diff_chart_entries(self, regressions, reductions):
        check_call("_build_diff_chart_entries", diffreport._build_diff_chart_entries, regressions, reductions)
