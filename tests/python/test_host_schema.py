"""The shipped JSON Schema of the contract, and the type stubs of the compiled modules."""

import ast
import copy
import functools
import inspect
import json
from pathlib import Path

import jsonschema
import pytest

import brenvale
from brenvale import diffreport, plotspec
from brenvale.compare import compare_builds, contract_regressions
from brenvale.model_io import load_build
from brenvale.pipeline import build_contract, contract_json, load_input
from brenvale.records import BuildInput, MemoryRegion, NormalizedBuildModel, RegionCategory, SectionPlacement
from brenvale.samples import BASELINE_SAMPLE, sample_path
from brenvale.schema import CONTRACT_SCHEMA_FILE, load_contract_schema

MAPS = Path(__file__).parent / "data" / "maps"

_VALIDATOR = None


def assert_valid_contract(contract):
    """Fail with every schema violation of *contract*, located by its JSON path."""
    global _VALIDATOR
    if _VALIDATOR is None:
        _VALIDATOR = jsonschema.Draft202012Validator(load_contract_schema())
    errors = sorted(_VALIDATOR.iter_errors(contract), key=lambda e: list(map(str, e.absolute_path)))
    assert not errors, "\n".join(f"{e.json_path}: {e.message[:200]}" for e in errors[:10])


@functools.cache
def sample_contracts():
    return dict(_sample_contracts())


def _sample_contracts():
    current = load_build(sample_path())
    baseline = load_build(sample_path(BASELINE_SAMPLE))
    regressions = contract_regressions(compare_builds(current, baseline))
    yield "plain", build_contract(current)
    yield "all views", build_contract(current, sankey=True, graph=True)
    yield "with baseline", build_contract(current, sankey=True, graph=True, regressions=regressions)
    yield "baseline itself", build_contract(baseline, graph=True, regressions={})


@functools.cache
def small_contracts():
    return dict(_small_contracts())


def _small_contracts():
    empty = BuildInput(NormalizedBuildModel(sections=[], symbols=[], memory_regions=[]))
    yield "empty model", build_contract(empty, sankey=True, graph=True)
    region = MemoryRegion("RAM", 0x100, 0x1FF, 256, RegionCategory.RAM)
    odd = BuildInput(
        NormalizedBuildModel(
            sections=[
                SectionPlacement(".stack", "RAM", "RAM", 0x100, 0x100, 0, 4, 4),
                SectionPlacement(".bss", "RAM", None, 0x140, 0x140, 512, 0, 0),
                SectionPlacement("unplaced", None, None, 0, 0, 8, 0, 0),
            ],
            symbols=[],
            memory_regions=[region, MemoryRegion("EXT", 0, 0, None, RegionCategory.OTHER)],
        )
    )
    # Zero-size and overflowing sections, padding, no symbols: the Sankey view falls back to sections.
    yield "odd layout", build_contract(odd, sankey=True, graph=True)


class TestContractSchema:
    def test_is_a_valid_draft_2020_12_schema(self):
        schema = load_contract_schema()
        assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"
        jsonschema.Draft202012Validator.check_schema(schema)
        assert schema["properties"]["schema_version"]["const"] == plotspec.VISUALIZATION_SCHEMA_VERSION

    def test_ships_inside_the_package(self):
        assert CONTRACT_SCHEMA_FILE.parent.parent == Path(brenvale.__file__).parent
        assert json.loads(CONTRACT_SCHEMA_FILE.read_text(encoding="utf-8")) == load_contract_schema()

    @pytest.mark.parametrize("name", ["plain", "all views", "with baseline", "baseline itself"])
    def test_sample_contracts_validate(self, name):
        assert_valid_contract(sample_contracts()[name])

    @pytest.mark.parametrize("name", ["empty model", "odd layout"])
    def test_small_contracts_validate(self, name):
        assert_valid_contract(small_contracts()[name])

    def test_load_images_are_section_ranges(self):
        # The sample's initialised data runs in RAM and is stored in FLASH.
        contract = sample_contracts()["plain"]
        images = [r for region in contract["regions"] for r in region["ranges"] if r["label"].endswith(" (load image)")]
        assert [(r["id"], r["execution_region"]) for r in images] == [
            ("FLASH:datas:22784", "RAM"), ("FLASH:device_states:22972", "RAM")]
        schema = load_contract_schema()
        section_range = jsonschema.Draft202012Validator({"$defs": schema["$defs"], "$ref": "#/$defs/section_range"})
        for r in images:
            assert not list(section_range.iter_errors(r)), r["id"]

    @pytest.mark.parametrize("path", sorted(MAPS.glob("*.map")), ids=lambda p: p.name)
    def test_contracts_of_map_files_validate(self, path):
        assert_valid_contract(json.loads(contract_json(load_input(path), sankey=True, graph=True)))

    def test_documents_every_key_the_contract_has(self):
        # Walk one full contract and the schema side by side: a key the schema
        # does not declare would be rejected, one it requires must be present.
        contract = sample_contracts()["with baseline"]
        schema = load_contract_schema()
        assert list(schema["properties"]) == list(contract)
        region_keys = list(schema["$defs"]["region"]["properties"])
        assert region_keys == list(contract["regions"][0])
        section_range = next(r for r in contract["regions"][0]["ranges"] if not r["is_synthetic"])
        assert list(schema["$defs"]["section_range"]["properties"]) == list(section_range)
        synthetic = next(r for r in contract["regions"][0]["ranges"] if r["is_synthetic"])
        assert list(schema["$defs"]["synthetic_range"]["properties"]) == list(synthetic)


def mutated(change):
    contract = copy.deepcopy(sample_contracts()["with baseline"])
    change(contract)
    return contract


def first_range(contract, synthetic):
    return next(r for r in contract["regions"][0]["ranges"] if r["is_synthetic"] is synthetic)


class TestSchemaRejects:
    @pytest.mark.parametrize(
        "change",
        [
            lambda c: c.pop("notes"),
            lambda c: c.update(extra=1),
            lambda c: c.update(schema_version="viz-2.0.0"),
            lambda c: c["features"].update(sankey_enabled="yes"),
            lambda c: c["regions"][0].pop("render_hints"),
            lambda c: c["regions"][0]["render_hints"].update(preferred_height_px=900),
            lambda c: c["regions"][0].update(size_bytes="4096"),
            lambda c: first_range(c, False).update(role="code"),
            lambda c: first_range(c, False).update(is_inter_section_gap=False),
            lambda c: first_range(c, True).update(role=None),
            lambda c: first_range(c, True).update(owners={"objects": ["a.o"], "archives": [], "sources": []}),
            lambda c: first_range(c, False)["panel"]["baseline"].update(status="available", delta_bytes=None),
            lambda c: c["regions"][0]["boundaries"][0].update(kind="start", label="boundary"),
            lambda c: c["ownership"]["by_symbol"].extend([c["ownership"]["by_symbol"][0]] * 200),
            lambda c: c["diff"]["regions"][0].update(delta_ratio=None),
            lambda c: c["diff"]["impact_ranking"][0].update(direction="up"),
            lambda c: c["relationships"].update(table={}),
            lambda c: c["relationships"]["sankey"]["links"][0].update(kind="flow"),
            lambda c: c["relationships"]["graph"]["stats"].pop("links_count"),
            lambda c: c["policy_issue_index"].update(x={"id": "x"}),
            lambda c: c["notes"].reverse(),
        ],
        ids=lambda change: str(change.__code__.co_firstlineno),
    )
    def test_mutation_is_caught(self, change):
        contract = mutated(change)
        assert contract != sample_contracts()["with baseline"]
        assert not jsonschema.Draft202012Validator(load_contract_schema()).is_valid(contract)


def stub_functions(module):
    path = Path(brenvale.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_signature(node):
    args = node.args
    params = [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.posonlyargs + args.args]
    defaults = [None] * (len(params) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    out = [(name, kind, default) for (name, kind), default in zip(params, defaults)]
    if args.vararg:
        out.append((args.vararg.arg, "VAR_POSITIONAL", None))
    for a, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append((a.arg, "KEYWORD_ONLY", None if default is None else ast.literal_eval(default)))
    return out


def runtime_signature(function):
    result = []
    for p in inspect.signature(function).parameters.values():
        default = None if p.default is inspect.Parameter.empty else p.default
        result.append((p.name, p.kind.name, default))
    return result


class TestStubs:
    @pytest.mark.parametrize("module", [plotspec, diffreport], ids=lambda m: m.__name__)
    def test_stubs_name_every_operation_of_the_module(self, module):
        stubbed = set(stub_functions(module))
        exposed = {name for name in dir(module) if callable(getattr(module, name)) and not name.startswith("__")}
        exposed.discard("_Interval")
        assert stubbed == exposed

    @pytest.mark.parametrize("module", [plotspec, diffreport], ids=lambda m: m.__name__)
    def test_stub_signatures_match_the_module(self, module):
        compared = 0
        for name, node in stub_functions(module).items():
            function = getattr(module, name)
            if not getattr(function, "__text_signature__", None):
                # Only private helpers may leave their signature unpublished.
                assert name.startswith("_"), name
                continue
            assert stub_signature(node) == runtime_signature(function), name
            compared += 1
        assert compared >= 5

    def test_variadic_merge_matches_its_stub(self):
        assert stub_signature(stub_functions(plotspec)["_merge_issue_ids"]) == [("groups", "VAR_POSITIONAL", None)]
        assert plotspec._merge_issue_ids(["b"], ["a", 3]) == ["3", "a", "b"]
        with pytest.raises(TypeError):
            plotspec._merge_issue_ids(groups=[["a"]])

    def test_package_is_marked_typed(self):
        assert Path(brenvale.__file__).with_name("py.typed").is_file()
