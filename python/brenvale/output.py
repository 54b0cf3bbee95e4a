"""Writing result files so that a reader never sees a half-written one."""

from __future__ import annotations

import os
import secrets


def write_text_atomic(path: str | os.PathLike, text: str) -> None:
    """Write *text* (UTF-8) to *path* through a temporary file in the same directory.

    The temporary file is renamed over *path* only once it is complete and
    flushed, so an existing file stays intact when writing fails, and the
    temporary file is removed again.  Missing parent directories are created.
    """
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    os.makedirs(directory, exist_ok=True)
    temporary = os.path.join(
        directory, f".{os.path.basename(target)}.{secrets.token_hex(6)}.tmp"
    )
    # O_EXCL: never write through a file or link someone else placed there;
    # mode 0o666 lets the umask decide, as an ordinary open() would.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8", newline="") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


__all__ = ["write_text_atomic"]
