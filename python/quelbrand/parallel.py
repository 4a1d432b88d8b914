"""One reading of a plain file on several threads at once.

For results that need no schema before their first batch (a whole table in
memory), read_pieces() below reads the pieces values and all, each with its
own columns. A stream, whose schema comes first, is read from the exact
ranges of a survey instead (see quelbrand.split), a batch per task, a few
ahead of the consumer, in file order (batches_in_order()).

The file is cut at guessed split points (see quelbrand.split), and each
piece is read, values and all, with its own columns, on a thread of its
own: no pass finds the columns first. A piece counts only where the reading
before it ended exactly at its guess, in the state guessed; otherwise it is
read again from where that reading did end. The pieces' columns are lined
up at the end in order of first appearance over the file, so the result is
the one-thread reading's, value for value.
"""

from __future__ import annotations

import bisect
import collections
import contextlib
import dataclasses
import functools
import os
import threading
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

import quelbrand._native as _native
from quelbrand.errors import Misguessed, is_xml_error
from quelbrand.recover import Span, recovered
from quelbrand.split import Guesses, guess, size_of, source_of, splittable, survey

__all__ = [
    "Reading",
    "BatchTask",
    "aligned",
    "batch_tasks",
    "batches_in_order",
    "checked_threads",
    "count_records",
    "in_order",
    "piece_size",
    "ranges_in_order",
    "read_pieces",
    "stream_piece_size",
    "usable_cores",
]

# A piece is worth a thread from this size; below two of them the file is
# read by one.
MIN_PIECE = 16 << 20
# Pieces per thread: more than one, so that a thread whose pieces were
# dense is helped by the others at the end.
PIECES_PER_THREAD = 4


def usable_cores() -> int:
    """The cores this process may run on."""
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):  # not on Linux
        return os.cpu_count() or 1


def checked_threads(threads: int | None) -> int:
    """`threads` as a count: None means the usable cores."""
    if threads is None:
        return usable_cores()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def piece_size(path: Any, threads: int) -> int | None:
    """The size of the pieces `threads` threads read the file at `path` in,
    or None where it is read by one (one thread, a file that is not plain,
    or one smaller than two pieces)."""
    if threads < 2 or not splittable(path):
        return None
    size = size_of(path)
    blocksize = max(MIN_PIECE, -(-size // (threads * PIECES_PER_THREAD)))
    return blocksize if size >= 2 * blocksize else None


# A streamed piece is held whole once read, so its size bounds memory
# whatever the file's; it is smaller on a small file so that every thread
# gets several.
STREAM_PIECE = 16 << 20
MIN_STREAM_PIECE = 4 << 20


def stream_piece_size(path: Any, threads: int) -> int | None:
    """The size of the pieces `threads` threads stream the file at `path`
    in, or None where one reads it (see piece_size)."""
    if threads < 2 or not splittable(path):
        return None
    size = size_of(path)
    if size < 2 * MIN_PIECE:
        return None
    return min(STREAM_PIECE, max(MIN_STREAM_PIECE, size // (threads * PIECES_PER_THREAD)))


T = TypeVar("T")
R = TypeVar("R")


# What a reading in one pass takes a large file's columns or shape from
# before reading it whole with them: most files' first records show every
# column and path. The guess is made only where the head holds at least
# SAMPLE_RECORDS records and its second half showed nothing its first half
# had not: a file whose head is still growing its columns (a real one's,
# often) surely grows them later, and reading it with the guess would be
# thrown away.
SAMPLE_BYTES = 2 << 20
SAMPLE_RECORDS = 1000


def given_up() -> ValueError:
    """What a piece read with a guess raises once another piece's record
    proved the guess wrong."""
    return ValueError("given up: another piece's record has no place in the columns guessed")


def in_order(
    threads: int, read: Callable[[T], R], tasks: Iterable[T], pool: ThreadPoolExecutor | None = None
) -> Generator[R, None, None]:
    """read(task) of each task, run on `threads` threads (or on `pool`,
    shared with other work), given in the tasks' order, at most `threads`
    of them read ahead of the one in use, so that memory holds a few.
    Leaving early cancels the tasks not started, and waits for those
    running on a pool of its own."""
    own = pool is None
    pool = pool or ThreadPoolExecutor(threads)
    reader = threading.get_ident()
    pending: collections.deque[Any] = collections.deque()
    try:
        for task in tasks:
            pending.append(pool.submit(read, task))
            if len(pending) >= threads:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()
        # Left unclosed, this is closed by the garbage collector on whatever
        # thread it runs, perhaps inside threading's own locks: waiting for
        # the pool's threads there could wait for ever.
        if own:
            pool.shutdown(wait=threading.get_ident() == reader)


def ranges_in_order(
    pa: Any,
    threads: int,
    batch_rows: int,
    ranges: Iterable[Any],
    open_range: Callable[[Any], Any],
    on_range: Callable[[Any, Any], object],
) -> Iterator[Any]:
    """The record batches of consecutive `ranges` (quelbrand.split.Range),
    read a few at once on `threads` threads by `open_range(part)`, a native
    reader opened aligned, and given in file order, cut as the one-thread
    reading cuts them (see aligned()). `on_range(part, reader)` follows
    each range once its batches have all been handed on."""

    def parts() -> Iterator[list[Any]]:
        for part, batches, native in _read_in_order(pa, threads, ranges, open_range):
            yield batches
            on_range(part, native)

    return aligned(pa, batch_rows, parts())


@dataclasses.dataclass(frozen=True)
class BatchTask:
    """One batch of a stream read from a surveyed file: `count` records
    (None: to the end of the file) from the one `pass_over` records into
    `part`, the range its first record lies in."""

    part: Any  # quelbrand.split.Range
    pass_over: int
    count: int | None
    # Where its last record's range ends (None: the file's end), for progress.
    done: int | None

    def open(self, batch_rows: int, **options: Any) -> Any:
        """A native reader of the batch's records (see quelbrand._native.open)."""
        part = self.part
        source = part.index.open(part.path) if part.index is not None else source_of(part.path, False)
        return _native.open(
            source,
            batch_rows,
            start=part.start,
            records=self.count,
            pass_over=self.pass_over or None,
            expect_rows=self.count,
            **(part.entities or {}),
            **options,
        )


def batch_tasks(ranges: list[Any], batch_rows: int) -> list[BatchTask]:
    """The batches of `batch_rows` records (the last perhaps short) the
    whole file's reading cuts, each read from the surveyed range its first
    record lies in. A batch is read whole by one reader, which passes over
    the range's records before it as a counter does: nothing is joined
    afterwards, and a batch costs the memory of one."""
    firsts = [part.first for part in ranges]
    total = ranges[-1].first + ranges[-1].count
    tasks = []
    for first in range(0, max(total, 1), batch_rows):
        k = bisect.bisect_right(firsts, first) - 1
        last = min(first + batch_rows, total) - 1
        done = ranges[bisect.bisect_right(firsts, last) - 1].end
        # The last batch reads on to the end, which checks how the file ends.
        count = None if first + batch_rows >= total else batch_rows
        tasks.append(BatchTask(ranges[k], first - ranges[k].first, count, None if count is None else done))
    return tasks


def batches_in_order(
    pa: Any,
    threads: int,
    tasks: Iterable[BatchTask],
    open_task: Callable[[BatchTask], Any],
    on_task: Callable[[BatchTask, Any], object],
) -> Iterator[Any]:
    """The record batches of `tasks`, read a few at once on `threads`
    threads by `open_task(task)`, a native reader, and given in file order.
    `on_task(task, reader)` follows each task once its batch is handed on."""

    for task, batches, native in _read_in_order(pa, threads, tasks, open_task):
        yield from batches
        on_task(task, native)


def _read_in_order(
    pa: Any, threads: int, items: Iterable[T], open_item: Callable[[T], Any]
) -> Iterator[tuple[T, list[Any], Any]]:
    """Each item with the record batches of its native reader
    `open_item(item)`, and the reader, read on `threads` threads, in order."""

    def read(item: T) -> tuple[T, list[Any], Any]:
        native = open_item(item)
        return item, [pa.record_batch(b) for b in native], native

    return in_order(threads, read, items)


def aligned(pa: Any, batch_rows: int, parts: Iterable[list[Any]]) -> Iterator[Any]:
    """The record batches of consecutive ranges, each range's list read
    aligned (see quelbrand.split.Range.open), as batches of `batch_rows`
    rows but the last: a batch that straddles ranges is joined from their
    parts, a copy of at most one batch per range."""
    held: list[Any] = []
    rows = 0
    for part in parts:
        for batch in part:
            held.append(batch)
            rows += batch.num_rows
            if rows >= batch_rows:
                yield _joined(pa, held)
                held, rows = [], 0
    if held:
        yield _joined(pa, held)


def _joined(pa: Any, batches: list[Any]) -> Any:
    if len(batches) == 1:
        return batches[0]
    # Column by column: a table's combine_chunks() takes over ten times as long.
    schema = batches[0].schema
    columns = [pa.concat_arrays([b.column(i) for b in batches]) for i in range(len(schema))]
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def count_records(path: str, threads: int, reader: dict[str, Any] | None = None) -> int | None:
    """The records of the file at `path`, counted in pieces on `threads`
    threads by the record counter's pass; None where it is read by one."""
    blocksize = piece_size(path, threads)
    if blocksize is None:
        return None
    with ThreadPoolExecutor(threads) as pool:
        return survey(path, blocksize, columns=False, run=pool.map, entities=reader, check_end=True).records


@dataclasses.dataclass
class _Piece:
    batches: list[Any]
    stop: tuple[int, int, bytes] | None
    lost: tuple[int, int]
    error: BaseException | None = None
    spans: list[Span] = dataclasses.field(default_factory=list)  # rejected, skipping


@dataclasses.dataclass
class Reading:
    """The batches of a whole file in order, each with its own columns; the
    columns of all of them in order of first appearance; the record count
    and what flattening lost."""

    batches: list[Any]
    columns: list[str]
    records: int
    lost: tuple[int, int]


Open = Callable[..., Any]


def read_pieces(
    path: Any,
    threads: int,
    open_piece: Open,
    reader: dict[str, Any] | None = None,
    *,
    skip: bool = False,
    on_span: Callable[[Span], Any] | None = None,
) -> Reading | None:
    """The file at `path` read in pieces on `threads` threads, or None where
    that is not worth it (one thread, a file that is not plain or under two
    pieces, or one whose records cannot be told apart by its bytes).
    `open_piece(start=..., until=...)` opens a native reader of the file
    from a split point to the first record that ends at or past `until`;
    `reader` holds the native reader's keywords for records. XML failures
    raise the module's ValueError: the first in the file. With `skip`,
    each piece leaves its faulty records out (see quelbrand.recover), and
    the spans of the pieces kept go to `on_span` in file order, before any
    error after them is raised."""
    blocksize = piece_size(path, threads)
    guesses = None if blocksize is None else _guesses(path, blocksize, reader, skip)
    if guesses is None:
        return None

    def read(task: Task) -> _Piece:
        start, until = task
        if skip:
            return _read_skipping(path, open_piece, start, until)
        return _read_piece(open_piece, start, until)

    with ThreadPoolExecutor(threads) as pool:
        pieces = list(pool.map(read, guesses.tasks()))
    return _settled(guesses, pieces, read, on_span)


def pieces_in_order(
    path: Any,
    threads: int,
    open_piece: Open,
    reader: dict[str, Any] | None = None,
    on_piece: Callable[[int | None, tuple[int, int]], object] | None = None,
    blocksize: int | None = None,
    pool: ThreadPoolExecutor | None = None,
) -> Generator[Any, None, None] | None:
    """The batches of the file at `path` read in pieces on `threads`
    threads as read_pieces() reads them, but given in file order as the
    pieces settle, a few pieces ahead, so that memory holds a few pieces
    (of `blocksize` bytes, or see stream_piece_size) whatever the file's
    size, on `pool` if given; None where the file is not read so. A
    failure is raised where the file's reading reaches it, after the
    batches before it. `on_piece(stop, lost)` follows each piece's batches:
    the offset its reading stopped at (None at the end) and its reader's
    `lost`."""
    size = stream_piece_size(path, threads)
    guesses = None if size is None else _guesses(path, blocksize or size, reader)
    if guesses is None:
        return None

    def settled() -> Generator[Any, None, None]:
        read = functools.partial(_read_piece, open_piece)
        ahead = in_order(threads, lambda task: read(*task), guesses.tasks(), pool)
        # Closed here, not whenever the collector finds it: its pool then
        # waits for its threads, which must not happen on a thread the
        # collector happens to run on.
        with contextlib.closing(ahead):
            current, at_piece = next(ahead), 0
            while True:
                if current.error is not None:
                    raise current.error
                # Each batch is let go once taken, not with its piece.
                batches = collections.deque(current.batches)
                current.batches = []
                while batches:
                    yield batches.popleft()
                if on_piece is not None:
                    on_piece(None if current.stop is None else current.stop[0], current.lost)
                if current.stop is None:
                    return
                k, until = guesses.after(current.stop[0], current.stop[2])
                if k is None:
                    current = read(current.stop[2], until)
                    continue
                # The pieces before k were guessed wrong and are passed over.
                while at_piece < k:
                    current, at_piece = next(ahead), at_piece + 1

    return settled()


def _guesses(path: Any, blocksize: int, reader: dict[str, Any] | None, skip: bool = False) -> Guesses | None:
    """Where the pieces of the file begin, or None where it is not worth
    reading it in pieces."""
    try:
        guesses = guess(path, blocksize, reader, skip=skip)
    except ValueError as error:
        # Markup the head's skim failed on: one thread's reading finds the
        # file's first fault, which may lie in text before it.
        if is_xml_error(error):
            return None
        raise
    return guesses if guesses.offsets else None


# What a guessed piece makes of each native batch on its own thread (a
# pyarrow batch, or its encoded text), given the columns guessed.
Make = Callable[[list[str]], Callable[[Any], Any]]


class GuessedPiece:
    """A piece's native reader, opened with a guess (the columns or the
    shape of the file's first records), whose batches come as `make` makes
    them, on the piece's own thread. An error that `misfit(reader, error)`
    takes for a record outside the guess sets `missed`; the other pieces
    then give up at their next batch."""

    def __init__(
        self,
        make: Callable[[Any], Any],
        reader: Any,
        missed: threading.Event,
        misfit: Callable[[Any, BaseException], bool],
    ) -> None:
        self._make, self.reader, self._missed, self._misfit = make, reader, missed, misfit

    def __iter__(self) -> Iterator[Any]:
        try:
            for batch in self.reader:
                if self._missed.is_set():
                    raise given_up()
                yield self._make(batch)
        except ValueError as error:
            if self._misfit(self.reader, error):
                self._missed.set()
            raise

    @property
    def stop(self) -> Any:
        return self.reader.stop

    @property
    def lost(self) -> tuple[int, int]:
        # A nested reader keeps every value and has no count.
        return getattr(self.reader, "lost", (0, 0))


def then_count(batches: Iterable[Any], done: Callable[[int], object]) -> Iterator[Any]:
    """The batches, then done(rows) once every one was taken."""
    rows = 0
    for batch in batches:
        rows += batch.num_rows
        yield batch
    done(rows)


def guessed(batches: Generator[Any, None, None], missed: threading.Event) -> Iterator[Any]:
    """The batches of pieces_in_order() whose pieces were read with a guess,
    raising Misguessed where a record proved it wrong (`missed` set)."""
    with contextlib.closing(batches):
        try:
            yield from batches
        except ValueError:
            if missed.is_set():
                raise Misguessed from None
            raise


def _read_piece(open_piece: Open, start: bytes | None, until: int | None) -> _Piece:
    try:
        native = open_piece(start=start, until=until)
        batches = list(native)
        # A stop short of `until` is the end of the file.
        stop = native.stop if until is not None else None
        if stop is not None and until is not None and stop[0] < until:
            stop = None
        return _Piece(batches, stop, native.lost)
    except (ValueError, OSError) as error:
        return _Piece([], None, (0, 0), error)


Task = tuple[bytes | None, int | None]  # a piece's start and until


def _read_skipping(path: str, open_piece: Open, start: bytes | None, until: int | None) -> _Piece:
    spans: list[Span] = []
    stopped: list[Any] = []
    opened: list[Any] = []

    def open_at(at: bytes | None, upto: int | None) -> Any:
        opened.append(open_piece(start=at, until=upto))
        return opened[-1]

    try:
        batches = list(recovered(path, open_at, spans.append, start=start, until=until, stopped=stopped))
    except (ValueError, OSError) as error:
        return _Piece([], None, (0, 0), error, spans)
    lost = [native.lost for native in opened]
    stop = stopped[0] if stopped else None
    return _Piece(batches, stop, (sum(v for v, _ in lost), sum(r for _, r in lost)), spans=spans)


def _settled(
    guesses: Guesses, pieces: list[_Piece], read: Callable[[Task], _Piece], on_span: Callable[[Span], Any] | None
) -> Reading:
    # As split.settle: a piece is taken where the reading before it ended on
    # its guess in the state guessed, else read again from the true end.
    batches: list[Any] = []
    columns: dict[str, None] = {}
    values = records = rows = 0
    current = pieces[0]
    while True:
        for span in current.spans:
            if on_span is not None:
                on_span(span)
        if current.error is not None:
            raise current.error
        for batch in current.batches:
            columns.update(dict.fromkeys(batch.column_names))
            rows += batch.num_rows
        batches += current.batches
        values += current.lost[0]
        records += current.lost[1]
        if current.stop is None:
            break
        at, _, state = current.stop
        k, until = guesses.after(at, state)
        current = pieces[k] if k is not None else read((state, until))
    return Reading(batches, list(columns), rows, (values, records))
