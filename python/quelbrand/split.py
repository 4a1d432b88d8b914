"""One file read as many ranges, each on its own, in any order.

A split point is the state a reader needs to resume between two records
exactly as the reader from the file's start would have gone on (the
encoding, the open elements). A range runs from one split point (or the
start) through a known number of records; the last one reads to the end of
the file, so an error after the last record is still found. The ranges'
rows, concatenated, are the rows of reading the whole file, value for value.

A plain file named by its path can be split, and a gzip or bzip2 one through
the index of quelbrand.compressed (its offsets are then decompressed ones);
other compressed input, bytes, file objects and pipes are read as one range.

The file is surveyed in pieces read at once, since one reader's survey is
serial and on a large file takes as long as the reading it plans. The start
of each piece is guessed from the bytes (just past a record's closing tag,
its name one of those the file's first records have), and each piece is
read from its guess until the first record that ends at or past the next
guess, noting the state there. A guess is used only where the reading
before it ended exactly on it in the state guessed, so a guess that fell
inside a comment, a CDATA section or a nested element of the same name
costs only the reading of one piece again, from where the reading before it
truly ended. The same survey serves every output, Dask and every job count.
"""

from __future__ import annotations

import bisect
import dataclasses
import mmap
import os
import re
import stat
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import quelbrand._native as _native
from quelbrand import compressed
from quelbrand.errors import is_xml_error
from quelbrand.faults import first_fault
from quelbrand.inputs import codec_of, open_input
from quelbrand.records import counting

__all__ = [
    "Guesses",
    "Piece",
    "Range",
    "Survey",
    "guess",
    "joined",
    "piece",
    "settle",
    "size_of",
    "source_of",
    "splittable",
    "survey",
]


@dataclasses.dataclass(frozen=True)
class Range:
    """Records `first` .. `first + count - 1` of the file at `path` (or of
    the object behind a URL, a quelbrand.remote.Remote)."""

    path: Any
    first: int  # the file's record position where the range begins
    count: int
    start: bytes | None = None  # the split point's state; None: the file's start
    # The range's end: where the next range begins, or None for the last,
    # which reads to the end of the file.
    end: int | None = None
    # The native reader's keywords for entities and records (see
    # quelbrand.entities and quelbrand.records).
    entities: dict[str, Any] | None = None
    # A compressed file's index (quelbrand.compressed.Index), read through.
    index: Any = None
    # Skipping faulty records: rejected bytes follow the range, so it joins
    # no range after it.
    gap: bool = False

    @property
    def whole(self) -> bool:
        """Whether the range is the whole file."""
        return self.start is None and self.end is None

    def source(self) -> Any:
        """What the native reader reads: a whole file as it comes (a
        compressed one decompressed), a range by its plain path or through
        its compressed file's index."""
        if self.index is not None:
            return self.index.open(self.path)
        return source_of(self.path, self.whole, self.end)

    def where(self) -> dict[str, Any]:
        """The native readers' keywords for the range: where it starts and
        ends, and the entities and records it is read with."""
        records = None if self.end is None else self.count
        return {"start": self.start, "records": records, "end": self.end, **(self.entities or {})}

    def _first_rows(self, batch_rows: int, aligned: bool) -> int | None:
        # A range that begins inside a batch of the whole reading ends it.
        return ((-self.first) % batch_rows or None) if aligned else None

    def open(
        self,
        batch_rows: int,
        columns: list[str] | None,
        *,
        types: bool = False,
        known_types: list[str] | None = None,
        attributes: bool = False,
        project: bool = False,
        aligned: bool = False,
    ) -> Any:
        """A native reader of the range's records (see quelbrand._native.open).
        `aligned`: its batches end where the whole file's reading ends its
        batches of `batch_rows` records, the first one perhaps short."""
        return _native.open(
            self.source(),
            batch_rows,
            columns=columns,
            project=project,
            types=types,
            known_types=known_types,
            attributes=attributes,
            first_rows=self._first_rows(batch_rows, aligned),
            expect_rows=self.count or None,
            **self.where(),
        )

    def open_nested(
        self,
        batch_rows: int,
        shape: bytes,
        *,
        types: bool = False,
        attributes: bool = False,
        text_of: Any = None,
        aligned: bool = False,
    ) -> Any:
        """A native nested reader of the range's records, every batch of
        the type `shape` gives (see quelbrand._native.open_nested);
        `aligned` as for open()."""
        return _native.open_nested(
            self.source(),
            batch_rows,
            shape=shape,
            types=types,
            attributes=attributes,
            text_of=text_of,
            first_rows=self._first_rows(batch_rows, aligned),
            **self.where(),
        )


def source_of(path: Any, whole: bool, end: int | None = None) -> Any:
    """What a native reader reads of `path`, a local path or an object
    behind a URL (quelbrand.remote's Remote), which opens its own bytes,
    fetching ahead no further than about `end`: the whole of it as it
    comes, or a range of its plain bytes."""
    if not isinstance(path, str):
        return path.source(whole, end)
    return open_input(path).native() if whole else path


@dataclasses.dataclass(frozen=True)
class Survey:
    """A file's columns, record count and ranges (and with types, the
    columns' types), from its pieces."""

    columns: list[str]
    records: int
    ranges: list[Range]
    types: list[str] | None = None
    # Nested: the record shape of the whole file, the pieces' merged in order.
    shape: bytes | None = None
    # With types: each column's state, to merge with other files' (see
    # quelbrand._native.merge_state).
    states: list[int] | None = None
    # Skipping faulty records: the rejected spans, in file order (see
    # quelbrand.recover); the ranges hold none of them.
    spans: list[Any] = dataclasses.field(default_factory=list)
    # Skipping: the error of a document cut off, for the reading to raise
    # after the rows of the ranges.
    ending: str | None = None


def size_of(path: Any) -> int:
    """The size of a file, or of an object behind a URL."""
    return int(path.size) if not isinstance(path, str) else os.path.getsize(path)


def splittable(path: Any) -> bool:
    """Whether `path` is a regular file that holds XML as it stands: not
    compressed, which a reader cannot enter in the middle (or an object
    behind a URL that answers ranges and is not compressed)."""
    if not isinstance(path, str):
        return bool(path.splittable())
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as file:
            return codec_of(file.read(8)) is None
    except OSError:
        return False


# ---- Pieces surveyed at once ----------------------------------------------------------

# The file's start, read exactly for the names of its records, with a split
# point noted every HEAD_STEP bytes: the record that ends at each one names
# itself in its closing tag.
HEAD_BYTES = 1 << 18
HEAD_STEP = 1 << 12
MOST_NAMES = 8
# A guess must fall in its own block of the file; a closing tag is looked
# for this far past it, for records whose tag the block cuts.
TAG_BYTES = 1 << 16
_NAME = re.compile(rb"</?([^\s/>]+)")
# The rest of a start tag, through its `>`, quoted values holding `>` included.
_TAG_REST = re.compile(rb"""(?:[^>"']|"[^"]*"|'[^']*')*>""")
_AFTER_END_NAME = frozenset(b" \t\r\n>")
_START_NAME_ENDS = frozenset(bytes([c]) for c in b" \t\r\n/")


@dataclasses.dataclass(frozen=True)
class Guesses:
    """Where the pieces of a file are guessed to begin, past the first."""

    path: Any  # as Range.path
    offsets: list[int]
    states: list[bytes]
    # A compressed file's index (quelbrand.compressed.Index), its pieces
    # read through it.
    index: Any = None

    def tasks(self) -> list[tuple[bytes | None, int | None]]:
        """Each piece's (start, until): from the file's start or a guess,
        to the next guess or the end of the file."""
        starts: list[bytes | None] = [None, *self.states]
        untils: list[int | None] = [*self.offsets, None]
        return list(zip(starts, untils))

    @classmethod
    def at(cls, path: Any, offsets: list[int], head: bytes, index: Any = None) -> Guesses:
        """Guesses at `offsets`, each in the state `head` (a split point of
        the file's head, not UTF-16) moved there."""
        states: list[bytes] = []
        for offset in offsets:
            moved = _native.split_at(head, offset)
            assert moved is not None  # not UTF-16, as the caller checked
            states.append(moved)
        return cls(path, offsets, states, index)

    def after(self, at: int, state: bytes) -> tuple[int | None, int | None]:
        """Where a reading that stopped at `at` in `state` goes on: (k, None)
        when the guess it stopped on holds, so that piece k (of tasks())
        follows; else (None, until), read from there up to the next guess
        (None: to the end)."""
        j = bisect.bisect_left(self.offsets, at)
        if j < len(self.offsets) and self.offsets[j] == at and _native.split_at(state, at) == self.states[j]:
            return j + 1, None
        return None, self.offsets[j] if j < len(self.offsets) else None


@dataclasses.dataclass(frozen=True)
class Piece:
    """What reading a piece found: its columns (when asked for), its record
    count and the split point where it stopped (None: at the end of the
    file); or the error that stopped it."""

    columns: list[str]
    records: int
    stop: tuple[int, int, bytes] | None
    error: BaseException | None = None
    # With types: each column's state over the piece, to merge with the
    # other pieces' (see quelbrand._native.merge_state).
    states: list[int] | None = None
    # Nested: the piece's record shape (see quelbrand._native.merge_shapes).
    shape: bytes | None = None
    # Skipping faulty records: the stretches before each fault, as (records,
    # the offset where the last ended, the state to read on from), and the
    # rejected spans; `records` and `stop` are those of the last stretch.
    faulted: list[tuple[int, int, bytes]] = dataclasses.field(default_factory=list)
    spans: list[Any] = dataclasses.field(default_factory=list)
    ending: str | None = None  # the document was cut off: how it ended


def guess(path: Any, blocksize: int, reader: dict[str, Any] | None = None, *, skip: bool = False) -> Guesses:
    """Guessed starts of the pieces of about `blocksize` bytes of the plain
    file at `path`: none for a file of fewer than two blocks, a UTF-16 one,
    or one whose first records cannot be told apart by the bytes. Malformed
    markup at the file's start raises the module's ValueError. `reader`
    holds the native reader's keywords, of which the records count here:
    a guess is just past the closing tag of an element named as the first
    records are, in the open elements the first record had, and settle()
    takes it only where a true reading ended there in that state. With
    `skip`, a fault in the head leaves the records before it to go by."""
    if not isinstance(path, str):
        return path.guess(blocksize, reader)  # type: ignore[no-any-return]
    size = os.path.getsize(path)
    none = Guesses(path, [], [])
    if size < 2 * blocksize:
        return none
    try:
        _, head = _native.split(path, HEAD_STEP, until=min(HEAD_BYTES, size), **_records_only(reader))
    except ValueError:
        if not skip:
            raise
        found = _native.discover(path, check_text=False, until=min(HEAD_BYTES, size), skip=True, **(reader or {}))
        good = found.fault[4] if found.fault is not None else found.stop
        head = [good] if good is not None and good[1] else []
    if not head or _native.split_at(head[0][2], 0) is None:
        return none
    offsets: list[int] = []
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        names = _record_names(data, [point[0] for point in head])
        if not names:
            return none
        for lo in range(blocksize, size, blocksize):
            at = _first_record_end(data, names, max(lo, offsets[-1] if offsets else 0), min(lo + blocksize, size))
            if at is not None and at < size:
                offsets.append(at)
    return Guesses.at(path, offsets, head[0][2])


def _records_only(reader: dict[str, Any] | None) -> dict[str, Any]:
    return {"record": reader["record"]} if reader and "record" in reader else {}


def _record_names(data: Any, ends: list[int]) -> list[bytes]:
    # The tag that ends right at each split point closes a record.
    names: dict[bytes, None] = {}
    for end in ends:
        lt = data.rfind(b"<", max(0, end - TAG_BYTES), end)
        found = _NAME.match(data[lt:end]) if lt >= 0 else None
        if found:
            names[found.group(1)] = None
        if len(names) >= MOST_NAMES:
            break
    return list(names)


def _first_record_end(data: Any, names: list[bytes], lo: int, hi: int) -> int | None:
    """Just past the first closing tag of a record (`</name>` or an empty
    `<name .../>`) that begins in lo..hi, by the bytes alone."""
    best: int | None = None
    for name in names:
        opening = b"<" + name
        # Records that are empty elements are found by their first start
        # tag, which then bounds the search for a closing tag; a start tag
        # that is not empty bounds nothing (its own closing tag, or an
        # earlier one, comes first), and without a bound that search would
        # run through the whole block in a file of empty records.
        best = _first_empty(data, opening, lo, hi, best, only_first=True)
        close = b"</" + name
        at = data.find(close, lo, hi if best is None else min(hi, best))
        while at >= 0 and (best is None or at < best):
            after = at + len(close)
            if after < len(data) and data[after] in _AFTER_END_NAME:
                gt = data.find(b">", after, after + TAG_BYTES)
                if gt >= 0:
                    best = gt + 1
                break
            at = data.find(close, at + 1, hi)
        best = _first_empty(data, opening, lo, hi, best)
    return best


def _first_empty(data: Any, opening: bytes, lo: int, hi: int, best: int | None, only_first: bool = False) -> int | None:
    """`best`, or just past an empty element's tag `opening` .../> that
    begins in lo..hi before it; with `only_first`, only the first start tag
    of that name is looked at."""
    at = data.find(opening, lo, hi if best is None else min(hi, best))
    while at >= 0:
        after = at + len(opening)
        named = data[after : after + 1] in _START_NAME_ENDS
        rest = _TAG_REST.match(data, after, after + TAG_BYTES) if named else None
        gt = rest.end() - 1 if rest else -1
        if gt >= 0 and data[gt - 1] == ord("/"):
            return gt + 1 if best is None else min(best, gt + 1)
        if only_first and (named or data[after : after + 1] == b">"):
            break
        at = data.find(opening, max(at + 1, gt), hi if best is None else min(hi, best))
    return best


def piece(
    path: Any,
    start: bytes | None,
    until: int | None,
    *,
    columns: bool = True,
    attributes: bool = False,
    types: bool = False,
    entities: dict[str, Any] | None = None,
    nested: bool = False,
    text_of: Any = None,
    index: Any = None,
    skip: bool = False,
    check_end: bool = False,
) -> Piece:
    """One piece read from `start` (None: the file's start) through the
    first record that ends at or past `until` (None: the end of the file),
    with its columns unless `columns` is off (the record counter's cheaper
    pass), and with `types` its columns' type states (its values are then
    built and their text checked). Otherwise text is skimmed. A piece that
    is the whole file is read as it comes, a compressed file decompressed.
    Never raises for the file's content: the error is the piece's, for
    settle() to raise only if the piece's start proves true. `entities`
    are the native reader's keywords for entities and records (see
    quelbrand.entities and quelbrand.records). With `nested`, the piece's
    record shape instead of its columns. A compressed file's piece is read
    through its `index`. With `skip`, faulty records are
    left out (see quelbrand.recover): the piece is read in stretches
    between them, each a range of its own. The record counter's pass with
    `check_end` fails on a document cut off, or holding no element."""
    kw = entities or {}
    if skip:
        return _skipping_piece(path, start, until, attributes, types, kw, nested, text_of)
    try:
        if index is not None:
            source: Any = index.open(path)
        else:
            source = source_of(path, start is None and until is None, until)
        if nested:
            shape, records, stop = _native.discover_nested(
                source, types=types, attributes=attributes, text_of=text_of, start=start, until=until, **kw
            )
            if until is None or stop is None or stop[0] < until:
                stop = None
            return Piece([], records, stop, shape=shape)
        names: list[str] = []
        states: list[int] | None = None
        found: Any = None
        if types or columns:
            found = _native.discover(
                source, check_text=types, types=types, attributes=attributes, start=start, until=until, **kw
            )
            names, records, states, stop = list(found.columns), found.records, found.states, found.stop
        else:
            records, splits = _native.split(
                source, 1 << 62, start=start, until=until, check_end=check_end and until is None, **counting(kw)
            )
            stop = splits[-1] if splits else None
        if until is None or stop is None or stop[0] < until:
            stop = None
        return Piece(names, records, stop, states=None if states is None else list(states))
    except (ValueError, OSError) as error:
        return Piece([], 0, None, error)


def _skipping_piece(
    path: str,
    start: bytes | None,
    until: int | None,
    attributes: bool,
    types: bool,
    kw: dict[str, Any],
    nested: bool,
    text_of: Any,
) -> Piece:
    from quelbrand.recover import recovered_discovery

    def discover_at(at: bytes | None, upto: int | None) -> Any:
        return _native.discover(path, types=types, attributes=attributes, start=at, until=upto, skip=True, **kw)

    spans: list[Any] = []
    try:
        stretches, stop, ending = recovered_discovery(path, discover_at, spans.append, start=start, until=until)
        columns: dict[str, int] = {}
        shape: bytes | None = None
        faulted: list[tuple[int, int, bytes]] = []
        for i, (at, found) in enumerate(stretches):
            states = found.states if found.states is not None else [0] * len(found.columns)
            for name, state in zip(found.columns, states):
                columns[name] = _native.merge_state(columns[name], state) if name in columns else state
            last = i == len(stretches) - 1
            if nested and found.records:
                # The stretch's shape, from exactly its records.
                end = None if last else found.fault[4][0]
                records = None if last else found.records
                part, _, _ = _native.discover_nested(
                    path,
                    types=types,
                    attributes=attributes,
                    text_of=text_of,
                    start=at,
                    records=records,
                    end=end,
                    until=until if last else None,
                    **kw,
                )
                shape = part if shape is None else _native.merge_shapes(shape, part)
            if not last:
                resume = stretches[i + 1][0]
                assert resume is not None
                faulted.append((found.records, found.fault[4][0], resume))
        if until is None or stop is None or stop[0] < until:
            stop = None
        records = stretches[-1][1].records
        if stretches[-1][1].fault is not None:
            # The rest of the file is rejected: the last stretch ends at its
            # fault, and no range follows.
            faulted.append((records, stretches[-1][1].fault[4][0], _NOWHERE))
            records = 0
        return Piece(
            [] if nested else list(columns),
            records,
            stop,
            states=list(columns.values()) if types and not nested else None,
            shape=shape if nested else None,
            faulted=faulted,
            spans=spans,
            ending=ending,
        )
    except (ValueError, OSError) as error:
        return Piece([], 0, None, error)


# The state after a stretch that the rest of the file was rejected past.
_NOWHERE = b""

Rerun = Callable[[bytes, int | None], Piece]

# Given the ranges read before a piece failed and the piece's own from its
# start, and the piece's error: the error to raise.
Held = Callable[[list[Range], BaseException], BaseException]


def settle(
    guesses: Guesses,
    pieces: Sequence[Piece],
    rerun: Rerun,
    entities: dict[str, Any] | None = None,
    held: Held | None = None,
) -> Survey:
    """The file's ranges, record count and columns from its pieces, read as
    Guesses.tasks() lists them. A piece whose guessed start the reading
    before it did not end on exactly is read again, by `rerun(start,
    until)`, from where that reading did end. The first error met in a
    piece that began at a true split point is raised, or with `held`
    (for pieces whose text was skimmed) the error it makes of it."""
    path = guesses.path
    found: list[Range] = []
    columns: dict[str, int] = {}
    shape: bytes | None = None
    first = 0
    start: bytes | None = None
    current = pieces[0]
    spans: list[Any] = []
    ending: str | None = None
    while True:
        if current.error is not None:
            if held is None:
                raise current.error
            raise held([*found, Range(path, first, 0, start, None, entities)], current.error)
        spans += current.spans
        for count, end, resume in current.faulted:
            if count:
                found.append(Range(path, first, count, start, end, entities, gap=True))
                first += count
            elif found:
                found[-1] = dataclasses.replace(found[-1], gap=True)
            start = resume
        kinds = current.states if current.states is not None else [0] * len(current.columns)
        for name, kind in zip(current.columns, kinds):
            columns[name] = _native.merge_state(columns[name], kind) if name in columns else kind
        if current.shape is not None:
            shape = current.shape if shape is None else _native.merge_shapes(shape, current.shape)
        if current.stop is None:
            ending = current.ending
            if start != _NOWHERE:
                found.append(Range(path, first, current.records, start, None, entities, guesses.index))
            break
        at, _, state = current.stop
        found.append(Range(path, first, current.records, start, at, entities, guesses.index))
        first += current.records
        start = state
        # The first guess at or past where this reading stopped.
        k, until = guesses.after(at, state)
        current = pieces[k] if k is not None else rerun(state, until)
    # A last range of no records: the one before reads to the end instead,
    # unless it ends at a fault.
    if len(found) > 1 and found[-1].count == 0 and not spans:
        last = found.pop()
        found[-1] = dataclasses.replace(found[-1], end=last.end)
    states = list(columns.values()) if pieces[0].states is not None else None
    types = None if states is None else _native.decide_types(states)
    return Survey(list(columns), sum(part.count for part in found), found, types, shape, states, spans, ending)


# How the pieces are read: like map(read, tasks), in order, perhaps at once
# (on a thread pool, or Dask's workers).
Runner = Callable[
    [Callable[[tuple[bytes | None, int | None]], Piece], list[tuple[bytes | None, int | None]]], Iterable[Piece]
]


def survey(
    path: str,
    blocksize: int,
    *,
    columns: bool = True,
    types: bool = False,
    attributes: bool = False,
    run: Runner | None = None,
    entities: dict[str, Any] | None = None,
    nested: bool = False,
    text_of: Any = None,
    index: Any = None,
    threads: int | None = None,
    skip: bool = False,
    check_end: bool = False,
) -> Survey:
    """The file at `path` surveyed in pieces of about `blocksize` bytes,
    read by `run` (by default one after another): its ranges, record count,
    and unless `columns` is off its columns (with `types`, and their types).
    A file that cannot be split is one piece, read as it comes. XML failures
    raise the module's ValueError, the first in the file that a survey
    meets. With `nested`, the survey has the file's record shape (the
    pieces' merged in file order) instead of its columns. A gzip or bzip2
    file is split through its `index` (built here, on up to `threads`
    threads, unless given), in decompressed offsets. With `skip`,
    faulty records are left out of the ranges and their spans listed."""
    guesses = Guesses(path, [], [])
    try:
        if splittable(path):
            guesses = guess(path, max(blocksize, 1), entities, skip=skip)
        elif index is not None or (isinstance(path, str) and compressed.splittable(path)):
            guesses = compressed.guess(path, max(blocksize, 1), entities, threads, index)
    except ValueError as error:
        # Markup the head's skim failed on: read as one piece, whose
        # failure then finds the first fault.
        if not is_xml_error(error):
            raise

    def read(task: tuple[bytes | None, int | None]) -> Piece:
        return piece(
            path,
            *task,
            columns=columns,
            attributes=attributes,
            types=types,
            entities=entities,
            nested=nested,
            text_of=text_of,
            index=guesses.index,
            skip=skip,
            check_end=check_end,
        )

    pieces = list((run or map)(read, guesses.tasks()))
    # Text is checked only with types; else a fault in text before the
    # failed piece's is found by reading values up to it (see quelbrand.faults).
    shaped = (text_of or True) if nested else None
    held = None if types else lambda parts, error: first_fault(parts, error, attributes, nested=shaped)
    return settle(guesses, pieces, lambda start, until: read((start, until)), entities, held)


def joined(parts: list[Range], blocksize: int) -> list[Range]:
    """Consecutive ranges of one file joined into ranges of about
    `blocksize` bytes each: a range joins the one before while that brings
    it nearer to `blocksize` (the last one, of unknown size, while the one
    before is short of it). For pieces surveyed smaller than the ranges
    wanted, so that no task waits on a long last piece."""
    out: list[Range] = []
    begin = 0  # the file offset where the last joined range begins
    for part in parts:
        last = out[-1] if out else None
        if last is None or last.end is None or last.gap:
            out.append(part)
            continue
        span = last.end - begin
        extra = 0 if part.end is None else part.end - last.end
        if span + extra / 2 < blocksize:
            out[-1] = dataclasses.replace(last, count=last.count + part.count, end=part.end, gap=part.gap)
        else:
            begin = last.end
            out.append(part)
    return out
