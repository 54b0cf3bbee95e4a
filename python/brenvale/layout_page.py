"""The layout page: one self-contained HTML document that draws a visualization contract.

The page's template, style sheet and script are files in ``brenvale/viewer/``;
this module puts them together with the contract, embedded as a JSON island
(``<script type="application/json" id="brenvale-layout-contract">``).  The
page needs no network and no build step: opened from file:// it parses the
island and draws every view the contract holds.

The island is escaped as the diff report escapes its chart data: every ``<``
and ``>`` becomes ``\\u003c`` / ``\\u003e``, so no ``</script>``, ``<script``
or ``<!--`` can appear inside it.  Text that holds lone surrogates (possible
in Python strings, not encodable as UTF-8) is written as ``\\uXXXX`` escapes,
which JSON.parse turns back into the same code units.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from functools import lru_cache
from pathlib import Path
from typing import Any

VIEWER_DIR = Path(__file__).with_name("viewer")
ISLAND_ID = "brenvale-layout-contract"
CONTRACT_SCHEMA_VERSION = "viz-1.0.0"

_CSS_SLOT = "/*@BRENVALE_LAYOUT_CSS@*/"
_JS_SLOT = "/*@BRENVALE_LAYOUT_JS@*/"
_JSON_SLOT = "@BRENVALE_CONTRACT_JSON@"
_SURROGATE = re.compile("[\ud800-\udfff]")


class ContractError(ValueError):
    """A document that is not a visualization contract this page can draw."""


@lru_cache(maxsize=1)
def _page_parts() -> tuple[str, str]:
    """The page before and after the island, with the style sheet and script in place."""
    template = (VIEWER_DIR / "layout.html").read_text(encoding="utf-8")
    css = (VIEWER_DIR / "layout.css").read_text(encoding="utf-8")
    script = (VIEWER_DIR / "layout.js").read_text(encoding="utf-8")
    for slot in (_CSS_SLOT, _JS_SLOT, _JSON_SLOT):
        if template.count(slot) != 1:
            raise RuntimeError(f"{VIEWER_DIR / 'layout.html'}: expected one {slot}")
    # The resources are inserted as they are; a "</" in them would end their
    # element early, so refuse such a resource rather than ship a broken page.
    if "</style" in css.lower() or "</script" in script.lower() or "<!--" in script:
        raise RuntimeError("the layout page's style sheet or script contains an element end tag")
    before, after = template.split(_JSON_SLOT)
    before = before.replace(_CSS_SLOT, css)
    after = after.replace(_JS_SLOT, script)
    return before, after


def _escape_surrogate(match: re.Match[str]) -> str:
    return f"\\u{ord(match.group()):04x}"


def safe_island_json(json_text: str) -> str:
    """JSON text made safe to stand inside a script element.

    *json_text* is JSON as json.dumps writes it (or the contract builder's
    direct JSON path, which writes the same text).  A ``<`` or ``>`` can only
    occur inside a JSON string there, where its escape means the same.
    """
    text = json_text.replace("<", "\\u003c").replace(">", "\\u003e")
    return _SURROGATE.sub(_escape_surrogate, text)


def check_contract(contract: object, source: str = "contract") -> Mapping[str, Any]:
    """*contract* when it is a contract of the schema this page draws; ContractError otherwise."""
    if not isinstance(contract, Mapping):
        raise ContractError(f"{source}: not a visualization contract (the JSON is not an object)")
    version = contract.get("schema_version")
    if version != CONTRACT_SCHEMA_VERSION:
        raise ContractError(
            f"{source}: field 'schema_version': {version!r} is not {CONTRACT_SCHEMA_VERSION!r}, the schema this page draws"
        )
    regions = contract.get("regions")
    if not isinstance(regions, list):
        raise ContractError(f"{source}: field 'regions': not a list")
    for index, region in enumerate(regions):
        if not isinstance(region, Mapping) or not isinstance(region.get("ranges"), list):
            raise ContractError(f"{source}: regions[{index}]: field 'ranges': not a list")
    return contract


def render_layout_page_json(json_text: str) -> str:
    """The layout page for a contract given as JSON text (compact or indented)."""
    before, after = _page_parts()
    return before + safe_island_json(json_text) + after


def render_layout_page(contract: Mapping[str, Any]) -> str:
    """The layout page for a contract given as Python objects."""
    check_contract(contract)
    return render_layout_page_json(json.dumps(contract, ensure_ascii=False, allow_nan=True))


def is_contract_document(document: object) -> bool:
    """Whether a parsed JSON file is meant as a contract: build models carry no "schema_version"."""
    return isinstance(document, Mapping) and "schema_version" in document


__all__ = [
    "CONTRACT_SCHEMA_VERSION",
    "ContractError",
    "ISLAND_ID",
    "VIEWER_DIR",
    "check_contract",
    "is_contract_document",
    "render_layout_page",
    "render_layout_page_json",
    "safe_island_json",
]
