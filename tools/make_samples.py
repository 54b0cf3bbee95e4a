"""Make the bundled sample models from the linker map of their build.

    python tools/make_samples.py           # rewrite python/brenvale/samples/*.model.json
    python tools/make_samples.py --check   # exit 1 when the committed files differ

The current model is the project's own reading of the map (so a model and
the map of one build compare as identical), plus the issues and metadata
written below.  The baseline stands for an earlier build of the same
firmware: it is the current model with the changes that ATTRIBUTION lists,
each applied the way the linker would have laid it out (later symbols of
the section, later sections of the region and their load images move by
the same amount).  Run it again whenever the reader changes what it makes
of a map.
"""

from __future__ import annotations

import argparse
import copy
import json
import sys
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
MAP = ROOT / "tests" / "python" / "data" / "maps" / "nrf52840-zephyr-spectrum-analyzer.map"
SAMPLES = ROOT / "python" / "brenvale" / "samples"
CURRENT = SAMPLES / "nrf52840-zephyr-spectrum-analyzer.model.json"
BASELINE = SAMPLES / "nrf52840-zephyr-spectrum-analyzer.baseline.model.json"

ISSUES = [
    {
        "id": "stacks-in-noinit",
        "title": "Thread stacks sit in noinit",
        "description": (
            "z_interrupt_stacks ({z_interrupt_stacks} bytes) and z_main_stack ({z_main_stack} bytes) are placed "
            "in the noinit output section, which no stack hint names, so their bytes are not counted as stack."
        ),
        "severity": "warning",
        "category": "policy",
        "affected_entities": ["noinit"],
    },
    {
        "id": "idt-list-pseudo-region",
        "title": "IDT_LIST is a link-time region",
        "description": (
            "IDT_LIST holds the interrupt tables of the first link pass; nothing placed there reaches the device."
        ),
        "severity": "info",
        "category": "reserved",
        "affected_entities": ["IDT_LIST"],
    },
    {
        "id": "fill-in-text-rodata",
        "title": "Alignment fill inside text and rodata",
        "description": (
            "The linker fills {text} bytes in text and {rodata} in rodata to align the input sections that "
            "follow; they are part of the sections' sizes."
        ),
        "severity": "info",
        "category": "alignment",
        "affected_entities": ["text", "rodata"],
    },
]

METADATA = {"target_name": "nrf52840-zephyr-spectrum-analyzer", "tool_version": "brenvale 0.1.0"}
CURRENT_TIME = "2026-12-01T16:40:00Z"
BASELINE_TIME = "2026-11-02T09:14:00Z"


def _read_current() -> dict[str, Any]:
    # The installed package: the GNU ld reader needs its compiled scanner,
    # which the source tree does not hold.
    from brenvale.readers.gnu_ld import load_map_build
    from brenvale.model_io import build_to_json

    return build_to_json(load_map_build(MAP, progress=False))


def _finish(document: dict[str, Any], timestamp: str) -> dict[str, Any]:
    symbols = {s["name"]: s for s in document["symbols"]}
    sections = {s["name"]: s for s in document["sections"]}
    issues = copy.deepcopy(ISSUES)
    issues[0]["description"] = issues[0]["description"].format(
        z_interrupt_stacks=symbols["z_interrupt_stacks"]["size"], z_main_stack=symbols["z_main_stack"]["size"]
    )
    issues[2]["description"] = issues[2]["description"].format(
        text=sections["text"].get("fill_bytes", 0), rodata=sections["rodata"].get("fill_bytes", 0)
    )
    document["issues"] = issues
    document["metadata"] = {**METADATA, "analysis_timestamp": timestamp}
    return document


def _resize(document: dict[str, Any], name: str, delta: int, *, insert: dict[str, Any] | None = None) -> None:
    """Grow (or shrink) symbol *name* by *delta* bytes, or with *insert* put a new
    symbol of *delta* bytes right after it, and move what follows."""
    symbols = document["symbols"]
    index = next(i for i, s in enumerate(symbols) if s["name"] == name)
    anchor = symbols[index]
    moved_from = anchor["address"] + anchor["size"]
    if insert is None:
        anchor["size"] += delta
    else:
        symbols.insert(index + 1, {**anchor, **insert, "address": moved_from, "size": delta})
    section = next(s for s in document["sections"] if s["name"] == anchor["section_name"])
    section["size"] += delta
    region = section["execution_region"]
    for later in document["sections"]:
        if later is not section and later["execution_region"] == region and later["vma"] >= moved_from:
            later["vma"] += delta
            later["lma"] += delta if later["load_region"] == region else 0
        if later["load_region"] == region and later["execution_region"] != region and later["lma"] >= moved_from:
            later["lma"] += delta  # a load image stored after the change
    region_sections = {s["name"] for s in document["sections"] if s["execution_region"] == region}
    for symbol in symbols:
        if symbol is not anchor and symbol["section_name"] in region_sections and symbol["address"] >= moved_from:
            if insert is None or symbol is not symbols[index + 1]:
                symbol["address"] += delta


def _remove(document: dict[str, Any], name: str) -> None:
    size = next(s["size"] for s in document["symbols"] if s["name"] == name)
    _resize(document, name, -size)
    document["symbols"] = [s for s in document["symbols"] if s["name"] != name]


def _baseline(current: dict[str, Any]) -> dict[str, Any]:
    document = copy.deepcopy(current)
    _remove(document, "__l_vfprintf")
    _remove(document, "__udivmoddi4")
    _resize(document, ".rodata.main.str1.1", 1021 - 1345)
    _resize(document, "SystemInit", 412 - 428)
    _resize(document, "z_main_stack", 2112 - 1088)
    _resize(document, "main", 148, insert={"name": "print_banner"})
    from brenvale.analysis import components_by_archive
    from brenvale.model_io import build_from_json, build_to_json
    from brenvale.records import BuildInput

    model = build_from_json({k: v for k, v in document.items() if k != "components"}, "baseline").model
    document["components"] = build_to_json(BuildInput(model=model, components=components_by_archive(model)))[
        "components"
    ]
    return document


def _text(document: dict[str, Any]) -> str:
    return json.dumps(document, indent=1, ensure_ascii=False) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed files instead of writing")
    args = parser.parse_args(argv)
    current = _read_current()
    outputs = {
        CURRENT: _text(_finish(copy.deepcopy(current), CURRENT_TIME)),
        BASELINE: _text(_finish(_baseline(current), BASELINE_TIME)),
    }
    stale = [path for path, text in outputs.items() if not path.is_file() or path.read_text(encoding="utf-8") != text]
    if args.check:
        for path in stale:
            print(f"{path.relative_to(ROOT)} is not what tools/make_samples.py makes", file=sys.stderr)
        return 1 if stale else 0
    for path, text in outputs.items():
        path.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
