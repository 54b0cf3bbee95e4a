"""JSON Schemas of the documents this package produces, for renderer authors.

``contract.schema.json`` (JSON Schema draft 2020-12) describes the
visualization contract of schema version "viz-1.0.0": every key of every map,
its type, and the fixed limits of the bounded lists.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

CONTRACT_SCHEMA_FILE = Path(__file__).with_name("contract.schema.json")


def load_contract_schema() -> dict[str, Any]:
    """The contract schema as a fresh dict (safe to modify)."""
    schema: dict[str, Any] = json.loads(CONTRACT_SCHEMA_FILE.read_text(encoding="utf-8"))
    return schema


__all__ = ["CONTRACT_SCHEMA_FILE", "load_contract_schema"]
