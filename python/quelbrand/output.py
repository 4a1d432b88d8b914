"""Where output goes: a regular file replaced only once the output is whole."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator
from typing import BinaryIO


@contextlib.contextmanager
def open_output(destination: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    final = os.path.abspath(os.fspath(destination))
    directory, name = os.path.split(final)
    while True:
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as file:
            yield file
        os.replace(temporary, final)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
