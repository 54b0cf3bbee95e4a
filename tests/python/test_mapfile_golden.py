"""The real GNU ld maps read to their golden records, in every str kind.

tests/python/data/golden holds what the reader gave for each map the tests
use (tools/make_goldens.py writes them; regenerate only for an intended
change, and review the diff).  The same map held as a two or four byte str,
with one character past Latin-1 after its end, must give the same read.
"""

import importlib.util
import json
from pathlib import Path

import pytest

from brenvale.readers.gnu_ld import parse_map_text

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("make_goldens", ROOT / "tools" / "make_goldens.py")
make_goldens = importlib.util.module_from_spec(spec)
spec.loader.exec_module(make_goldens)

GOLDEN = Path(__file__).parent / "data" / "golden"
MAPS = make_goldens.map_paths()


def test_every_golden_has_its_map():
    names = {path.stem for path in GOLDEN.glob("*.json")}
    shared = {name for name in names if name not in MAPS}
    # Maps kept only in the shared samples may be absent from a checkout.
    assert not shared or not (ROOT.parent / "shared" / "samples" / "maps").is_dir(), shared
    assert set(MAPS) <= names, "a real map without its golden: run tools/make_goldens.py"


@pytest.mark.parametrize("name", sorted(MAPS))
def test_real_map_reads_to_its_golden(name):
    expected = json.loads((GOLDEN / f"{name}.json").read_text(encoding="utf-8"))
    assert make_goldens.read_golden_form(MAPS[name]) == expected


def outcome(text):
    result = parse_map_text(text, "wide.map", allow_partial=True)
    return result.model, result.lines_read, result.truncated_at, result.damage, result.issues()


@pytest.mark.parametrize("name", sorted(MAPS))
def test_real_map_reads_alike_in_every_kind(name):
    text = MAPS[name].read_text(encoding="latin-1")
    if not text.endswith("\n"):
        text += "\n"
    # A last line of one word character, after what the reader sizes.
    latin_1 = outcome(text + "\xff\n")
    for wide in ("\u0100", "\U00010000"):
        assert outcome(text + wide + "\n") == latin_1
