"""Writing result files so that a reader never sees a half-written one."""

from __future__ import annotations

import os
import secrets
from collections.abc import Sequence

StrPath = str | os.PathLike[str]


def _write_temporary(target: str, text: str) -> str:
    directory = os.path.dirname(os.path.abspath(target))
    os.makedirs(directory, exist_ok=True)
    temporary = os.path.join(directory, f".{os.path.basename(target)}.{secrets.token_hex(6)}.tmp")
    # O_EXCL: never write through a file or link someone else placed there;
    # mode 0o666 lets the umask decide, as an ordinary open() would.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8", newline="") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
    except BaseException:
        _remove(temporary)
        raise
    return temporary


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def write_texts_atomic(files: Sequence[tuple[StrPath, str]]) -> None:
    """Write each (path, text) pair (UTF-8), all or none.

    Every text goes to a temporary file in its target's directory first; only
    when all of them are complete and flushed are they renamed over their
    targets.  When anything fails before that point, no target is touched and
    the temporary files are removed again.  Missing parent directories are
    created.  An OSError names the target that could not be written.
    """
    written: list[tuple[str, str]] = []
    target = ""
    try:
        for path, text in files:
            target = os.fspath(path)
            written.append((_write_temporary(target, text), target))
        for temporary, target in written:
            os.replace(temporary, target)
    except OSError as error:
        for temporary, _ in written:
            _remove(temporary)
        # The temporary file's name means nothing to the caller: name the target.
        raise OSError(error.errno, error.strerror or str(error), target) from error
    except BaseException:
        for temporary, _ in written:
            _remove(temporary)
        raise


def write_text_atomic(path: StrPath, text: str) -> None:
    """Write *text* (UTF-8) to *path* through a temporary file in the same directory.

    The temporary file is renamed over *path* only once it is complete and
    flushed, so an existing file stays intact when writing fails, and the
    temporary file is removed again.  Missing parent directories are created.
    """
    write_texts_atomic([(path, text)])


__all__ = ["StrPath", "write_text_atomic", "write_texts_atomic"]
