"""Write the golden reads of the real GNU ld maps the tests use.

    .venv/bin/python tools/make_goldens.py [--check]

Each map gives tests/python/data/golden/<map name>.json: the sections,
symbols, regions and issues that the reader gives for it, in a canonical JSON
form.  A map whose read is large keeps only the SHA-256 of that canonical
form, its record counts and a few sampled records, so that the goldens stay
small while any change in any record still shows.  Regenerate them only when
a change of the reader's results is intended, and review the diff.

With --check nothing is written: the exit status says whether every golden
still matches.
"""

from __future__ import annotations

import dataclasses
import enum
import hashlib
import json
import sys
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
GOLDEN = ROOT / "tests" / "python" / "data" / "golden"
# Reads whose canonical form is larger than this are kept as a hash and samples.
FULL_LIMIT = 200_000
SAMPLES = 12


def map_paths() -> dict[str, Path]:
    """The real GNU ld maps the tests read, by golden name (a map kept twice
    under one name, in the test data and in the shared samples, is one golden)."""
    data = ROOT / "tests" / "python" / "data"
    found: dict[str, Path] = {}
    candidates = sorted((data / "linkers").glob("gnu-ld-*.map")) + sorted((data / "maps").glob("*.map"))
    shared = ROOT.parent / "shared" / "samples" / "maps"
    if shared.is_dir():
        candidates += sorted(shared.glob("*.map"))
    from brenvale.readers.gnu_ld import is_gnu_ld_map_file

    for path in candidates:
        if path.stem not in found and is_gnu_ld_map_file(path):
            found[path.stem] = path
    return found


def plain(value: Any) -> Any:
    """*value* (records, enums, lists) as JSON values."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {item.name: plain(getattr(value, item.name)) for item in dataclasses.fields(value)}
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return {str(key): plain(item) for key, item in value.items()}
    return value


def canonical(value: Any) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def read_golden_form(path: Path) -> dict[str, Any]:
    """The read of the map at *path* as the golden file holds it."""
    from brenvale.readers.gnu_ld import read_map

    result = read_map(path, progress=False, allow_partial=True)
    model = result.model
    full = {
        "sections": plain(model.sections),
        "symbols": plain(model.symbols),
        "regions": plain(model.memory_regions),
        "hints": plain(model.stack_heap_hints),
        "issues": plain(result.issues()),
        "lines_read": result.lines_read,
    }
    text = canonical(full)
    if len(text) <= FULL_LIMIT:
        return full
    symbols = full["symbols"]
    step = max(1, len(symbols) // SAMPLES)
    return {
        "sha256": hashlib.sha256(text.encode("utf-8")).hexdigest(),
        "counts": {key: len(full[key]) for key in ("sections", "symbols", "regions", "issues")},
        "sections": full["sections"],
        "regions": full["regions"],
        "issues": full["issues"],
        "lines_read": full["lines_read"],
        "sampled_symbols": {str(index): symbols[index] for index in range(0, len(symbols), step)},
    }


def main(argv: list[str]) -> int:
    check = "--check" in argv
    differing = []
    for name, path in map_paths().items():
        golden = GOLDEN / f"{name}.json"
        form = read_golden_form(path)
        text = json.dumps(form, sort_keys=True, indent=1, ensure_ascii=False) + "\n"
        if check:
            if not golden.exists() or json.loads(golden.read_text(encoding="utf-8")) != form:
                differing.append(name)
            continue
        GOLDEN.mkdir(parents=True, exist_ok=True)
        golden.write_text(text, encoding="utf-8")
        print(f"{golden.relative_to(ROOT)}: {len(text)} bytes from {path}")
    for name in differing:
        print(f"golden of {name} differs", file=sys.stderr)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
