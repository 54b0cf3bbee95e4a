"""Every module of the host layer imports on its own, whichever comes first.

A circular import shows only when one particular module of the cycle is the
first to be imported, so each run starts a fresh interpreter with another
module first, then imports all the others in the opposite order.  Function
level imports that hide a cycle are ruled out in the readers, where they
were once used for that.
"""

from __future__ import annotations

import ast
import pkgutil
import subprocess
import sys
from pathlib import Path

import pytest

import brenvale
import brenvale.readers

MODULES = sorted(
    info.name
    for info in pkgutil.walk_packages(brenvale.__path__, "brenvale.")
    if not info.name.endswith("__main__")
)


def test_the_package_has_the_readers_and_not_the_old_modules() -> None:
    readers = {name for name in MODULES if name.startswith("brenvale.readers.")}
    formats = ("gnu_ld", "armlink", "lld", "iar", "linker_script", "detect", "rules")
    assert {f"brenvale.readers.{name}" for name in formats} <= readers
    assert "brenvale.mapfile" not in MODULES and "brenvale.mapfile_armlink" not in MODULES


@pytest.mark.parametrize("first", MODULES)
def test_imports_in_a_fresh_interpreter(first: str) -> None:
    order = [first] + [name for name in reversed(MODULES) if name != first]
    script = "import importlib, sys\nfor name in sys.argv[1:]:\n    importlib.import_module(name)\n"
    done = subprocess.run(
        [sys.executable, "-c", script, *order], capture_output=True, text=True, timeout=60, check=False
    )
    assert done.returncode == 0, done.stderr.strip().splitlines()[-1:]


def test_the_readers_import_at_module_level_only() -> None:
    found = []
    for path in sorted(Path(brenvale.readers.__file__).parent.glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                found += [
                    f"{path.name}:{inner.lineno}"
                    for inner in ast.walk(node)
                    if isinstance(inner, (ast.Import, ast.ImportFrom))
                ]
    assert found == []


def test_the_scanner_is_found_from_the_reader_package() -> None:
    from brenvale.readers import gnu_ld

    try:
        import brenvale._mapscan as scanner
    except ImportError:
        pytest.skip("the compiled scanner is not installed")
    assert gnu_ld._mapscan is scanner
