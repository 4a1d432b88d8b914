"""Streaming conversion of an XML file into CSV, JSON Lines or Parquet.

Memory stays bounded by a batch or so, whatever the size of the file, and a
column that first appears late in the file is never dropped:

- CSV and Parquet need the full column list before the first row is written.
  With pyarrow installed they are written by pyarrow's writers from batches
  built natively (quelbrand.read_xml): the columns are found by a native pass
  that builds no values and runs beside the first batch, and a pipe, which
  cannot be read twice, is spooled to a compressed temporary file. Without
  pyarrow, CSV is written in pure Python from a discovery pass and a writing
  pass, and a pipe is refused;
- JSON Lines writes each record as an object of its non-null values, so it
  needs a single pass.

With `types`, Parquet columns take the type all their values share (see
quelbrand.read_xml), JSON Lines writes the values of number and boolean
columns as JSON numbers and booleans (their text is valid JSON as it
stands), and CSV stays the text of the file.

The source may be a path, bytes or a binary file object, plain or compressed
(gzip, bzip2, xz, zstd; see quelbrand.inputs). The progress bar counts the
bytes read against the file's size, the compressed bytes of a compressed
file (only the bytes, for a pipe).

With `jobs` above 1, a plain file is split between records into ranges that
are read on that many threads at once (the native reader lets go of the
interpreter while it parses), and written in the file's order: Parquet as one
file whose row groups are those of reading on one thread, CSV and JSON Lines
as the ranges' parts joined in order. The output is byte for byte that of
one job. A range boundary falls only where a batch would end anyway, so every
batch is the one a single reading makes. Compressed input, bytes, file
objects and pipes cannot be split and are read on one thread.

Output goes to a temporary file beside the destination, which replaces the
destination only once the conversion has succeeded. On any failure the
temporary file is removed and an existing destination is left untouched.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import importlib.util
import io
import itertools
import os
import secrets
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from json.encoder import encode_basestring
from typing import Any, TextIO

import quelbrand._native as _native
from quelbrand.batches import (
    DEFAULT_BATCH_ROWS,
    PathArg,
    align_columns,
    discover_columns,
    is_read_once,
    sized_batches,
)
from quelbrand.errors import ConversionError, require_extra
from quelbrand.inputs import Input, is_plain_path, open_input
from quelbrand.progress import ProgressBar
from quelbrand.reader import RowGroups, XmlTable
from quelbrand.schema import schema as _schema
from quelbrand.schema import string_schema as _string_schema
from quelbrand.split import Piece, Range, guess, piece, ranges, settle, splittable, survey
from quelbrand.stitch import Stitcher, encode_empty, encode_group

# A range's output: bytes, or a pyarrow.Buffer, which a file writes uncopied.
Buffer = Any

__all__ = ["FORMATS", "atomic_output", "convert", "format_of"]

FORMATS = ("csv", "jsonl", "parquet")


# Parquet row groups gather native batches up to this many rows, so a small
# batch size does not make a file of tiny row groups.
PARQUET_ROW_GROUP_ROWS = DEFAULT_BATCH_ROWS

# JSON Lines output encodes this many rows of a batch at a time.
JSONL_SLICE_ROWS = 4096

# Makes a progress bar for one pass over the file, given the pass's label.
BarFactory = Callable[[str], ProgressBar]


@dataclasses.dataclass
class _Job:
    """What a conversion reads and how, and what it saw of the records."""

    source: Any
    batch_rows: int
    attributes: bool = False
    types: bool = False
    # The plain file's path when the path-only readers can read it.
    path: str | None = None
    input: Input | None = None  # opened already: a pipe's first bytes are in it
    read_once: bool = False
    values_seen: bool = False  # some record had a value

    def table(self, types: bool = False) -> XmlTable:
        table = XmlTable(self.source, batch_rows=max(self.batch_rows, 1), attributes=self.attributes, types=types)
        if self.input is not None:
            table._opened = self.input
        return table

    def native_source(self) -> Any:
        return self.path if self.input is None else self.input.native()

    def saw(self, batch: Any) -> None:
        if not self.values_seen:
            self.values_seen = any(column.null_count < len(column) for column in batch.columns)

    def saw_lists(self, values: list[list[Any]], count: int) -> None:
        if not self.values_seen:
            self.values_seen = any(column.count(None) != count for column in values)


def format_of(path: PathArg) -> str:
    """The output format named by the file's extension."""
    extension = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    if extension not in FORMATS:
        raise ConversionError(f"cannot tell the output format of {os.fspath(path)!r}: name it .csv, .jsonl or .parquet")
    return extension


def convert(
    source: Any,
    destination: PathArg,
    *,
    fmt: str | None = None,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    progress: TextIO | None = None,
    types: bool = False,
    attributes: bool = False,
    on_note: Callable[[str], object] | None = None,
    jobs: int = 1,
    blocksize: int | None = None,
) -> int:
    """Converts the XML document `source` (a path, bytes or a binary file
    object, as read_xml takes) into `destination` and returns the number of
    rows written. `fmt` is one of FORMATS, by default taken from
    the destination's extension. With `progress`, a progress bar of the
    bytes read is drawn on that stream. With `attributes`, attributes are
    values too (see quelbrand.read_xml). `on_note` is given advice for the
    user of the command: when no record had a value but the records'
    elements have attributes, the flag that would read them.

    XML failures raise the module's ValueError, a missing pyarrow (for
    Parquet) MissingExtraError, a pipe given for CSV without pyarrow
    ValueError, and output failures OSError; in every case nothing is left
    under the destination's name that was not there before. CSV writes a
    header row (none if the file has no columns) and a missing value as an
    empty field; all columns are text. With `types`, Parquet and JSON Lines
    get typed columns (see the module's docstring); a pipe then needs
    pyarrow for JSON Lines too, to keep its batches while the types are
    found.

    With `jobs` above 1 (and pyarrow), a plain file is read in ranges of
    about `blocksize` bytes (by default sized for the file and the jobs) on
    that many threads; the output is the same, byte for byte (see the
    module's docstring)."""
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    fmt = format_of(destination) if fmt is None else fmt
    if fmt not in FORMATS:
        raise ConversionError(f"unknown output format {fmt!r}; choose one of {', '.join(FORMATS)}")
    if fmt == "parquet":
        # Fail before reading anything when the extra is missing.
        require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
    job = _Job(source, batch_rows, attributes, types)
    if isinstance(source, (str, os.PathLike)) and not _have_pyarrow() and is_read_once(os.fspath(source)):
        # Without pyarrow a pipe is read by path, as it comes (sniffing it
        # for compression would take bytes the path-only reader never sees).
        job.path = os.fspath(source)
        job.read_once = True
        _refuse_pipe_without_pyarrow(job.path, fmt, types)
    else:
        job.input = open_input(source)
        job.read_once = job.input.read_once
        if is_plain_path(job.input):
            job.path = job.input.name
    if attributes and fmt != "parquet":
        require_extra("pyarrow", "pyarrow", f"{fmt} output with attributes")
    if job.path is None and not _have_pyarrow():
        require_extra("pyarrow", "pyarrow", f"{fmt} output from compressed input, bytes or a file object")
    total = None if job.read_once or job.input is None else job.input.size

    def bar(label: str) -> ProgressBar:
        return ProgressBar(progress, total, label, unit="bytes")

    if jobs > 1 and job.path is not None and not job.read_once and _have_pyarrow() and splittable(job.path):

        def writer(job: _Job, output: str, bar: BarFactory) -> int:
            return _write_ranges(job, output, bar, fmt, jobs, blocksize)
    elif fmt == "csv":
        writer = _write_arrow_csv if _have_pyarrow() else _write_csv
    elif fmt == "parquet":
        writer = _write_parquet
    elif types or attributes:
        writer = _write_typed_jsonl
    else:
        writer = _write_jsonl if job.path is not None else _write_arrow_jsonl
    with atomic_output(destination) as temporary:
        rows = writer(job, temporary, bar)
    if on_note is not None and rows and not job.values_seen and not attributes and not job.read_once:
        if _records_have_attributes(job.native_source()):
            on_note(
                f"the records of {job.input.name if job.input else job.path!r} have no values of their own but "
                "carry attributes; pass --attributes to read those as columns"
            )
    return rows


def _refuse_pipe_without_pyarrow(src: str, fmt: str, types: bool) -> None:
    if fmt == "csv":
        raise ConversionError(
            f"cannot convert {src!r} to csv: it is a pipe or device that can be read only once, and csv output "
            "without pyarrow reads the file twice to find every column; install pyarrow, convert to jsonl, "
            "or save the input to a file first"
        )
    if types and fmt == "jsonl":
        raise ConversionError(
            f"cannot convert {src!r} to jsonl with types: it is a pipe or device that can be read only once, and "
            "the types must be known before the first record is written; install pyarrow, or save the input to a "
            "file first"
        )


def _records_have_attributes(source: Any) -> bool:
    """Whether the first records of the file have attributes to read."""
    with contextlib.suppress(ValueError, OSError):
        for batch in _native.open(source, 64, None, False, False, attributes=True):
            return bool(batch.column_names)
    return False


def _have_pyarrow() -> bool:
    return importlib.util.find_spec("pyarrow") is not None


# ---------------------------------------------------------------------------
# Atomic output


@contextlib.contextmanager
def atomic_output(destination: PathArg) -> Iterator[str]:
    """Yields the path of a new empty file in the destination's directory;
    moves it onto `destination` when the block succeeds and removes it when
    the block raises anything, KeyboardInterrupt included."""
    final = os.path.abspath(os.fspath(destination))
    directory, name = os.path.split(final)
    while True:
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            # Mode 0o666 lets the umask decide the output's permissions, as
            # for any file a program creates.
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            break
        except FileExistsError:
            continue
    try:
        yield temporary
        os.replace(temporary, final)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


# ---------------------------------------------------------------------------
# Writers: each takes the job, the temporary output path and a progress bar
# factory, and returns the number of rows written.


def _bytes_done(source: str) -> Callable[[], int]:
    """How far a pure-Python pass has read, for its progress bar: the
    module's iterator gives no position, so the bar follows the open file's
    offset, seen through the process's own file table."""
    fd_dir = "/proc/self/fd"

    def done() -> int:
        with contextlib.suppress(OSError):
            for name in os.listdir(fd_dir):
                with contextlib.suppress(OSError):
                    if os.path.samefile(os.path.join(fd_dir, name), source):
                        return os.lseek(int(name), 0, os.SEEK_CUR)
        return 0

    return done


def _write_csv(job: _Job, output: str, bar: BarFactory) -> int:
    # Without pyarrow: a discovery pass, then the rows through the csv module.
    source = _path_of(job)
    columns = discover_columns(source)
    rows = 0
    where = _bytes_done(source)
    with open(output, "w", newline="", encoding="utf-8") as file, bar("writing CSV") as progress:
        writer = csv.writer(file)
        if columns:
            writer.writerow(columns)
        for names, values, count in sized_batches(source, job.batch_rows):
            job.saw_lists(values, count)
            # csv writes None as an empty field.
            writer.writerows(zip(*align_columns(names, values, columns, count)))
            rows += count
            progress.update(where())
        progress.update(progress.total or progress.done)
    return rows


def _write_jsonl(job: _Job, output: str, bar: BarFactory) -> int:
    source = _path_of(job)
    where = _bytes_done(source)
    with open(output, "w", encoding="utf-8") as file, bar("writing JSON Lines") as progress:
        rows = _jsonl_rows(file, sized_batches(source, job.batch_rows), progress, where, set(), job)
        progress.update(progress.total or progress.done)
    return rows


# Columns of these types hold text that is a JSON value as it stands: the
# classifier accepts exactly JSON's number syntax, and `true` or `false`.
_JSON_LITERAL_TYPES = frozenset({"int64", "float64", "bool"})


def _jsonl_rows(
    file: TextIO,
    batches: Iterator[tuple[list[str], list[list[str | None]], int]],
    progress: ProgressBar,
    where: Callable[[], int],
    literal: set[str],
    job: _Job,
) -> int:
    """Writes each batch's records as JSON objects; the values of the
    columns named in `literal` are written bare, the others as strings."""
    rows = 0
    for names, values, count in batches:
        job.saw_lists(values, count)
        if values:
            # Each value becomes its `"name": "value"` member column by
            # column, so a row is only a join of its members; a missing
            # value has no member. This is what json.dumps of the row's
            # dict gives with ensure_ascii=False, at a fraction of the
            # cost. Slices of rows keep the members' memory small.
            keys = [encode_basestring(name) + ": " for name in names]
            encoders = [_bare if name in literal else encode_basestring for name in names]
            for start in range(0, count, JSONL_SLICE_ROWS):
                members = [
                    [
                        None if value is None else key + encode(value)
                        for value in column[start : start + JSONL_SLICE_ROWS]
                    ]
                    for key, encode, column in zip(keys, encoders, values)
                ]
                file.writelines("{" + ", ".join(filter(None, row)) + "}\n" for row in zip(*members))
        else:
            file.write("{}\n" * count)
        rows += count
        progress.update(where())
    return rows


def _bare(value: str) -> str:
    return value


def _write_typed_jsonl(job: _Job, output: str, bar: BarFactory) -> int:
    # The types come first, from a native pass (or a pipe's spool); then the
    # records are written from their text, numbers and booleans bare.
    # Attributes are read only by the native reader.
    table = job.table(types=job.types)
    literal: set[str] = set()
    if job.types:
        kinds = dict(zip(table.column_names, table.column_types or []))
        literal = {name for name, kind in kinds.items() if kind in _JSON_LITERAL_TYPES}
    if job.path is None or job.read_once or job.attributes:
        batches = _text_batches(table)

        def where() -> int:
            return table.bytes_read
    else:
        batches = sized_batches(job.path, job.batch_rows)
        where = _bytes_done(job.path)
    with open(output, "w", encoding="utf-8") as file, bar("writing JSON Lines") as progress:
        rows = _jsonl_rows(file, batches, progress, where, literal, job)
        progress.update(progress.total or progress.done)
    return rows


def _text_batches(table: XmlTable) -> Iterator[tuple[list[str], list[list[str | None]], int]]:
    """A spooled table's batches as text, in sized_batches' shape."""
    pa = require_extra("pyarrow", "pyarrow", "JSON Lines from a pipe")
    _, _, batches = table._pass(typed=False)
    for native in batches:
        yield _lists(pa.record_batch(native))


def _lists(batch: Any) -> tuple[list[str], list[list[str | None]], int]:
    """A record batch in sized_batches' shape: names, values, row count."""
    return batch.schema.names, [column.to_pylist() for column in batch.columns], batch.num_rows


def _follow(table: XmlTable, progress: ProgressBar, job: _Job) -> Callable[[Any], None]:
    def on_batch(batch: Any) -> None:
        job.saw(batch)
        progress.update(table.bytes_read)

    return on_batch


def _write_parquet(job: _Job, output: str, bar: BarFactory) -> int:
    table = job.table(types=job.types)
    with bar("writing Parquet") as progress:
        rows = table.write_parquet(
            output, row_group_rows=PARQUET_ROW_GROUP_ROWS, on_batch=_follow(table, progress, job)
        )
        progress.update(progress.total or progress.done)
    return rows


def _write_arrow_csv(job: _Job, output: str, bar: BarFactory) -> int:
    table = job.table()
    with bar("writing CSV") as progress:
        rows = table.write_csv(output, on_batch=_follow(table, progress, job))
        progress.update(progress.total or progress.done)
    return rows


def _write_arrow_jsonl(job: _Job, output: str, bar: BarFactory) -> int:
    # One pass, each batch with its own columns, as the path-only writer.
    pa = require_extra("pyarrow", "pyarrow", "JSON Lines output from compressed input, bytes or a file object")
    table = job.table()

    def text_batches() -> Iterator[tuple[list[str], list[list[str | None]], int]]:
        for native in table._batches_as_read():
            yield _lists(pa.record_batch(native))

    with open(output, "w", encoding="utf-8") as file, bar("writing JSON Lines") as progress:
        rows = _jsonl_rows(file, text_batches(), progress, lambda: table.bytes_read, set(), job)
        progress.update(progress.total or progress.done)
    return rows


def _path_of(job: _Job) -> str:
    assert job.path is not None  # the path-only writers are chosen only then
    return job.path


# ---------------------------------------------------------------------------
# Many jobs: ranges of one file read at once, written in order

# A range is about this much of the file: several per job, so the jobs stay
# busy to the end, and few enough that each one's batches are large.
RANGE_BYTES_MIN = 1 << 20
RANGE_BYTES_MAX = 32 << 20


def _range_bytes(size: int, jobs: int) -> int:
    return max(RANGE_BYTES_MIN, min(RANGE_BYTES_MAX, size // (jobs * 4)))


def _in_order(pool: ThreadPoolExecutor, fn: Callable[[Any], Any], items: Iterable[Any], ahead: int) -> Iterator[Any]:
    """fn over `items` on the pool, results in order, at most `ahead` items
    started and not yet taken: what memory holds is bounded by them."""
    pending: deque[Future[Any]] = deque()
    rest = iter(items)
    try:
        pending.extend(pool.submit(fn, item) for item in itertools.islice(rest, ahead))
        while pending:
            result = pending.popleft().result()
            for item in itertools.islice(rest, 1):
                pending.append(pool.submit(fn, item))
            yield result
    finally:
        for future in pending:
            future.cancel()


def _write_ranges(job: _Job, output: str, bar: BarFactory, fmt: str, jobs: int, blocksize: int | None) -> int:
    pa = require_extra("pyarrow", "pyarrow", "reading with several jobs")
    path = _path_of(job)
    batch_rows = max(job.batch_rows, 1)
    if fmt == "parquet":
        # Row groups gather whole batches, so a range must end where a row
        # group does for the groups to be those of one reading.
        group = max(PARQUET_ROW_GROUP_ROWS, 1)
        align = batch_rows * -(-group // batch_rows)
    else:
        group = 0
        align = batch_rows
    size = os.path.getsize(path)
    typed = job.types and fmt != "csv"
    blocksize = blocksize or _range_bytes(size, jobs)
    kinds: list[str] | None = None
    names: list[str] = []
    if fmt == "jsonl":
        # A record's members follow its batch's columns, so ranges end where
        # batches do: from one pass that finds them (with the columns' types
        # decided over the whole file), or the counter's cheap pass.
        if typed:
            surveyed = survey(path, blocksize, align=align, types=True, attributes=job.attributes)
            names, kinds, parts = surveyed.columns, surveyed.types, surveyed.ranges
        else:
            parts = ranges(path, blocksize, align=align)
            if job.attributes:
                with ThreadPoolExecutor(jobs) as pool:
                    found = list(_in_order(pool, lambda part: part.columns(attributes=True), parts, 2 * jobs))
                names = list(dict.fromkeys(name for columns in found for name in columns))
    else:
        # The ranges, their columns (and types) from the file's pieces,
        # surveyed at once; a CSV line does not depend on its batch, and
        # Parquet's batches are cut again as one reading cuts them.
        guesses = guess(path, blocksize)

        def survey_piece(start: bytes | None, until: int | None) -> Piece:
            return piece(path, start, until, attributes=job.attributes, types=typed)

        # In order and a few ahead: an interrupt then waits only for the
        # pieces being read, not for every piece queued.
        with ThreadPoolExecutor(jobs) as pool:
            pieces = list(_in_order(pool, lambda task: survey_piece(*task), guesses.tasks(), 2 * jobs))
        settled = settle(guesses, pieces, survey_piece)
        names, kinds, parts = settled.columns, settled.types, settled.ranges

    def batches(part: Range, columns: list[str] | None, types: Any = False) -> Iterator[Any]:
        for native in part.open(batch_rows, columns, types=types, attributes=job.attributes):
            yield pa.record_batch(native)

    with bar(f"writing {_FORMAT_NAMES[fmt]}") as progress, ThreadPoolExecutor(jobs) as pool:

        def done(part: Range) -> None:
            progress.update(size if part.end is None else part.end)

        if fmt == "parquet":
            schema = _schema(pa, names, kinds)
            types = kinds if typed else False

            def read(part: Range) -> list[Any]:
                return list(batches(part, names, types))

            rows = _parquet_in_order(
                pa,
                output,
                schema,
                group,
                batch_rows,
                _in_order(pool, read, parts, jobs + 1),
                job,
                done,
                parts,
                pool,
                jobs,
            )
        else:
            # Each range's text is made in memory on its job and written
            # in order: at most jobs + 1 ranges' text is held at once.
            write = _csv_part if fmt == "csv" else _jsonl_part

            def run(item: tuple[int, Range]) -> tuple[Buffer, int]:
                i, part = item
                return write(part, i == 0, names, kinds, batches, job)

            rows = 0
            with open(output, "wb") as out:
                for (text, count), part in zip(_in_order(pool, run, enumerate(parts), jobs + 1), parts):
                    out.write(text)
                    del text
                    rows += count
                    done(part)
        progress.update(progress.total or progress.done)
    return rows


_FORMAT_NAMES = {"csv": "CSV", "jsonl": "JSON Lines", "parquet": "Parquet"}


def _parquet_in_order(
    pa: Any,
    output: str,
    schema: Any,
    group: int,
    batch_rows: int,
    results: Iterator[list[Any]],
    job: _Job,
    done: Callable[[Range], None],
    ranges: list[Range],
    pool: ThreadPoolExecutor,
    jobs: int,
) -> int:
    # Row groups gathered as XmlTable.write_parquet gathers them, from
    # batches cut where one reading's batches end, each encoded on the pool.
    require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
    with open(output, "wb") as file:
        writer = _GroupsAtOnce(file, schema, pool, jobs)
        groups = RowGroups(pa, writer, schema, group)
        cut = Rebatch(pa, schema, batch_rows)
        for found, part in zip(results, ranges):
            for batch in found:
                job.saw(batch)
                for whole in cut.add(batch):
                    groups.add(whole)
            done(part)
        for whole in cut.flush():
            groups.add(whole)
        groups.flush()
        writer.close()
    return groups.rows


class _GroupsAtOnce:
    """What RowGroups asks of a ParquetWriter, with each row group encoded
    on the pool as a file of its own and the file put together from them in
    order (see quelbrand.stitch): at most `ahead` groups wait to be put in."""

    def __init__(self, file: Any, schema: Any, pool: ThreadPoolExecutor, ahead: int):
        self._schema, self._pool, self._ahead = schema, pool, max(ahead, 1)
        self._stitcher = Stitcher(file)
        self._pending: deque[Future[bytes]] = deque()

    def write_table(self, table: Any, row_group_size: int) -> None:
        assert row_group_size == table.num_rows  # one group each
        self._pending.append(self._pool.submit(encode_group, table, self._schema))
        while len(self._pending) > self._ahead:
            self._stitcher.add(self._pending.popleft().result())

    def close(self) -> None:
        while self._pending:
            self._stitcher.add(self._pending.popleft().result())
        self._stitcher.close(encode_empty(self._schema))


class Rebatch:
    """Batches cut and joined into batches of `rows` rows each (the last may
    hold fewer), whatever their sizes: the batches of one reading, from the
    batches of ranges that begin anywhere. A batch made of one slice is that
    slice; of several, their join in one piece of memory, as the reader
    builds a batch."""

    def __init__(self, pa: Any, schema: Any, rows: int):
        self._pa, self._schema, self._rows = pa, schema, max(rows, 1)
        self._pending: list[Any] = []
        self._count = 0

    def add(self, batch: Any) -> Iterator[Any]:
        while batch.num_rows:
            take = min(self._rows - self._count, batch.num_rows)
            self._pending.append(batch.slice(0, take))
            self._count += take
            batch = batch.slice(take)
            if self._count == self._rows:
                yield self._take()

    def flush(self) -> Iterator[Any]:
        if self._count:
            yield self._take()

    def _take(self) -> Any:
        pending, self._pending, self._count = self._pending, [], 0
        if len(pending) == 1:
            return pending[0]
        joined = self._pa.Table.from_batches(pending, schema=self._schema).combine_chunks()
        (batch,) = joined.to_batches()
        return batch


def _csv_part(
    part: Range,
    first: bool,
    names: list[str],
    kinds: list[str] | None,
    batches: Callable[..., Iterator[Any]],
    job: _Job,
) -> tuple[Buffer, int]:
    pa = require_extra("pyarrow", "pyarrow", "CSV output")
    pacsv = require_extra("pyarrow.csv", "pyarrow", "CSV output")
    rows = 0
    options = pacsv.WriteOptions(include_header=first)
    schema = _string_schema(pa, names)
    sink = pa.BufferOutputStream()
    with pacsv.CSVWriter(sink, schema, write_options=options) as writer:
        for batch in batches(part, names):
            writer.write_batch(batch)
            rows += batch.num_rows
            job.saw(batch)
    # The writer's own buffer: the file takes it as it stands, uncopied.
    return sink.getvalue(), rows


def _jsonl_part(
    part: Range,
    first: bool,
    names: list[str],
    kinds: list[str] | None,
    batches: Callable[..., Iterator[Any]],
    job: _Job,
) -> tuple[Buffer, int]:
    literal: set[str] = set()
    if job.types and kinds is not None:
        literal = {name for name, kind in zip(names, kinds) if kind in _JSON_LITERAL_TYPES}
    # As one reading writes them: records with attributes against the
    # file's columns, others with their batch's own.
    columns = names if job.attributes else None

    file = io.StringIO()
    with ProgressBar(None, None, "") as quiet:
        rows = _jsonl_rows(file, map(_lists, batches(part, columns)), quiet, lambda: 0, literal, job)
    return file.getvalue().encode("utf-8"), rows
