"""Where a conversion's output goes, written whole or not at all.

`open_output(destination)` yields a binary file object for the whole output:

- `"-"` is stdout, flushed at the end and never closed;
- a target that exists and is not a regular file (a device such as
  `/dev/null`, a FIFO, a socket) is opened and written in place, as a shell
  redirection would: replacing it would break whoever else holds it, and it
  has nothing to keep whole. A path that names an open descriptor
  (`/dev/stdout`, `/dev/fd/N`, `/proc/self/fd/N`) is written in place too,
  whatever it leads to: the descriptor of our own process is duplicated, so
  its offset and append mode are those the shell set up;
- anything else (a regular file, a new path, a symlink to either) is written
  to a hidden temporary file beside the final target and renamed onto it
  only when the block succeeds. Renaming within one directory is atomic, so
  a reader never sees half a file, and a failure (an exception of any kind,
  KeyboardInterrupt and SystemExit included) removes the temporary file and
  leaves an existing target as it was. A symlink is resolved first, so the
  file it points to is replaced and the link itself kept.

Library callers keep their own signal handling: the command installs
handlers that turn SIGTERM and SIGHUP into exceptions, which unwind through
here like Ctrl-C.
"""

from __future__ import annotations

import contextlib
import os
import re
import stat
import sys
from collections.abc import Iterator
from typing import BinaryIO

__all__ = ["open_output", "restart", "restartable"]

STDOUT = "-"

# The directory of a process's open descriptors, once /proc/self and
# /dev/fd are resolved: /proc/PID/fd or /proc/PID/task/TID/fd.
_FD_DIR = re.compile(r"/proc/(\d+)(?:/task/\d+)?/fd")

# Symlinks followed before giving up, as the kernel's own limit.
_MAX_LINKS = 40


@contextlib.contextmanager
def open_output(destination: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """Yields a binary file object to write the whole output to (see the
    module's docstring). Only the string `"-"` means stdout; a path object
    named `-` is a file of that name. Errors while writing or closing (a
    full disk, a device that refuses data) propagate as OSError."""
    if isinstance(destination, str) and destination == STDOUT:
        yield from _stdout()
        return
    path = os.fspath(destination)
    through, descriptor = _descriptor(path)
    if descriptor is not None:
        _flush_text_above(descriptor)
        yield from _in_place(os.dup(descriptor))
        return
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        mode = None  # a new path, or a dangling symlink to one
    if through or (mode is not None and not stat.S_ISREG(mode)):
        # No O_CREAT: it exists. O_TRUNC means nothing to a device or FIFO,
        # and only a regular file open in another process is cut to size.
        # Opening a FIFO waits for its reader, as a redirection does.
        flags = os.O_WRONLY | os.O_CLOEXEC | (os.O_TRUNC if mode is not None and stat.S_ISREG(mode) else 0)
        yield from _in_place(os.open(path, flags))
        return
    yield from _replacing(os.path.realpath(path))


def _stdout() -> Iterator[BinaryIO]:
    # What was printed through the text layer goes out first.
    sys.stdout.flush()
    out = sys.stdout.buffer
    yield out
    out.flush()


def _flush_text_above(fd: int) -> None:
    """What was printed to stdout or stderr goes out before the output
    written to the same descriptor."""
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, OSError, ValueError):
            if stream.fileno() == fd:
                stream.flush()


def _in_place(fd: int) -> Iterator[BinaryIO]:
    file = os.fdopen(fd, "wb")
    try:
        yield file
        file.close()  # flushes: a full device fails here
    except BaseException:
        _close_quietly(file)
        raise


def _replacing(final: str) -> Iterator[BinaryIO]:
    directory, name = os.path.split(final)
    # The name is known before the file is made, so that a signal raised
    # as the open returns (where Python runs its handlers) still finds the
    # file to remove; a random name is never another's.
    temporary: str | None = None
    file: BinaryIO | None = None
    try:
        existing = os.stat(final).st_mode
    except OSError:
        existing = None
    try:
        while True:
            temporary = os.path.join(directory, f".{name}.{os.urandom(6).hex()}.tmp")
            try:
                # Mode 0o666 lets the umask decide the output's permissions,
                # as for any file a program creates.
                fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                break
            except FileExistsError:
                temporary = None
        file = os.fdopen(fd, "wb")
        if existing is not None:
            # The file replaced keeps its permissions.
            os.fchmod(fd, stat.S_IMODE(existing))
        yield file
        file.close()
        os.replace(temporary, final)
    except BaseException as exc:
        if file is not None:
            _close_quietly(file)
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        note_unwritten(exc, final, existing is not None)
        raise


def note_unwritten(exc: BaseException, path: str, existed: bool) -> None:
    """Adds to `exc`, as a note, that the output at `path` was not written:
    what was there is as it was."""
    note = f"nothing was written to {path!r}: " + (
        "the file there is as it was" if existed else "no file was left there"
    )
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:  # before Python 3.11: where the command looks for it all the same
        exc.__notes__ = [*getattr(exc, "__notes__", ()), note]


def _close_quietly(file: BinaryIO) -> None:
    """Closes a file being abandoned: its buffered bytes are not wanted, and
    a failure to flush them must not hide why it is abandoned."""
    with contextlib.suppress(OSError, ValueError):
        file.close()


def _descriptor(path: str) -> tuple[bool, int | None]:
    """Whether `path` leads through a process's file table (`/dev/stdout`,
    `/dev/fd/1`, `/proc/self/fd/1`, `/proc/PID/fd/N`), and if it names an
    open descriptor of this process, that descriptor."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        parent, name = os.path.split(current)
        parent = os.path.realpath(parent)
        match = _FD_DIR.fullmatch(parent)
        if match is not None:
            if name.isdigit() and int(match.group(1)) == os.getpid():
                with contextlib.suppress(OSError):
                    os.fstat(int(name))
                    return True, int(name)
            return True, None
        try:
            target = os.readlink(os.path.join(parent, name))
        except OSError:
            return False, None  # not a symlink: the path leads to a file of its own
        current = os.path.join(parent, target)  # an absolute target replaces parent
    return False, None


def restartable(file: BinaryIO) -> bool:
    """Whether the output `file` is a regular file written from its start
    and not in append mode: what was written to it can be cut back to
    nothing (see restart) without touching anything that was there before."""
    try:
        fd = file.fileno()
        if not (file.seekable() and file.tell() == 0 and stat.S_ISREG(os.fstat(fd).st_mode)):
            return False
        import fcntl  # not on Windows: nothing is restartable there

        return not fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND
    except (ImportError, OSError, ValueError, AttributeError):
        return False


def restart(file: BinaryIO) -> None:
    """Cuts a restartable output back to nothing, to write it again."""
    file.seek(0)
    file.truncate()
