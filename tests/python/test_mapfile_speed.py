"""A 50 MB map: read in well under the time of its contract, with a progress line, and nothing lost.

The large map is made from a real one (dect-nr) by repeating the input
sections and symbol lines of its "text" output section, each copy moved to
the next free addresses, so that every copy must come out as its own symbols.

Run this file directly to print, measured in one run, the CPU time of reading
the map and that of building the visualization contract of the model read,
with the host's analyses as the contract command computes them:
``PYTHONPATH=<package dir> python3 tests/python/test_mapfile_speed.py``.
"""

import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

import pytest

from brenvale.readers import gnu_ld
from brenvale.readers.gnu_ld import PROGRESS_THRESHOLD_BYTES, read_map

SOURCE = Path(__file__).parent / "data" / "maps" / "nrf9161-zephyr-dect-nr.map"
TARGET_BYTES = 50 * 1000 * 1000
# Reading stays linear and fast; this bound only catches a reader that turns
# quadratic or pathologically slow (about 0.3 s of CPU time with the compiled
# scanner and 1.5 s without it are usual; CI machines are slower).
CPU_SECONDS_LIMIT = 10.0

# This map writes addresses with 16 hex digits and sizes without padding, so
# the long numbers are exactly the addresses.
_ADDRESS = re.compile(r"0x([0-9a-f]{16})")


def make_large_map(target: Path, target_bytes: int = TARGET_BYTES) -> int:
    """Write the large map to *target*; return the number of copies of the text block."""
    lines = SOURCE.read_text().split("\n")
    header_at = next(i for i, line in enumerate(lines) if line.startswith("text "))
    end_at = next(i for i in range(header_at + 1, len(lines)) if lines[i][:1] not in (" ", ""))
    header = re.match(r"^text\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s*$", lines[header_at])
    vma, size = int(header.group(1), 16), int(header.group(2), 16)
    block = "\n".join(lines[header_at + 1:end_at])
    stride = (size + 0xFFFF) & ~0xFFFF
    rest = len("\n".join(lines)) - len(block)
    copies = max(1, -(-(target_bytes - rest) // (len(block) + 1)))
    with open(target, "w") as out:
        out.write("\n".join(lines[:header_at]) + "\n")
        out.write(f"text            0x{vma:016x} 0x{stride * copies:x}\n")
        for copy in range(copies):
            offset = copy * stride
            out.write(_ADDRESS.sub(lambda m: f"0x{int(m.group(1), 16) + offset:016x}", block) + "\n")
        out.write("\n".join(lines[end_at:]))
    return copies


@pytest.fixture(scope="module")
def large_map():
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "large.map"
        yield path, make_large_map(path)


def test_fifty_megabyte_map(large_map, capsys):
    original = read_map(SOURCE, progress=False).model
    text_symbols = [s for s in original.symbols if s.section_name == "text"]

    path, copies = large_map
    assert path.stat().st_size >= TARGET_BYTES > PROGRESS_THRESHOLD_BYTES

    started = time.process_time()
    result = read_map(path)
    elapsed = time.process_time() - started
    assert elapsed < CPU_SECONDS_LIMIT

    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith(f"brenvale: reading linker map {path} (5")
    assert err[1].startswith(f"brenvale: read {path}: 3 regions, 33 sections, ")

    model = result.model
    assert [s.name for s in model.sections] == [s.name for s in original.sections]
    large_text = [s for s in model.symbols if s.section_name == "text"]
    assert len(large_text) == copies * len(text_symbols)
    assert len(model.symbols) == len(original.symbols) + (copies - 1) * len(text_symbols)
    # The last copy: the same names, sizes and objects, moved by whole strides.
    last = large_text[-len(text_symbols):]
    shift = last[0].address - text_symbols[0].address
    assert shift > 0 and shift % 0x10000 == 0
    assert [(s.name, s.size, s.object_file, s.address - shift) for s in last] == [
        (s.name, s.size, s.object_file, s.address) for s in text_symbols
    ]
    print(f"\n{path.stat().st_size / 1e6:.1f} MB, {len(model.symbols)} symbols: {elapsed:.2f} s CPU")


def test_large_map_reads_alike_as_a_wide_str(large_map):
    # The two byte scan of a real-sized map: a character past Latin-1 on a
    # last line, after what ld sizes, changes nothing but the line count.
    path, _ = large_map
    latin_1 = read_map(path, progress=False)
    text = path.read_text(encoding="latin-1")
    assert text.endswith("\n")
    wide = gnu_ld.parse_map_text(text + "\u0100\n", str(path))
    assert wide.model == latin_1.model
    assert (wide.lines_read, wide.truncated_at) == (latin_1.lines_read + 1, None)


def cpu_seconds(function, repeat=3):
    """Median CPU time of *function* over *repeat* calls, and its last result."""
    times = []
    for _ in range(repeat):
        started = time.process_time()
        result = function()
        times.append(time.process_time() - started)
    return statistics.median(times), result


def main():
    from brenvale import plotspec
    from brenvale.pipeline import contract_arguments, load_input

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "large.map"
        made = make_large_map(path)
        size = path.stat().st_size
        read_cpu, result = cpu_seconds(lambda: read_map(path, progress=False))
        # The same map as a two byte str: a name past Latin-1 in one line.
        wide_text = path.read_text(encoding="latin-1").replace("main", "m\u0101in", 1)
        wide_cpu, _ = cpu_seconds(lambda: gnu_ld.parse_map_text(wide_text, str(path)))
        # As the contract command does: the build with its components and
        # issues, the host's analyses, then the contract.
        build = load_input(path)
    arguments = contract_arguments(build)
    contract_cpu, _ = cpu_seconds(lambda: plotspec.build_visualization_contract(build.model, **arguments))
    print(
        f"{size / 1e6:.1f} MB map ({made} copies of the text block), {len(result.model.symbols)} symbols\n"
        f"read:     {read_cpu:.3f} s CPU\n"
        f"contract: {contract_cpu:.3f} s CPU (build_visualization_contract, host analyses as the contract command)\n"
        f"ratio:    read / contract = {read_cpu / contract_cpu:.2f}\n"
        f"(the map as a two byte str, parse_map_text: {wide_cpu:.3f} s CPU)"
    )


if __name__ == "__main__":
    sys.exit(main())
