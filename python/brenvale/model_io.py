"""Reading and writing build models as JSON files.

File format (one JSON object, UTF-8)::

    {
      "memory_regions": [{"name", "start_address", "end_address", "size", "category"}],
      "sections": [{"name", "execution_region", "load_region", "vma", "lma",
                    "size", "padding_before", "padding_after", "fill_bytes"?}],
      "symbols": [{"name", "demangled_name", "address", "size", "section_name",
                   "object_file", "archive", "source_file", "compilation_unit"}],
      "stack_heap_hints": {"stack_sections": [names], "heap_sections": [names]},
      "components": [{"name", "objects", "total_flash", "total_ram", "symbols"}],
      "issues": [{"id", "title", "description", "severity", "category",
                  "affected_entities"}],
      "metadata": {anything}
    }

"memory_regions", "sections", "symbols" and "stack_heap_hints" are required;
"components", "issues" and "metadata" may be left out.  "metadata" is free-form;
the build comparison shows its "target_name", "analysis_timestamp" (ISO 8601,
date "T" time) and "tool_version" strings when present.  Every field listed for
a record is required except those marked "?" ("fill_bytes", default 0); fields a record carries beyond these are ignored, so a
front end may keep its own data beside them.

Types: names are strings; "execution_region", "load_region", "demangled_name",
"object_file", "archive", "source_file" and "compilation_unit" are strings or
null; addresses, sizes, paddings and component totals are integers from 0 to
2**63 - 1 (the compiled modules work in signed 64-bit); a region "size" may be
null; "end_address" is inclusive.  "category" of a region is one of "flash",
"ram", "other"; an issue's "severity" is "info", "warning" or "error" and its
"category" one of "overflow", "policy", "reserved", "alignment", "padding",
"other".  A component's "objects" are object file names and its "symbols"
symbol names; "affected_entities" names sections or regions.

A section's "padding_before" and "padding_after" are alignment bytes in the gap
before and after it; "fill_bytes" is fill inside it, already part of its
"size".  A section that runs in one region and is stored in another names the
second as "load_region" (at "lma"); one without contents (zeroed data, a stack
or heap reservation) has its "execution_region" as "load_region".

Anything malformed raises ModelFormatError, whose message names the file, the
record kind, its index and the field (or, for text that is not JSON, the line
and column).
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from collections.abc import Callable
from typing import Any

from .records import (
    BuildInput,
    ComponentGroup,
    Issue,
    IssueCategory,
    IssueSeverity,
    MemoryRegion,
    NormalizedBuildModel,
    RegionCategory,
    SectionPlacement,
    SymbolEntry,
)

INT_MAX = 2**63 - 1

_TOP_LEVEL_KEYS = (
    "memory_regions",
    "sections",
    "symbols",
    "stack_heap_hints",
    "components",
    "issues",
    "metadata",
)
_HINT_KEYS = ("stack_sections", "heap_sections")


class ModelFormatError(ValueError):
    """A model file that cannot be read as a build model.

    The location attributes are None where they do not apply: a JSON syntax
    error has ``line`` and ``column``; a bad record has ``record`` (its kind),
    ``list_key``, ``index`` and ``field``.
    """

    def __init__(
        self,
        source: str,
        problem: str,
        *,
        record: str | None = None,
        list_key: str | None = None,
        index: int | None = None,
        name: str | None = None,
        field: str | None = None,
        line: int | None = None,
        column: int | None = None,
    ) -> None:
        self.source = source
        self.problem = problem
        self.record = record
        self.list_key = list_key
        self.index = index
        self.name = name
        self.field = field
        self.line = line
        self.column = column
        super().__init__(self._compose())

    def _compose(self) -> str:
        parts = [self.source]
        if self.line is not None:
            parts.append(f"line {self.line}, column {self.column}")
        if self.record is not None:
            where = self.record if self.index is None else f"{self.list_key}[{self.index}]"
            label = self.record
            if self.name is not None:
                label += f" {_preview(self.name)}"
            parts.append(where if where == label else f"{where} ({label})")
        if self.field is not None:
            parts.append(f"field '{self.field}'")
        parts.append(self.problem)
        return ": ".join(parts)


class _Bad(Exception):
    """Raised by a field checker; the caller adds the location."""

    def __init__(self, problem: str, suffix: str = "") -> None:
        super().__init__(problem)
        self.problem = problem
        self.suffix = suffix


def _preview(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _type_name(value: Any) -> str:
    if value is None:
        return "null"
    return {
        bool: "boolean",
        int: "integer",
        float: "number",
        str: "string",
        list: "list",
        dict: "object",
    }.get(type(value), type(value).__name__)


def _got(value: Any) -> str:
    if isinstance(value, (dict, list)):
        return f"got {_type_name(value)}"
    return f"got {_type_name(value)} {_preview(value)}"


def _text(value: Any) -> str:
    if type(value) is str:
        return value
    raise _Bad(f"expected a string, {_got(value)}")


def _text_or_null(value: Any) -> str | None:
    if value is None or type(value) is str:
        return value
    raise _Bad(f"expected a string or null, {_got(value)}")


def _count(value: Any) -> int:
    # bool is an int subclass; a true/false in an address field is a mistake.
    if type(value) is int and 0 <= value <= INT_MAX:
        return value
    raise _Bad(f"expected an integer from 0 to 2**63 - 1, {_got(value)}")


def _count_or_null(value: Any) -> int | None:
    if value is None or (type(value) is int and 0 <= value <= INT_MAX):
        return value
    raise _Bad(f"expected null or an integer from 0 to 2**63 - 1, {_got(value)}")


def _text_list(value: Any) -> list[str]:
    if type(value) is not list:
        raise _Bad(f"expected a list of strings, {_got(value)}")
    for position, item in enumerate(value):
        if type(item) is not str:
            raise _Bad(f"expected a string, {_got(item)}", f"[{position}]")
    return value


_Category = RegionCategory | IssueSeverity | IssueCategory


def _enum(kind: type[RegionCategory] | type[IssueSeverity] | type[IssueCategory]) -> Callable[[Any], _Category]:
    def check(value: Any) -> _Category:
        if type(value) is not str:
            raise _Bad(f"expected a string, {_got(value)}")
        try:
            return kind.parse(value)
        except ValueError as error:
            raise _Bad(str(error)) from None

    return check


# (name, check) of a required field; (name, check, default) of an optional one.
_Fields = tuple[tuple[str, Callable[[Any], Any]] | tuple[str, Callable[[Any], Any], Any], ...]

_REGION_FIELDS: _Fields = (
    ("name", _text),
    ("start_address", _count),
    ("end_address", _count),
    ("size", _count_or_null),
    ("category", _enum(RegionCategory)),
)
_SECTION_FIELDS: _Fields = (
    ("name", _text),
    ("execution_region", _text_or_null),
    ("load_region", _text_or_null),
    ("vma", _count),
    ("lma", _count),
    ("size", _count),
    ("padding_before", _count),
    ("padding_after", _count),
    ("fill_bytes", _count, 0),
)
_SYMBOL_FIELDS: _Fields = (
    ("name", _text),
    ("demangled_name", _text_or_null),
    ("address", _count),
    ("size", _count),
    ("section_name", _text),
    ("object_file", _text_or_null),
    ("archive", _text_or_null),
    ("source_file", _text_or_null),
    ("compilation_unit", _text_or_null),
)
_COMPONENT_FIELDS: _Fields = (
    ("name", _text),
    ("objects", _text_list),
    ("total_flash", _count),
    ("total_ram", _count),
    ("symbols", _text_list),
)
_ISSUE_FIELDS: _Fields = (
    ("id", _text),
    ("title", _text),
    ("description", _text),
    ("severity", _enum(IssueSeverity)),
    ("category", _enum(IssueCategory)),
    ("affected_entities", _text_list),
)


def _read_records(
    source: str,
    document: dict[str, Any],
    list_key: str,
    record: str,
    fields: _Fields,
    make: Callable[..., Any],
    required: bool,
) -> list[Any]:
    if list_key not in document:
        if required:
            raise ModelFormatError(source, f"missing top-level field '{list_key}'")
        return []
    items = document[list_key]
    if type(items) is not list:
        raise ModelFormatError(source, f"top-level field '{list_key}': expected a list, {_got(items)}")
    records: list[Any] = []
    append = records.append
    for index, item in enumerate(items):
        if type(item) is not dict:
            raise ModelFormatError(
                source,
                f"expected an object, {_got(item)}",
                record=record,
                list_key=list_key,
                index=index,
            )
        values = []
        for field_spec in fields:
            field_name, check = field_spec[0], field_spec[1]
            try:
                if len(field_spec) > 2 and field_name not in item:
                    values.append(field_spec[2])
                else:
                    values.append(check(item[field_name]))
            except (KeyError, _Bad) as error:
                name = item.get("name", item.get("id"))
                raise ModelFormatError(
                    source,
                    "missing" if isinstance(error, KeyError) else error.problem,
                    record=record,
                    list_key=list_key,
                    index=index,
                    name=name if type(name) is str else None,
                    field=field_name + ("" if isinstance(error, KeyError) else error.suffix),
                ) from None
        append(make(*values))
    return records


def _read_hints(source: str, document: dict[str, Any]) -> dict[str, list[str]]:
    if "stack_heap_hints" not in document:
        raise ModelFormatError(source, "missing top-level field 'stack_heap_hints'")
    hints = document["stack_heap_hints"]
    if type(hints) is not dict:
        raise ModelFormatError(
            source, f"top-level field 'stack_heap_hints': expected an object, {_got(hints)}"
        )
    result = {}
    for key in _HINT_KEYS:
        try:
            result[key] = _text_list(hints.get(key, []))
        except _Bad as bad:
            raise ModelFormatError(
                source, bad.problem, record="stack_heap_hints", field=key + bad.suffix
            ) from None
    return result


def build_from_json(document: Any, source: str = "<model>") -> BuildInput:
    """Check a parsed model document and turn it into records.

    *source* names the document in error messages (usually its file path).
    """
    if type(document) is not dict:
        raise ModelFormatError(source, f"expected a JSON object at the top level, {_got(document)}")
    unknown = [key for key in document if key not in _TOP_LEVEL_KEYS]
    if unknown:
        # A misspelt optional key would otherwise drop its data without a word.
        raise ModelFormatError(
            source,
            f"unknown top-level field {unknown[0]!r} (expected: {', '.join(_TOP_LEVEL_KEYS)})",
        )
    regions = _read_records(
        source, document, "memory_regions", "memory region", _REGION_FIELDS, MemoryRegion, True
    )
    sections = _read_records(
        source, document, "sections", "section", _SECTION_FIELDS, SectionPlacement, True
    )
    symbols = _read_records(source, document, "symbols", "symbol", _SYMBOL_FIELDS, SymbolEntry, True)
    hints = _read_hints(source, document)
    components = _read_records(
        source, document, "components", "component", _COMPONENT_FIELDS, ComponentGroup, False
    )
    issues = _read_records(source, document, "issues", "issue", _ISSUE_FIELDS, Issue, False)
    metadata = document.get("metadata", {})
    if type(metadata) is not dict:
        raise ModelFormatError(source, f"top-level field 'metadata': expected an object, {_got(metadata)}")
    model = NormalizedBuildModel(
        sections=sections, symbols=symbols, memory_regions=regions, stack_heap_hints=hints
    )
    return BuildInput(model=model, components=components, issues=issues, metadata=metadata)


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON")


def parse_json_text(text: str, source: str) -> Any:
    """Parse JSON text, reporting syntax errors with line and column."""
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except json.JSONDecodeError as error:
        raise ModelFormatError(
            source, f"invalid JSON: {error.msg}", line=error.lineno, column=error.colno
        ) from None
    except ValueError as error:
        # Raised by _reject_constant; json gives no position for it.
        raise ModelFormatError(source, f"invalid JSON: {error}") from None


def read_json_file(path: str | os.PathLike[str]) -> Any:
    """Read and parse one JSON file; OSError passes through for the caller to report."""
    source = os.fspath(path)
    data = Path(path).read_bytes()
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - (data.rfind(b"\n", 0, error.start) + 1) + 1
        raise ModelFormatError(
            source, "not valid UTF-8 text", line=line, column=column
        ) from None
    return parse_json_text(text, source)


def load_build(path: str | os.PathLike[str]) -> BuildInput:
    """Load a build model file (format in the module documentation)."""
    return build_from_json(read_json_file(path), os.fspath(path))


def _fields_of(record: Any, fields: _Fields) -> dict[str, Any]:
    out = {}
    for field_spec in fields:
        name = field_spec[0]
        value = getattr(record, name)
        if len(field_spec) > 2 and value == field_spec[2]:
            continue  # an optional field at its default stays out, as older files have it
        out[name] = value.value if isinstance(value, IssueCategory | IssueSeverity | RegionCategory) else value
    return out


def build_to_json(build: BuildInput) -> dict[str, Any]:
    """The JSON document for *build*; build_from_json reads it back unchanged."""
    model = build.model
    document: dict[str, Any] = {
        "memory_regions": [_fields_of(r, _REGION_FIELDS) for r in model.memory_regions],
        "sections": [_fields_of(s, _SECTION_FIELDS) for s in model.sections],
        "symbols": [_fields_of(s, _SYMBOL_FIELDS) for s in model.symbols],
        "stack_heap_hints": {key: list(model.stack_heap_hints.get(key, [])) for key in _HINT_KEYS},
    }
    if build.components:
        document["components"] = [_fields_of(c, _COMPONENT_FIELDS) for c in build.components]
    if build.issues:
        document["issues"] = [_fields_of(i, _ISSUE_FIELDS) for i in build.issues]
    if build.metadata:
        document["metadata"] = build.metadata
    return document


__all__ = [
    "INT_MAX",
    "ModelFormatError",
    "build_from_json",
    "build_to_json",
    "load_build",
    "parse_json_text",
    "read_json_file",
]
