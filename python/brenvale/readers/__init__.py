"""Readers of linker outputs and linker scripts other than GNU ld and armlink maps.

One module per format:

* ``lld``: LLVM lld ``-Map`` files;
* ``iar``: IAR ILINK maps (XLINK maps are recognised and refused);
* ``linker_script``: the MEMORY command of a GNU ld linker script (or Rust's
  ``memory.x``), for maps that print no memory regions.

Each map reader has ``looks_like_...(head_text)`` for the content check and
``load_..._build(path, ...)`` returning a ``BuildInput``.  Their errors are
``brenvale.mapfile.MapFormatError`` naming the file and the line.
"""

from __future__ import annotations

__all__: list[str] = []
