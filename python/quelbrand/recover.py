"""Reading on past faults: on_error="skip".

A record with an error in it (an undecodable byte, a bad reference, an
unknown entity, a bad attribute, a mismatched end tag, malformed markup) is
left out, and reading goes on with the next record. The native reader, told
to skip, hands over the complete rows read before the fault and says where
the fault lies: its offset, the start of the record it fell in, and the
state at the end of the last complete record. Reading resumes just past a
later record's closing tag, found in the bytes as the split survey finds
its guesses, in that state (moved there with split_at). A place to resume
is checked by reading on from it: one that fails before a record of its own
has begun (it fell inside a comment, a CDATA section or a nested element of
the same name) is passed over and the next one tried. Everything from the
faulty record's start to where reading resumes is one rejected span; a
fault outside every record spans to just past its markup.

A document cut off inside a record has that record as its last reject, and
the truncation is still raised after the rows: the document is not whole.
Only a plain file can be resumed in the middle, so any other input is
copied to a temporary plain file first.
"""

from __future__ import annotations

import bisect
import dataclasses
import json
import mmap
import os
import re
import threading
import weakref
from collections.abc import Callable, Iterator
from typing import IO, Any

import quelbrand._native as _native
from quelbrand.errors import XML_ERROR_PREFIX, ConversionError
from quelbrand.inputs import open_input
from quelbrand.split import _first_record_end, splittable

__all__ = [
    "ON_ERROR",
    "Reject",
    "Rejects",
    "Span",
    "checked_max_errors",
    "checked_on_error",
    "plain_path",
    "recovered",
    "recovered_discovery",
]

ON_ERROR = ("raise", "skip")


def checked_on_error(on_error: str, *report: object) -> bool:
    """Whether `on_error` asks to skip faulty records; `report` are the
    options that only a skipping reading takes (max_errors, rejects,
    on_reject), refused when given without it."""
    if on_error not in ON_ERROR:
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    if on_error != "skip" and any(option is not None for option in report):
        raise ValueError("max_errors, rejects and on_reject need on_error='skip'")
    return on_error == "skip"


def checked_max_errors(max_errors: int | None) -> int | None:
    if max_errors is None:
        return None
    if isinstance(max_errors, bool) or not isinstance(max_errors, int) or max_errors < 0:
        raise ValueError(f"max_errors must be a non-negative int or None, not {max_errors!r}")
    return max_errors


@dataclasses.dataclass(frozen=True)
class Reject:
    """One rejected span of a file: bytes `start` .. `end` (end excluded),
    beginning on line `line`, the error met there and the local name of the
    record element it fell in (None: outside every record)."""

    start: int
    end: int
    line: int
    error: str
    element: str | None

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


@dataclasses.dataclass(frozen=True)
class Span:
    """A rejected span before its line is known."""

    start: int
    end: int
    error: str
    element: str | None


class Rejects:
    """Where a reading's rejected spans go: kept in `items`, written as JSON
    Lines to `path`, and given to `callback`, each as it is found. More than
    `max_errors` of them (None: no limit) raise ConversionError."""

    def __init__(
        self,
        name: str,
        *,
        path: str | os.PathLike[str] | None = None,
        callback: Callable[[Reject], Any] | None = None,
        max_errors: int | None = None,
    ):
        self.name = name
        self.path = None if path is None else os.fspath(path)
        self.callback = callback
        self.max_errors = max_errors
        self.items: list[Reject] = []
        self._file: IO[str] | None = None
        self._lines: _Lines | None = None

    def start(self, source_path: str, *, fresh: bool = True) -> None:
        """A reading of the file at `source_path` begins: the report starts
        afresh, or unless `fresh` goes on from the last file's."""
        self.close()
        if fresh:
            self.items = []
        self._lines = _Lines(source_path)
        if self.path is not None:
            self._file = open(self.path, "w" if fresh else "a", encoding="utf-8")

    def add(self, span: Span) -> None:
        assert self._lines is not None
        reject = Reject(span.start, span.end, self._lines.line_of(span.start), span.error, span.element)
        self.items.append(reject)
        if self._file is not None:
            self._file.write(json.dumps(reject.as_dict(), ensure_ascii=False) + "\n")
            self._file.flush()
        if self.callback is not None:
            self.callback(reject)
        if self.max_errors is not None and len(self.items) > self.max_errors:
            raise ConversionError(
                f"{self.name!r}: more than {self.max_errors:,} records rejected (max_errors); "
                f"the first at line {self.items[0].line}: {self.items[0].error}"
            )

    def finish(self, rows: int) -> None:
        """The reading ended with `rows` rows kept: one that kept none but
        rejected some is not a table of the file, and raises."""
        self.close()
        if rows == 0 and self.items:
            first = self.items[0]
            raise ConversionError(
                f"{self.name!r}: no record could be read, {len(self.items):,} rejected; "
                f"the first at line {first.line}: {first.error}"
            )

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None
        if self._lines is not None:
            self._lines.close()


_COUNT_STEP = 1 << 24


class _Lines:
    """Line numbers of byte offsets, counted once: offsets asked in order
    cost one pass over the file in all."""

    def __init__(self, path: str):
        self._lock = threading.Lock()
        self._file = open(path, "rb")
        size = os.fstat(self._file.fileno()).st_size
        self._data: Any = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
        self._known = [(0, 1)]  # (offset, line there), by offset

    def line_of(self, offset: int) -> int:
        with self._lock:
            i = bisect.bisect_right(self._known, (offset, 1 << 62)) - 1
            at, line = self._known[i]
            for lo in range(at, offset, _COUNT_STEP):
                line += self._data[lo : min(lo + _COUNT_STEP, offset)].count(b"\n")
            self._known.insert(i + 1, (offset, line))
            return line

    def close(self) -> None:
        with self._lock:
            if isinstance(self._data, mmap.mmap):
                self._data.close()
            self._file.close()


def plain_path(source: Any, owner: object) -> str:
    """A path the native reader can resume in the middle of: `source` itself
    where it is a plain file, else a temporary plain copy of its XML (a
    compressed file decompressed, bytes and file objects written out),
    removed when `owner` goes."""
    if isinstance(source, (str, os.PathLike)) and splittable(os.fspath(source)):
        return os.fspath(source)
    import shutil
    import tempfile

    native = open_input(source).native()
    copy = tempfile.NamedTemporaryFile(prefix="quelbrand-skip-", suffix=".xml", delete=False)
    weakref.finalize(owner, _unlink, copy.name)
    with copy:
        if isinstance(native, (bytes, bytearray, memoryview)):
            copy.write(native)
        elif isinstance(native, (str, os.PathLike)):
            with open(native, "rb") as file:
                shutil.copyfileobj(file, copy, 1 << 20)
        else:
            shutil.copyfileobj(native, copy, 1 << 20)
    return copy.name


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


# ---- Finding where to resume ------------------------------------------------------

_START_TAG = re.compile(rb"<([^\s/>!?]+)")
# Markup whose content is not markup: a closing tag in it closes nothing.
_HIDING = ((b"<!--", b"-->"), (b"<![CDATA[", b"]]>"), (b"<?", b"?>"))


class _Bytes:
    """The file's bytes, mapped, for finding record names and ends."""

    def __init__(self, path: str):
        self.path = path
        with open(path, "rb") as file:
            self.size = os.fstat(file.fileno()).st_size
            self.data: Any = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if self.size else b""

    def name_at(self, offset: int) -> bytes | None:
        found = _START_TAG.match(self.data, offset, min(offset + 4096, self.size))
        return found.group(1) if found else None

    def record_end(self, names: set[bytes], after: int, since: int) -> int | None:
        """Just past the first closing tag of a record named `names` that
        begins at or after `after` and lies in no comment, CDATA section or
        processing instruction begun at or after `since`."""
        while names:
            end = _first_record_end(self.data, sorted(names), after, self.size)
            if end is None:
                return None
            tag = self.data.rfind(b"<", after, end)
            if not any(self._inside(since, tag, *pair) for pair in _HIDING):
                return end
            after = end
        return None

    def _inside(self, since: int, at: int, opening: bytes, closing: bytes) -> bool:
        began = self.data.rfind(opening, since, at)
        return bool(began >= 0 and self.data.find(closing, began + len(opening), at) < 0)

    def end_position(self) -> str:
        lines = 1 + sum(self.data[lo : lo + _COUNT_STEP].count(b"\n") for lo in range(0, self.size, _COUNT_STEP))
        return f" at line {lines}, byte {self.size}"

    def markup_end(self, after: int) -> int | None:
        gt = self.data.find(b">", after)
        return None if gt < 0 else gt + 1


def _local(name: bytes | None) -> str | None:
    if name is None:
        return None
    return name.rsplit(b":", 1)[-1].decode("utf-8", "replace")


def _error_text(error: BaseException) -> str:
    text = str(error)
    if text.startswith(XML_ERROR_PREFIX):
        cut = text.find("': ", len(XML_ERROR_PREFIX))
        if cut >= 0:
            return text[cut + 3 :]
    return text


Fault = tuple[str, bool, int, int | None, tuple[int, int, bytes], list[str]]
_END_TAG_FAULT = re.compile(r"^(expected `</|unexpected end tag)")


class _Recovery:
    """The spans of one reading, from the faults its readers meet in turn."""

    def __init__(self, path: str, report: Callable[[Span], None], *, raise_truncation: bool = True):
        self.raise_truncation = raise_truncation
        self.bytes = _Bytes(path)
        # Each place resumed at carries its line, so that the errors after
        # it are placed without counting from the start.
        self.lines = _Lines(path)
        self.report = report
        self.names: set[bytes] = set()
        # The span under way: its start, error and element, and where
        # reading resumed after it (not yet known to be good).
        self.open: tuple[int, str, str | None] | None = None
        self.resumed_at = 0
        self.state = b""  # the last good state, of the span under way
        self.open_names: list[str] = []  # the elements open in it
        # Left for the reading to raise, where truncation is not raised here:
        # how the document ended, if cut off.
        self.ending: str | None = None

    def fault(self, fault: Fault, error: BaseException) -> bytes | None:
        """Takes the fault a reader stopped at; returns the state to read on
        from, or None when there is nowhere to (the rest of the file is
        rejected). Raises `error` when the fault cannot be passed."""
        text, truncated, at, record_start, good, open_names = fault
        good_offset, _, state = good
        # A fault before any record of its own began since resuming: the
        # place resumed at was no record's end, and the span goes on.
        # Read on from the wrong place, a reader soon meets an end tag it
        # cannot match: the span goes on. (Markup that hides closing tags is
        # passed over before; this catches a record nested in one of its name.)
        false_resume = (
            self.open is not None
            and good_offset == self.resumed_at
            and record_start is None
            and _END_TAG_FAULT.search(text) is not None
        )
        if false_resume:
            # Read from the wrong place, the reader's state says nothing.
            state, open_names = self.state, self.open_names
        else:
            self.state, self.open_names = state, open_names
            self.close_span()
            start = at if record_start is None else record_start
            name = None if record_start is None else self.bytes.name_at(record_start)
            if name is not None:
                self.names.add(name)
            self.open = (start, text, _local(name))
        if truncated:
            self.cut_off(text, error)
            return None
        if record_start is not None or (false_resume and self.names):
            resume = self.bytes.record_end(self.names, at, self.open[0] if self.open else at)
        else:
            resume = self.bytes.markup_end(at)
        if resume is None or resume >= self.bytes.size:
            if open_names:
                # Nowhere to resume inside open elements: the document was cut off.
                text = f"the document ends inside <{open_names[0]}>{self.bytes.end_position()}; truncated?"
                self.cut_off(text, ValueError(f"{XML_ERROR_PREFIX}{self.bytes.path}': {text}"))
                return None
            self.close_span(self.bytes.size)
            return None
        moved = _native.split_at(state, resume, self.lines.line_of(resume))
        if moved is None:  # UTF-16: its markup cannot be found in the bytes
            self.open = None
            raise error
        self.resumed_at = resume
        return moved

    def cut_off(self, text: str, error: BaseException) -> None:
        self.close_span(self.bytes.size)
        if self.raise_truncation:
            raise error
        self.ending = text

    def close_span(self, end: int | None = None) -> None:
        if self.open is not None:
            start, text, element = self.open
            self.open = None
            self.report(Span(start, self.resumed_at if end is None else end, text, element))


def recovered(
    path: str,
    open_at: Callable[[bytes | None, int | None], Any],
    report: Callable[[Span], None],
    *,
    start: bytes | None = None,
    until: int | None = None,
    stopped: list[Any] | None = None,
) -> Iterator[Any]:
    """The batches of the file at `path` read from `start` (None: its start)
    with faulty records skipped, each rejected span given to `report` as it
    is known. `open_at(start, until)` opens a native reader told to skip.
    With `until`, reading ends after the first record that ends at or past
    it, and the split point there (None: the end of the file) is appended
    to `stopped`."""
    recovery = _Recovery(path, report)
    state = start
    while True:
        native = open_at(state, until)
        try:
            yield from native
        except ValueError as error:
            fault = native.fault
            if fault is None:
                raise
            state = recovery.fault(fault, error)
            if state is None:
                if stopped is not None:
                    stopped.append(None)
                return
            # Past `until`, the reading from the place resumed at still
            # reads a record, which proves the place.
            continue
        recovery.close_span()
        if stopped is not None:
            stop = native.stop if until is not None else None
            stopped.append(None if stop is None or (until is not None and stop[0] < until) else stop)
        return


def recovered_discovery(
    path: str,
    discover_at: Callable[[bytes | None, int | None], Any],
    report: Callable[[Span], None],
    *,
    start: bytes | None = None,
    until: int | None = None,
) -> tuple[list[tuple[bytes | None, Any]], Any, str | None]:
    """A discovery pass (`discover_at(start, until)`, a native discover
    told to skip) with faulty records skipped: each stretch between faults
    as (its start, its Discovery), in order, the split point where the
    pass stopped (as Discovery.stop; None at the end of the file), and the
    error of a document cut off, which the caller raises after the rows
    (the last stretch then ends at its fault). A stretch's Discovery has a
    `fault` unless it is the last. Rejected spans go to `report`."""
    recovery = _Recovery(path, report, raise_truncation=False)
    state = start
    found: list[tuple[bytes | None, Any]] = []
    while True:
        part = discover_at(state, until)
        found.append((state, part))
        if part.fault is None:
            recovery.close_span()
            return found, part.stop, None
        error = ValueError(f"{XML_ERROR_PREFIX}{path}': {part.fault[0]}")
        state = recovery.fault(part.fault, error)
        if state is None:
            return found, None, recovery.ending
