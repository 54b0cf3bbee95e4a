"""Type stubs of the compiled module brenvale.plotspec: the visualization contract.

Records are read by attribute only, so any object with the record's fields
serves; they are typed ``Any`` here.  Maps may be any mapping with lookup.
"""

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Final

VISUALIZATION_SCHEMA_VERSION: Final[str]

def build_visualization_contract(
    model: Any,
    *,
    region_usage: Mapping[str, Any],
    padding_waste: Any,
    components: Sequence[Any],
    issues: Sequence[Any],
    regressions: Mapping[str, Any],
    features: Any = None,
) -> dict[str, Any]: ...
def build_visualization_contract_json(
    model: Any,
    *,
    region_usage: Mapping[str, Any],
    padding_waste: Any,
    components: Sequence[Any],
    issues: Sequence[Any],
    regressions: Mapping[str, Any],
    features: Any = None,
    indent: int | None = None,
) -> bytes: ...

# Private operations, exposed for tests and benchmarks.

def _contract_phase_times(
    model: Any,
    *,
    region_usage: Mapping[str, Any],
    padding_waste: Any,
    components: Sequence[Any],
    issues: Sequence[Any],
    regressions: Mapping[str, Any],
    features: Any = None,
    one_thread: bool = False,
) -> dict[str, Any]: ...  # the times, and the contract built under "contract"

_MAX_RANGE_SYMBOLS: Final[int]
_MAX_OWNERSHIP_ROWS: Final[int]
_MAX_TREEMAP_SYMBOLS_PER_OBJECT: Final[int]
_MAX_TREEMAP_OBJECTS_PER_COMPONENT: Final[int]
_MAX_SANKEY_INPUT_NODES: Final[int]
_MAX_SANKEY_OUTPUT_NODES: Final[int]
_MAX_SANKEY_LINKS: Final[int]
_MAX_GRAPH_COMPONENT_NODES: Final[int]
_MAX_GRAPH_OBJECT_NODES: Final[int]
_MAX_GRAPH_SYMBOL_NODES: Final[int]
_MAX_GRAPH_LINKS: Final[int]
_RENDER_LAYOUT_MODE: Final[str]
_RENDER_MIN_HEIGHT_PX: Final[int]
_RENDER_BASE_HEIGHT_PX: Final[int]
_RENDER_MAX_HEIGHT_PX: Final[int]
_STACK_TOKENS: Final[tuple[str, ...]]
_HEAP_TOKENS: Final[tuple[str, ...]]
_RESERVED_TOKENS: Final[tuple[str, ...]]
_PROTECTED_TOKENS: Final[tuple[str, ...]]
_ROLE_VECTOR_TOKENS: Final[tuple[str, ...]]
_ROLE_BSS_TOKENS: Final[tuple[str, ...]]
_ROLE_DATA_TOKENS: Final[tuple[str, ...]]
_ROLE_RODATA_TOKENS: Final[tuple[str, ...]]
_ROLE_TEXT_TOKENS: Final[tuple[str, ...]]
_ROLE_HEAP_TOKENS: Final[tuple[str, ...]]
_ROLE_STACK_TOKENS: Final[tuple[str, ...]]

class _Interval:
    start: int
    end: int
    def __init__(self, start: int, end: int) -> None: ...
    @property
    def size(self) -> int: ...

def _normalize_feature_flags(features: Any) -> dict[str, bool]: ...
def _symbols_by_section(symbols: Iterable[Any]) -> dict[str, list[Any]]: ...
def _owners_from_symbols(symbols: Iterable[Any]) -> dict[str, list[str]]: ...
def _issues_by_entity(issues: Iterable[Any]) -> dict[str, list[Any]]: ...
def _policy_issue_index(issues: Iterable[Any]) -> dict[Any, dict[str, Any]]: ...
def _section_baseline_deltas(regressions: Mapping[str, Any]) -> dict[str, int]: ...
def _merge_issue_ids(*groups: Iterable[Any]) -> list[str]: ...
def _contains_token(value: str, tokens: Iterable[str]) -> bool: ...
def _section_kind(
    section_name: str,
    region_name: str,
    *,
    stack_hint_sections: Iterable[str],
    heap_hint_sections: Iterable[str],
) -> str: ...
def _section_role(section_name: str | None, region_name: str | None = "") -> str | None: ...
def _clip_interval(interval: _Interval, lower: int, upper: int) -> _Interval | None: ...
def _free_intervals(start: int, end: int, occupied: Iterable[_Interval]) -> list[tuple[_Interval, bool]]: ...
def _build_region_layout(
    *,
    region: Any,
    sections: Sequence[Any],
    section_symbols: Mapping[str, Sequence[Any]],
    issues_by_entity: Mapping[str, Sequence[Any]],
    section_baseline_deltas: Mapping[str, int],
    stack_heap_hints: Mapping[str, Sequence[Any]],
    usage: Any,
    padding_bytes: int,
    load_images: Sequence[Any] | None = None,
) -> dict[str, Any]: ...
def _section_range_payload(
    *,
    region_name: str,
    section: Any,
    section_start: int,
    section_end: int,
    region_size: int,
    kind: str,
    role: str | None,
    symbols: Sequence[Any],
    issue_ids: list[str],
    baseline_delta: int | None,
) -> dict[str, Any]: ...
def _section_panel_data(
    *,
    section: Any,
    symbols: Sequence[Any],
    owners: dict[str, list[str]],
    issue_ids: list[str],
    baseline_delta: int | None,
) -> dict[str, Any]: ...
def _synthetic_range_payload(
    *,
    range_id: str,
    kind: str,
    label: str,
    start: int,
    end: int,
    region_size: int,
    is_inter_section_gap: object = False,
) -> dict[str, Any]: ...
def _boundary_payload(boundaries: Iterable[int | float], *, region_start: int, region_end: int) -> list[dict[str, Any]]: ...
def _clamp(value: Any, lower: Any, upper: Any) -> Any: ...
def _build_region_render_hints(
    *, region: Mapping[str, Any], total_region_bytes: int, regions_count: int
) -> dict[str, Any]: ...
def _build_ownership_views(
    *,
    symbols: Sequence[Any],
    section_map: Mapping[str, Any],
    section_to_region: Mapping[str, str],
    components: Sequence[Any],
) -> dict[str, list[dict[str, Any]]]: ...
def _category_for_ownership(*, region_name: Any, section: Any) -> str: ...
def _build_diff_view(regressions: Mapping[str, Any]) -> dict[str, Any]: ...
def _build_relationship_views(
    *,
    model: Any,
    section_map: Mapping[str, Any],
    section_to_region: Mapping[str, str],
    components: Sequence[Any],
    feature_flags: Mapping[str, Any],
) -> dict[str, dict[str, Any]]: ...
def _build_sankey_view(
    *, model: Any, section_map: Mapping[str, Any], section_to_region: Mapping[str, str]
) -> dict[str, Any]: ...
def _build_relationship_graph_view(
    *, model: Any, section_to_region: Mapping[str, str], components: Sequence[Any]
) -> dict[str, Any]: ...
