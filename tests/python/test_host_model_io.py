"""Model file loading: faithful round trips and precise error locations."""

import copy
import json

import pytest

from brenvale.model_io import (
    INT_MAX,
    ModelFormatError,
    build_from_json,
    build_to_json,
    load_build,
)
from brenvale.records import IssueCategory, IssueSeverity, RegionCategory
from brenvale.samples import BASELINE_SAMPLE, DEFAULT_SAMPLE, sample_path


def minimal_document():
    return {
        "memory_regions": [
            {"name": "FLASH", "start_address": 0, "end_address": 1023, "size": 1024, "category": "flash"},
            {"name": "RAM", "start_address": 4096, "end_address": 4351, "size": None, "category": "ram"},
        ],
        "sections": [
            {"name": ".text", "execution_region": "FLASH", "load_region": "FLASH", "vma": 0, "lma": 0,
             "size": 100, "padding_before": 0, "padding_after": 4},
            {"name": ".data", "execution_region": "RAM", "load_region": "FLASH", "vma": 4096, "lma": 104,
             "size": 8, "padding_before": 0, "padding_after": 0},
        ],
        "symbols": [
            {"name": "main", "demangled_name": None, "address": 0, "size": 60, "section_name": ".text",
             "object_file": "main.o", "archive": None, "source_file": "main.c", "compilation_unit": None},
        ],
        "stack_heap_hints": {"stack_sections": [], "heap_sections": [".heap"]},
        "components": [
            {"name": "app", "objects": ["main.o", "util.o", "io.o"], "total_flash": 100, "total_ram": 8,
             "symbols": ["main"]},
        ],
        "issues": [
            {"id": "p1", "title": "t", "description": "d", "severity": "warning", "category": "policy",
             "affected_entities": [".text"]},
        ],
    }


def write(tmp_path, document, name="model.json"):
    path = tmp_path / name
    path.write_text(json.dumps(document), encoding="utf-8")
    return path


class TestReading:
    @pytest.mark.parametrize("name", [DEFAULT_SAMPLE, BASELINE_SAMPLE])
    def test_bundled_samples_round_trip_unchanged(self, name):
        path = sample_path(name)
        raw = json.loads(path.read_text(encoding="utf-8"))
        build = load_build(path)
        assert build_to_json(build) == raw
        assert build.components and build.issues
        assert build.metadata["target_name"] == "nrf52840-zephyr-spectrum-analyzer"

    def test_enumerations_become_members(self, tmp_path):
        build = load_build(write(tmp_path, minimal_document()))
        assert build.model.memory_regions[0].category is RegionCategory.FLASH
        assert build.issues[0].severity is IssueSeverity.WARNING
        assert build.issues[0].category is IssueCategory.POLICY
        # Members equal their values, so plain-text comparisons keep working.
        assert build.issues[0].category == "policy"

    def test_optional_parts_may_be_left_out(self, tmp_path):
        document = minimal_document()
        del document["components"], document["issues"]
        document["stack_heap_hints"] = {}
        document["metadata"] = {"tool": "anything", "nested": [1, 2]}
        build = load_build(write(tmp_path, document))
        assert build.components == [] and build.issues == []
        assert build.model.stack_heap_hints == {"stack_sections": [], "heap_sections": []}

    def test_unread_record_fields_are_ignored(self, tmp_path):
        document = minimal_document()
        document["sections"][0]["input_sections"] = [{"whatever": 1}]
        assert load_build(write(tmp_path, document)).model.sections[0].size == 100

    def test_largest_signed_64_bit_value_is_accepted(self, tmp_path):
        document = minimal_document()
        document["symbols"][0]["address"] = INT_MAX
        assert load_build(write(tmp_path, document)).model.symbols[0].address == INT_MAX

    def test_byte_order_mark_is_accepted(self, tmp_path):
        path = tmp_path / "bom.json"
        path.write_bytes(b"\xef\xbb\xbf" + json.dumps(minimal_document()).encode())
        assert len(load_build(path).model.sections) == 2


def mutate(document, path, value):
    """Set (or with value=DELETE remove) the item at *path* inside a copy of *document*."""
    document = copy.deepcopy(document)
    target = document
    for step in path[:-1]:
        target = target[step]
    if value is DELETE:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return document


DELETE = object()

RECORD_ERRORS = [
    # (where, new value, record kind, index, field, words the message must hold)
    (("sections", 1, "vma"), "0x10", "section", 1, "vma", ["sections[1]", "'.data'", "string '0x10'"]),
    (("symbols", 0, "size"), DELETE, "symbol", 0, "size", ["symbols[0]", "missing"]),
    (("sections", 0, "size"), True, "section", 0, "size", ["boolean"]),
    (("sections", 0, "padding_after"), -1, "section", 0, "padding_after", ["-1"]),
    (("sections", 1, "lma"), INT_MAX + 1, "section", 1, "lma", ["2**63 - 1"]),
    (("sections", 0, "execution_region"), 3, "section", 0, "execution_region", ["string or null"]),
    (("memory_regions", 1, "category"), "rom", "memory region", 1, "category", ["'rom'", "'flash'", "'ram'"]),
    (("memory_regions", 0, "size"), 1.5, "memory region", 0, "size", ["null or"]),
    (("symbols", 0, "demangled_name"), 5, "symbol", 0, "demangled_name", ["integer 5"]),
    (("components", 0, "objects", 2), 7, "component", 0, "objects[2]", ["components[0]", "'app'"]),
    (("components", 0, "symbols"), "main", "component", 0, "symbols", ["list of strings"]),
    (("issues", 0, "severity"), "fatal", "issue", 0, "severity", ["'fatal'", "'warning'"]),
    (("issues", 0, "category"), None, "issue", 0, "category", ["null"]),
    (("issues", 0, "affected_entities"), DELETE, "issue", 0, "affected_entities", ["issues[0]", "'p1'"]),
    (("stack_heap_hints", "heap_sections", 0), 9, "stack_heap_hints", None, "heap_sections[0]", []),
]


class TestRecordErrors:
    @pytest.mark.parametrize(
        "where, value, record, index, field, words",
        RECORD_ERRORS,
        ids=[".".join(map(str, case[0])) for case in RECORD_ERRORS],
    )
    def test_error_names_file_record_index_and_field(self, tmp_path, where, value, record, index, field, words):
        path = write(tmp_path, mutate(minimal_document(), where, value), name="broken.model.json")
        with pytest.raises(ModelFormatError) as caught:
            load_build(path)
        error = caught.value
        assert (error.source, error.record, error.index, error.field) == (str(path), record, index, field)
        message = str(error)
        assert message.startswith(f"{path}: ")
        assert f"field '{field}'" in message
        for word in words:
            assert word in message
        assert "\n" not in message

    def test_record_that_is_not_an_object(self):
        document = minimal_document()
        document["symbols"].append(["main", 0])
        with pytest.raises(ModelFormatError, match=r"symbols\[1\].*expected an object, got list") as caught:
            build_from_json(document, "m.json")
        assert (caught.value.record, caught.value.index, caught.value.field) == ("symbol", 1, None)

    def test_name_with_control_characters_stays_on_one_line(self):
        document = mutate(minimal_document(), ("sections", 0, "name"), "bad\nname")
        document["sections"][0]["vma"] = None
        with pytest.raises(ModelFormatError) as caught:
            build_from_json(document, "m.json")
        assert "\n" not in str(caught.value) and "bad\\nname" in str(caught.value)

    @pytest.mark.parametrize(
        "change, words",
        [
            (lambda d: d.pop("sections"), ["missing top-level field 'sections'"]),
            (lambda d: d.pop("stack_heap_hints"), ["missing top-level field 'stack_heap_hints'"]),
            (lambda d: d.update(compnents=[]), ["unknown top-level field 'compnents'", "components"]),
            (lambda d: d.update(symbols={}), ["'symbols'", "expected a list, got object"]),
            (lambda d: d.update(stack_heap_hints=[]), ["'stack_heap_hints'", "expected an object"]),
            (lambda d: d.update(metadata=["v1"]), ["'metadata'", "expected an object, got list"]),
        ],
    )
    def test_top_level_problems(self, change, words):
        document = minimal_document()
        change(document)
        with pytest.raises(ModelFormatError) as caught:
            build_from_json(document, "top.json")
        assert caught.value.record is None
        for word in ["top.json", *words]:
            assert word in str(caught.value)

    def test_document_that_is_not_an_object(self):
        with pytest.raises(ModelFormatError, match="top level, got list"):
            build_from_json([], "x.json")


class TestJsonSyntaxErrors:
    @pytest.mark.parametrize(
        "text, line, column",
        [
            ('{\n  "sections": [\n    1,,\n', 3, 7),
            ('{"memory_regions": []', 1, 22),
            ("", 1, 1),
            ('{\n\t"a": tru\n}', 2, 7),
        ],
    )
    def test_line_and_column_are_reported(self, tmp_path, text, line, column):
        path = tmp_path / "syntax.json"
        path.write_text(text, encoding="utf-8")
        with pytest.raises(ModelFormatError) as caught:
            load_build(path)
        assert (caught.value.line, caught.value.column) == (line, column)
        assert str(caught.value).startswith(f"{path}: line {line}, column {column}: invalid JSON")

    def test_non_standard_constants_are_rejected(self, tmp_path):
        document = json.dumps(minimal_document()).replace('"size": 100', '"size": NaN')
        path = tmp_path / "nan.json"
        path.write_text(document, encoding="utf-8")
        with pytest.raises(ModelFormatError, match="NaN is not valid JSON"):
            load_build(path)

    def test_invalid_utf8_reports_position(self, tmp_path):
        path = tmp_path / "latin1.json"
        path.write_bytes(b'{\n  "n\xe9": 1}')
        with pytest.raises(ModelFormatError, match="not valid UTF-8") as caught:
            load_build(path)
        assert (caught.value.line, caught.value.column) == (2, 5)

    def test_missing_file_is_an_os_error(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            load_build(tmp_path / "absent.json")
