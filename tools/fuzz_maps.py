"""Coverage-guided fuzzer of the map readers and the compiled map scanner.

    python tools/fuzz_maps.py --seeds DIR        # cut the test maps into a seed corpus
    python tools/fuzz_maps.py [libFuzzer options] CORPUS...

tools/fuzz.sh runs it against an AddressSanitizer build of ``_mapscan`` (with
libFuzzer's edge counters, so the scanner's branches guide the search as well
as the Python readers' bytecode).  The first byte of an input picks the reader;
the rest is the map.  A reader may refuse the text with ``ModelFormatError``
(``MapFormatError`` is one) or return a model that passes the JSON model's own
checks; any other exception, a sanitizer report, a hang past -timeout or a
leak past -rss_limit_mb is a finding.  A GNU ld map is read twice more: with
some of its Latin-1 characters swapped for wider ones of the same class
(``WIDER``), which makes a two or four byte str, it must read to the same
model with the same characters swapped in its strings, or fail alike.
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import os
import re
import sys
import tempfile
from pathlib import Path
from typing import Callable, ContextManager

ROOT = Path(__file__).resolve().parents[1]
SEED_DIRS = ("maps", "linkers", "lld", "iar")
# Large enough for a heading, a memory table and a few dozen map lines; small
# enough that every input runs in well under a millisecond of reader time.
PIECE_LINES = 14
MAX_PIECE_BYTES = 1600


def _pieces(text: str) -> list[str]:
    """The map's head (where every reader recognises its format) joined to
    successive windows of its body, so each piece still reaches the parser."""
    lines = text.splitlines(keepends=True)
    # armlink opens with pages of cross references; its reader starts at the memory map.
    image = [i for i, line in enumerate(lines) if line.startswith("Memory Map of the image")]
    if image:
        lines = lines[image[0] :]
    head = lines[:PIECE_LINES]
    pieces = ["".join(head)]
    # GNU ld keeps its memory table apart from the head; later windows need it.
    table = [i for i, line in enumerate(lines) if line.startswith("Memory Configuration")]
    memory = lines[table[0] : table[0] + 12] if table else []
    script = [i for i, line in enumerate(lines) if line.startswith("Linker script and memory map")]
    body_start = script[0] + 1 if script else PIECE_LINES
    prefix = head if not table else memory + ["\n", "Linker script and memory map\n", "\n"]
    step = max(PIECE_LINES, (len(lines) - body_start) // 60)
    for start in range(body_start, len(lines), step):
        pieces.append("".join(prefix + lines[start : start + PIECE_LINES]))
    return [p.encode("latin-1", "replace")[:MAX_PIECE_BYTES].decode("latin-1") for p in pieces]


def _target_for(path: Path, text: str) -> int:
    if path.parent.name == "iar":
        return TARGET_IAR
    if "Memory Map of the image" in text:
        return TARGET_ARMLINK
    if "VMA" in text[:400] and "LMA" in text[:400] and "Symbol" in text[:400]:
        return TARGET_LLD
    return TARGET_GNU_LD


def write_seeds(directory: Path) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for name in SEED_DIRS:
        for path in sorted((ROOT / "tests" / "python" / "data" / name).glob("*.map")):
            text = path.read_bytes().decode("latin-1")
            target = _target_for(path, text)
            for index, piece in enumerate(_pieces(text)):
                data = piece.encode("latin-1")
                # Each piece once for its own reader and once for the sniffing
                # entry point that reads files.
                for selector in (target, TARGET_FILE):
                    (directory / f"{path.stem}-{index:03d}-{selector}").write_bytes(bytes([selector]) + data)
                    count += 1
    for script in ("memory.x", "riscv.ld", "thumb.ld"):
        data = (ROOT / "tests" / "python" / "data" / "lld" / script).read_bytes()
        (directory / f"script-{script}").write_bytes(bytes([TARGET_SCRIPT]) + data)
        count += 1
    return count


TARGET_FILE, TARGET_GNU_LD, TARGET_ARMLINK, TARGET_LLD, TARGET_IAR, TARGET_SCRIPT = range(6)

# Latin-1 characters and wider ones that every rule of the readers treats
# alike: the same answers from str.isspace(), str.isalnum(), str.isdecimal()
# and str.isdigit(), no case mapping into ASCII, and no ASCII pattern that
# takes either.  Two byte and four byte letters, blanks past Latin-1.
WIDER = {
    "\xe9": "\u0113",  # é -> ē
    "\xe4": "\u0101",  # ä -> ā
    "\xf6": "\u014d",  # ö -> ō
    "\xfc": "\U0001d462",  # ü -> mathematical italic u
    "\xdc": "\u30ab",  # Ü -> katakana ka
    "\xb5": "\u03bc",  # micro sign -> mu
    "\xb2": "\u2075",  # superscript two -> superscript five: a digit, not a decimal one
    "\xa0": "\u3000",  # no-break space -> ideographic space
    "\x85": "\u2028",  # NEL -> line separator (whitespace; no line break to the map readers)
}
WIDEN = str.maketrans(WIDER)
# repr() escapes the blanks: a message that quotes a line shows "\\xa0".
_ESCAPED_BLANK = re.compile(r"(?<!\\)((?:\\\\)*)\\x(a0|85)")
_WIDER_ESCAPES = {"a0": "\\u3000", "85": "\\u2028"}


def widen_message(message: str) -> str:
    """An error message about a text, as it reads for the widened text."""
    return _ESCAPED_BLANK.sub(lambda m: m.group(1) + _WIDER_ESCAPES[m.group(2)], message.translate(WIDEN))


def widen(value: object) -> object:
    """*value* (records, lists, tuples, dicts, str) with its strings widened."""
    if isinstance(value, enum.Enum):
        return value
    if isinstance(value, str):
        return value.translate(WIDEN)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        changes = {item.name: widen(getattr(value, item.name)) for item in dataclasses.fields(value)}
        return dataclasses.replace(value, **changes)  # type: ignore[type-var]
    if isinstance(value, (list, tuple)):
        return type(value)(widen(item) for item in value)
    if isinstance(value, dict):
        return {widen(key): widen(item) for key, item in value.items()}
    return value


def main() -> None:
    if len(sys.argv) >= 3 and sys.argv[1] == "--seeds":
        print(f"{write_seeds(Path(sys.argv[2]))} seed inputs in {sys.argv[2]}")
        return

    import atheris

    # libFuzzer ends the process with exit(), past Python's clean-up: the
    # caller (tools/fuzz.sh) owns and removes BRENVALE_FUZZ_SCRATCH.
    # Opening a file for writing costs milliseconds on a disk-backed /tmp here,
    # ten times the reading; memory-backed storage keeps the file path cheap.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    scratch = os.environ.get("BRENVALE_FUZZ_SCRATCH") or tempfile.mkdtemp(prefix="brenvale-fuzz.", dir=shm)
    one_input = make_target(
        scratch,
        lambda: atheris.instrument_imports(include=["brenvale"]),
        need_scanner=bool(os.environ.get("BRENVALE_FUZZ_NEEDS_SCANNER")),
    )
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


def make_target(
    scratch: str,
    instrument: Callable[[], ContextManager[object]] = contextlib.nullcontext,
    *,
    need_scanner: bool = False,
) -> Callable[[bytes], None]:
    """The function libFuzzer calls with each input; raises on a finding.
    The readers are imported under *instrument*, so their bytecode reports
    the branches it takes.  *need_scanner* is kept for callers: the GNU ld
    reader imports the compiled scanner itself, and fails without it."""
    with instrument():
        from brenvale.model_io import ModelFormatError, build_from_json, build_to_json
        from brenvale.pipeline import load_input
        from brenvale.readers.armlink import parse_armlink_map
        from brenvale.readers.gnu_ld import parse_map_text
        from brenvale.readers.iar import parse_iar_map
        from brenvale.readers.linker_script import parse_memory_regions
        from brenvale.readers.lld import parse_lld_map
        from brenvale.records import BuildInput, NormalizedBuildModel

    map_path = os.path.join(scratch, "input.map")

    def check_model(model: NormalizedBuildModel) -> None:
        build_from_json(build_to_json(BuildInput(model=model)))

    def check_message(message: str) -> None:
        if "\n" in message or not message:
            raise AssertionError(f"error message is not one line: {message!r}")

    def gnu_ld_outcome(text: str) -> object:
        try:
            return parse_map_text(text, "fuzz.map", allow_partial=True).model
        except ModelFormatError as error:
            return (type(error).__name__, str(error))

    def one_input(data: bytes) -> None:
        if not data:
            return
        target, body = data[0] % 6, data[1:]
        try:
            if target == TARGET_FILE:
                with open(map_path, "wb") as stream:
                    stream.write(body)
                check_model(load_input(map_path).model)
                return
            # Latin-1 takes every byte; WIDER makes the wider kinds of str.
            text = body.decode("latin-1")
            if target == TARGET_GNU_LD:
                read = gnu_ld_outcome(text)
                wide_text = text.translate(WIDEN)
                if wide_text != text:
                    wide = gnu_ld_outcome(wide_text)
                    expected = (read[0], widen_message(read[1])) if isinstance(read, tuple) else widen(read)
                    if wide != expected:
                        raise AssertionError(f"wide text read {wide!r:.300}, Latin-1 text {read!r:.300}")
                if isinstance(read, tuple):
                    check_message(read[1])
                else:
                    check_model(read)
            elif target == TARGET_ARMLINK:
                check_model(parse_armlink_map(text, "fuzz.map"))
            elif target == TARGET_LLD:
                check_model(parse_lld_map(text, "fuzz.map").model)
            elif target == TARGET_IAR:
                check_model(parse_iar_map(text, "fuzz.map").model)
            else:
                regions = parse_memory_regions(text, "fuzz.ld")
                check_model(NormalizedBuildModel(sections=[], symbols=[], memory_regions=regions))
        except ModelFormatError as error:
            check_message(str(error))

    return one_input


if __name__ == "__main__":
    main()
