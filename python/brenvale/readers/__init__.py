"""Readers of linker outputs and linker scripts, one module per format.

* ``gnu_ld``: GNU ld ``-Map`` files (every target ld serves);
* ``armlink``: Arm Compiler armlink maps;
* ``lld``: LLVM lld ``-Map`` files;
* ``iar``: IAR ILINK maps (XLINK maps are recognised and refused);
* ``linker_script``: the MEMORY command of a GNU ld linker script (or Rust's
  ``memory.x``), for maps that print no memory regions;
* ``detect``: which of them a file needs, and ``load_build_input``, the one
  entry point that reads any of them or a JSON build model;
* ``rules``: what the readers share (archive members, sections that take no
  memory, names from ``-ffunction-sections``, ``MapFormatError``);
* ``findings``: the issues the readers report.

Each map reader has ``looks_like_...(head_text)`` for the content check and
``load_..._build(path, ...)`` returning a ``BuildInput``.  Their errors are
``brenvale.readers.rules.MapFormatError`` naming the file and the line.

The package imports none of its modules itself, so importing one reader
loads no other reader; only ``detect`` imports them all.
"""

from __future__ import annotations

__all__: list[str] = []
