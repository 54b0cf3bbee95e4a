"""A 50 MB map: read in seconds, with a progress line, and nothing lost.

The large map is made from a real one (dect-nr) by repeating the input
sections and symbol lines of its "text" output section, each copy moved to
the next free addresses, so that every copy must come out as its own symbols.

Run this file directly to print the timing:
``PYTHONPATH=python python3 tests/python/test_mapfile_speed.py``.
"""

import re
import time
from pathlib import Path

from brenvale.mapfile import PROGRESS_THRESHOLD_BYTES, read_map

SOURCE = Path(__file__).parent / "data" / "maps" / "nrf9161-zephyr-dect-nr.map"
TARGET_BYTES = 50 * 1000 * 1000
# Reading stays linear and fast; this bound only catches a reader that turns
# quadratic or pathologically slow (about 2 to 4 s of CPU time are usual).
CPU_SECONDS_LIMIT = 30.0

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


def test_fifty_megabyte_map(tmp_path, capsys):
    original = read_map(SOURCE, progress=False).model
    text_symbols = [s for s in original.symbols if s.section_name == "text"]

    path = tmp_path / "large.map"
    copies = make_large_map(path)
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


if __name__ == "__main__":
    import sys
    import tempfile

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "large.map"
        made = make_large_map(path)
        wall, cpu = time.perf_counter(), time.process_time()
        read = read_map(path, progress=sys.stderr)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        print(
            f"{path.stat().st_size / 1e6:.1f} MB ({made} copies of the text block): "
            f"{len(read.model.symbols)} symbols, {cpu:.2f} s CPU, {wall:.2f} s wall"
        )
