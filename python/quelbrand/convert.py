"""Streaming conversion of an XML file into CSV, JSON Lines or Parquet.

Memory stays bounded by a batch or so, whatever the size of the file, and a
column that first appears late in the file is never dropped: every format
is written from batches lined up to the file's columns, found by a native
pass beside the first batch (a pipe, which cannot be read twice, is spooled
while they are found). Each format has one writer (quelbrand.writers),
whether the file is read in one pass or in ranges at once: CSV and JSON
Lines are encoded natively, the same bytes with or without pyarrow, and
Parquet goes through pyarrow's writer.

With `types`, Parquet columns take the type all their values share (see
quelbrand.read_xml), JSON Lines writes the values of number and boolean
columns bare, and CSV stays the text of the file.

The source may be a path, bytes or a binary file object, plain or compressed
(gzip, bzip2, xz, zstd; see quelbrand.inputs). The progress shows each pass
over the input, in the bytes read (the compressed bytes of a compressed
file), and ends with a summary.

With `jobs` above 1, a plain file (or a gzip or bzip2 one, through the index
of quelbrand.compressed) is surveyed in pieces and read in ranges
between records on that many threads at once (the native reader lets go of
the interpreter while it parses), written in the file's order: the output
is byte for byte that of one job. Other compressed input, bytes, file objects and
pipes cannot be split and are read in one pass.

Output goes where quelbrand.output.open_output puts it: a regular file is
replaced only once the conversion has succeeded, `-` is stdout, and a
device or FIFO is written in place.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import threading
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, BinaryIO, TextIO

import quelbrand._native as _native
from quelbrand import compressed
from quelbrand.batches import DEFAULT_BATCH_ROWS, PathArg, checked_batch_rows
from quelbrand.entities import entity_options
from quelbrand.errors import (
    XML_ERROR_PREFIX,
    ConversionError,
    FlatteningWarning,
    Misguessed,
    loss_message,
    require_extra,
    warn_loss,
)
from quelbrand.inputs import Input, is_plain_path, open_input
from quelbrand.nested import NestedTable, checked_text_of, guessed_nested, literal_types, nested_schema
from quelbrand.output import open_output, restart, restartable
from quelbrand.parallel import stream_piece_size
from quelbrand.progress import Progress
from quelbrand.reader import XmlTable, guessed_flat
from quelbrand.records import record_options
from quelbrand.recover import Reject, Rejects, checked_max_errors, checked_on_error
from quelbrand.schema import schema
from quelbrand.split import Range, Survey, splittable, survey
from quelbrand.writers import TextOutput, write_parquet

__all__ = ["FORMATS", "convert", "format_of"]

FORMATS = ("csv", "jsonl", "parquet")
_NAMES = {"csv": "CSV", "jsonl": "JSON Lines", "parquet": "Parquet"}

# Parquet row groups hold this many rows whatever the batch size, so a small
# batch size does not make a file of tiny row groups.
PARQUET_ROW_GROUP_ROWS = DEFAULT_BATCH_ROWS

# A range is about this much of the file: several per job, so the jobs stay
# busy to the end, and few enough that each one's batches are large. Each
# job holds a range or two read ahead, so their size is most of what memory
# holds beside a row group: a range is at most an eighth of a job's share.
# Smaller ranges cost Parquet a copy of the chunk each range boundary cuts.
RANGE_BYTES_MIN = 1 << 20
RANGE_BYTES_MAX = 16 << 20
RANGES_PER_JOB = 8
# Through a compressed file's index, each range decompresses from the
# checkpoint before its start: fewer and larger ranges (8 MB ones took a
# quarter longer than 16 MB ones on a 100 MB gzip file).
INDEXED_RANGE_BYTES_MAX = 32 << 20
INDEXED_RANGES_PER_JOB = 4


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
    jobs: int | None = None,
    blocksize: int | None = None,
    entities: str | Mapping[str, str] | None = None,
    dtd: str | os.PathLike[str] | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    on_loss: Callable[[str], object] | None = None,
    nested: bool = False,
    text_of: Sequence[str] | None = None,
    storage_options: dict[str, Any] | None = None,
    on_error: str = "raise",
    max_errors: int | None = None,
    rejects: PathArg | None = None,
    on_reject: Callable[[Reject], object] | None = None,
) -> int:
    """Converts the XML document `source` (a path, bytes or a binary file
    object, as read_xml takes) into `destination` (a path, or `-` for
    stdout) and returns the number of rows written; a URL is read through
    fsspec with `storage_options`, as read_xml reads it. `fmt` is one of
    FORMATS, by default taken from the destination's extension. With
    `progress`, each pass and a closing summary are drawn on that stream.
    With `attributes`, attributes are values too, and with `types` columns
    are typed (see quelbrand.read_xml). `on_note` is given advice for the
    user of the command: when no record had a value but the records'
    elements have attributes, the flag that would read them.

    XML failures raise the module's ValueError, a missing pyarrow (for
    Parquet, or to spool a pipe) MissingExtraError, and output failures
    OSError; in every case nothing is left under the destination's name
    that was not there before.

    With `jobs` above 1, a plain file is read in ranges of about
    `blocksize` bytes (by default sized for the file and the jobs) on that
    many threads, and Parquet row groups are encoded on them; the output is
    the same, byte for byte. With `jobs=1` nothing runs beside the calling
    thread. By default (None) the file is read as one range, its columns
    found and its batches built ahead on threads beside the caller's.

    `entities` and `dtd` name entities beyond those the document declares,
    and `record` and `record_column` choose the records and name a column
    of their element names, as read_xml takes them.

    When the flat reading lost values (see quelbrand.read_xml), the
    conversion ends with one FlatteningWarning giving the counts, summed
    over the ranges read at once; with `on_loss`, that line (naming the
    command's --nested) is given to it instead. With `nested` (and
    `text_of`), records are read as read_xml(nested=True) reads them: JSON
    Lines writes nested objects and arrays, CSV a nested value as its JSON
    text in one field, and nothing is lost.

    `on_error="skip"` leaves faulty records out and reads on (see
    quelbrand.read_xml): each rejected span is written to the JSON Lines
    file `rejects` and given to `on_reject`; more than `max_errors` of
    them raise ConversionError."""
    batch_rows = checked_batch_rows(batch_rows)
    skip = checked_on_error(on_error, max_errors, rejects, on_reject)
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer, not {jobs!r}")
    fmt = format_of(destination) if fmt is None else fmt
    if fmt not in FORMATS:
        raise ConversionError(f"unknown output format {fmt!r}; choose one of {', '.join(FORMATS)}")
    if fmt == "parquet":
        # Fail before reading anything when the extra is missing.
        require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
    known = entity_options(entities, dtd) | record_options(record, record_column)
    inp = open_input(source, jobs or 1, storage_options=storage_options)
    shown = Progress(progress)
    job = _Job(
        inp, fmt, batch_rows, types and fmt != "csv", attributes, jobs, shown, (entities, dtd), (record, record_column)
    )
    if skip:
        job.report = Rejects(inp.name, path=rejects, callback=on_reject, max_errors=checked_max_errors(max_errors))
    if nested:
        job.nested = {"text_of": checked_text_of(text_of)}
    elif text_of is not None:
        raise ValueError("text_of needs nested reading")
    with open_output(destination) as raw, warnings.catch_warnings():
        # A reading's own warnings are summed into one, given below.
        warnings.simplefilter("ignore", FlatteningWarning)
        out = _Counted(raw)
        rows, columns = job.ranges(out, blocksize) if _in_ranges(inp, job.jobs) else job.whole(out)
    shown.summary(rows=rows, columns=len(columns), bytes_written=out.written)
    values, records = job.lost
    if values and on_loss is not None:
        on_loss(loss_message(values, records, rows, "convert with --nested"))
    elif values:
        warn_loss(values, records, rows)
    if on_note is not None and rows and not columns and not attributes and not inp.read_once:
        if _records_have_attributes(inp, known):
            on_note(
                f"the records of {inp.name!r} have no values of their own but carry attributes; "
                "pass --attributes to read those as columns"
            )
    return rows


def _in_ranges(inp: Input, jobs: int) -> bool:
    """Whether the command reads `inp` in ranges on `jobs` threads."""
    return jobs > 1 and (
        (is_plain_path(inp) and splittable(inp.name))
        or (isinstance(inp, compressed.CompressedPath) and compressed.splittable(inp.name))
    )


def text_at_once(
    inp: Input, table: Any, fmt: str, out: BinaryIO, own: bool, nested: dict[str, Any] | None = None
) -> tuple[int, list[str], tuple[int, int]] | None:
    """The CSV or JSON Lines of `table` (an XmlTable or NestedTable, whose
    `inp` it is) written to `out` as the command writes a file read on
    several threads: in one pass where the first records show every
    column, else surveyed first, each range encoded on its own thread. Only
    an output of our `own` (opened from a path) is ever started over. The
    rows, the columns and what the flat reading lost (values, records);
    None, with nothing written, where `inp` is not read so."""
    if not _in_ranges(inp, table.threads):
        return None
    types = table.types and fmt != "csv"
    job = _Job(inp, fmt, table.batch_rows, types, table.attributes, table.threads, Progress(None))
    job.entities = dict(table.entity_options)
    job.nested = nested
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FlatteningWarning)
        rows, columns = job.ranges(_Counted(out, own), None)
    return rows, columns, job.lost


class _Counted:
    """An output file that counts the bytes written to it, for the summary;
    stdout cannot say where it is."""

    def __init__(self, file: BinaryIO, own: bool = True):
        self._file = file
        self.written = 0
        self._own = own  # opened here: it may be started over

    def write(self, data: Any) -> int:
        self._file.write(data)
        n = memoryview(data).nbytes
        self.written += n
        return n

    def restartable(self) -> bool:
        return self._own and restartable(self._file)

    def restart(self) -> None:
        restart(self._file)
        self.written = 0

    def tell(self) -> int:
        return self.written

    def flush(self) -> None:
        self._file.flush()

    @property
    def closed(self) -> bool:
        return bool(self._file.closed)

    def writable(self) -> bool:
        return True


# Told that a range has been written, and the rows written so far.
_Done = Callable[[Range, int], None]


class _Job:
    """One conversion: what it reads, how, and where it shows it."""

    def __init__(
        self,
        inp: Input,
        fmt: str,
        batch_rows: int,
        types: bool,
        attributes: bool,
        jobs: int | None,
        shown: Progress,
        entities: tuple[Any, Any] = (None, None),
        records: tuple[Any, Any] = (None, None),
    ):
        self.inp, self.fmt, self.batch_rows = inp, fmt, batch_rows
        self.types, self.attributes, self.shown = types, attributes, shown
        # The ranges read at once, and the whole file's reading's threads:
        # those asked for, or None for the table's own default.
        self.jobs, self.threads = jobs or 1, jobs
        # As given (entities, dtd) and (record, record_column), and as the
        # native reader's keywords.
        self.given, self.records = entities, records
        self.entities = entity_options(*entities) | record_options(*records)
        # (values, records) the flat reading lost, over every range read.
        self.lost = (0, 0)
        self._lost_lock = threading.Lock()
        self.nested: dict[str, Any] | None = None  # {"text_of": [...]} when nested
        self.report: Rejects | None = None  # skipping faulty records: where their spans go

    def _lose(self, reader: Any) -> None:
        if self.nested is not None:
            return  # nested rows keep every value
        values, records = reader.lost
        # Ranges finish on the pool's threads.
        with self._lost_lock:
            self.lost = (self.lost[0] + values, self.lost[1] + records)

    def whole(self, out: Any) -> tuple[int, list[str]]:
        """The file in one pass (after the one its batches wait for, if any)."""
        entities, dtd = self.given
        kind: type[XmlTable] | type[NestedTable] = XmlTable if self.nested is None else NestedTable
        table = kind(
            self.inp,
            batch_rows=self.batch_rows,
            types=self.types,
            attributes=self.attributes,
            entities=entities,
            dtd=dtd,
            record=self.records[0],
            record_column=self.records[1],
            threads=self.threads,
            **(self.nested or {}),
            **self._skipping(),
        )
        total = None if self.inp.read_once else self.inp.size
        # The passes the batches wait for (a pipe's spool, then the types),
        # each shown as a pass of its own.
        for _ in range(2):
            first = table.pending()
            if first is None:
                break
            with self.shown.phase(first, total, done=lambda: table.bytes_read) as phase:
                table.prepare()
                phase.update(total if total is not None else table.bytes_read)
        with self.shown.phase(f"writing {_NAMES[self.fmt]}", total) as phase:
            rows = 0

            def on_batch(batch: Any) -> None:
                nonlocal rows
                rows += batch.num_rows
                phase.update(table.bytes_read, rows)

            if self.fmt == "parquet":
                written = table.write_parquet(
                    out, row_group_rows=PARQUET_ROW_GROUP_ROWS, on_batch=on_batch, jobs=self.jobs
                )
            elif self.fmt == "csv":
                written = table.write_csv(out, on_batch=on_batch)
            else:
                written = table.write_jsonl(out, on_batch=on_batch)
            phase.update(total or table.bytes_read, written)
        self.lost = table.lost or (0, 0)
        return written, table.column_names

    def _skipping(self) -> dict[str, Any]:
        if self.report is None:
            return {}
        given = self.report
        return {"skip": True, "max_errors": given.max_errors, "rejects": given.path, "on_reject": given.callback}

    def ranges(self, out: Any, blocksize: int | None) -> tuple[int, list[str]]:
        """The plain file surveyed in pieces and read in ranges at once; a
        gzip or bzip2 file the same, through the index one pass builds
        (its offsets are decompressed bytes), or whole where it has none."""
        path = self.inp.name
        if blocksize is None:
            guessed = self._guessed(out)
            if guessed is not None:
                return guessed
        index = None
        if self.inp.compressed:
            with self.shown.phase("indexing", self.inp.size):
                index = compressed.index_of(path, self.jobs)
            if index is None:
                return self.whole(out)
        size = os.path.getsize(path) if index is None else index.size
        if index is None:
            most, per_job = RANGE_BYTES_MAX, RANGES_PER_JOB
        else:
            most, per_job = INDEXED_RANGE_BYTES_MAX, INDEXED_RANGES_PER_JOB
        blocksize = blocksize or max(RANGE_BYTES_MIN, min(most, size // (self.jobs * per_job)))
        label = "finding columns and types" if self.types else "finding columns"
        if self.nested is not None:
            label = "finding shapes"
        with ThreadPoolExecutor(self.jobs) as pool:
            with self.shown.phase(label, size) as phase:

                def run(read: Callable[[Any], Any], tasks: list[Any]) -> Iterator[Any]:
                    # In order and a few ahead: an interrupt then waits only
                    # for the pieces being read, not for every piece queued.
                    for found in _in_order(pool, read, tasks, 2 * self.jobs):
                        phase.update(size if found.stop is None else found.stop[0])
                        yield found

                surveyed = survey(
                    path,
                    blocksize,
                    types=self.types,
                    attributes=self.attributes,
                    run=run,
                    entities=self.entities,
                    nested=self.nested is not None,
                    index=index,
                    **(self.nested or {}),
                    skip=self.report is not None,
                )
            if self.report is not None:
                # The ranges hold only the records kept: every span is known.
                self.report.start(path)
                for span in surveyed.spans:
                    self.report.add(span)
                if surveyed.records == 0:
                    self.report.finish(0)
            with self.shown.phase(f"writing {_NAMES[self.fmt]}", size) as phase:
                write = self._parquet if self.fmt == "parquet" else self._text
                rows = write(out, pool, surveyed, lambda part, rows: phase.update(part.end or size, rows))
            if self.report is not None:
                self.report.finish(rows)
                if surveyed.ending is not None:
                    raise ValueError(f"{XML_ERROR_PREFIX}{path}': {surveyed.ending}")
        if surveyed.shape is not None:
            return rows, _native.nested_columns(surveyed.shape)
        return rows, surveyed.columns

    def _guessed(self, out: Any) -> tuple[int, list[str]] | None:
        """A large plain file converted in one pass, with the columns (or
        the nested shape) of its first records, its pieces read on `jobs`
        threads, each batch made a pyarrow batch or encoded there, and
        given in order; None where it is not converted so. A record with a
        column (or path) beyond those starts the output over (None): the
        survey then finds them all, and the output is the same either way."""
        if self.types or self.report is not None:
            return None
        if self.inp.compressed or stream_piece_size(self.inp.name, self.jobs) is None or not out.restartable():
            return None
        parquet = self.fmt == "parquet"
        pa = require_extra("pyarrow", "pyarrow", "Parquet output") if parquet else None
        path, size = self.inp.name, self.inp.size or 0
        with self.shown.phase(f"writing {_NAMES[self.fmt]}", size) as phase, ThreadPoolExecutor(self.jobs) as pool:
            rows = 0

            def on_piece(stop: int | None, lost: tuple[int, int]) -> None:
                with self._lost_lock:
                    self.lost = (self.lost[0] + lost[0], self.lost[1] + lost[1])
                phase.update(size if stop is None else stop, rows)

            def make(names: list[str]) -> Callable[[Any], Any]:
                if pa is not None:
                    return pa.record_batch  # type: ignore[no-any-return]
                encoder = TextOutput(self.fmt, names)  # one a piece: its own thread's
                return lambda batch: (encoder.encode(batch), batch.num_rows)

            # Pieces the size of the survey's ranges, read on the pool that
            # encodes the row groups: a few are held at once, and the
            # reading waits for the encoding.
            blocksize = max(RANGE_BYTES_MIN, min(RANGE_BYTES_MAX, size // (self.jobs * RANGES_PER_JOB)))
            options = {"attributes": self.attributes, **self.entities}
            kw: dict[str, Any] = {"on_piece": on_piece, "blocksize": blocksize, "pool": pool}
            if self.nested is None:
                guessed = guessed_flat(make, path, self.jobs, self.batch_rows, options, **kw)
                if guessed is None:
                    return None
                names, batches = guessed
                fixed = schema(pa, names, None) if pa is not None else None
            else:
                options.update(self.nested)
                found = guessed_nested(make, path, self.jobs, self.batch_rows, options, **kw)
                if found is None:
                    return None
                shape, batches = found
                names = _native.nested_columns(shape)
                fixed = nested_schema(pa, shape, False) if pa is not None else None

            def counted() -> Iterator[Any]:
                nonlocal rows
                for batch in batches:
                    rows += batch.num_rows
                    yield batch

            try:
                if pa is not None:
                    ahead = max(1, self.jobs // 2)
                    written = write_parquet(
                        pa, out, fixed, counted(), PARQUET_ROW_GROUP_ROWS, pool=pool, ahead=ahead, split=self.jobs
                    )
                else:
                    out.write(TextOutput(self.fmt, names).header())
                    for text, count in batches:
                        out.write(text)
                        rows += count
                    written = rows
            except Misguessed:
                out.restart()
                self.lost = (0, 0)
                return None
        return written, names

    def _open(self, part: Range, names: list[str], kinds: list[str] | None, shape: bytes | None = None) -> Any:
        if shape is not None:
            # Text outputs read text; Parquet the types (kinds names them).
            typed = self.types and (kinds is not None or self.fmt == "parquet")
            return part.open_nested(
                self.batch_rows, shape, types=typed, attributes=self.attributes, **(self.nested or {})
            )
        return part.open(self.batch_rows, names, known_types=kinds, attributes=self.attributes)

    def _text(self, out: Any, pool: ThreadPoolExecutor, surveyed: Survey, done: _Done) -> int:
        names, kinds, parts = surveyed.columns, surveyed.types, surveyed.ranges
        shape = surveyed.shape
        if shape is not None:
            names = _native.nested_columns(shape)
            kinds = None
            if self.types and self.fmt == "jsonl":
                pa = require_extra("pyarrow", "pyarrow", "typed JSON Lines")
                kinds = literal_types(pa, nested_schema(pa, shape, True))

        # Each range's text is made in memory on its job and written in
        # order: at most jobs + 1 ranges' text is held at once.
        def encode(part: Range) -> tuple[bytes, int]:
            encoder = TextOutput(self.fmt, names, kinds)
            chunks, count = [], 0
            reader = self._open(part, names, None, shape)
            for batch in reader:
                chunks.append(encoder.encode(batch))
                count += batch.num_rows
            self._lose(reader)
            return b"".join(chunks), count

        out.write(TextOutput(self.fmt, names, kinds).header())
        rows = 0
        for (text, count), part in zip(_in_order(pool, encode, parts, self.jobs + 1), parts):
            out.write(text)
            rows += count
            done(part, rows)
        return rows

    def _parquet(self, out: Any, pool: ThreadPoolExecutor, surveyed: Survey, done: _Done) -> int:
        names, kinds, parts = surveyed.columns, surveyed.types, surveyed.ranges
        pa = require_extra("pyarrow", "pyarrow", "Parquet output")
        shape = surveyed.shape
        fixed = schema(pa, names, kinds) if shape is None else nested_schema(pa, shape, self.types)

        def read(part: Range) -> list[Any]:
            reader = self._open(part, names, kinds, shape)
            batches = [pa.record_batch(batch) for batch in reader]
            self._lose(reader)
            return batches

        def batches() -> Iterator[Any]:
            rows = 0
            for found, part in zip(_in_order(pool, read, parts, self.jobs + 1), parts):
                yield from found
                rows += sum(batch.num_rows for batch in found)
                done(part, rows)

        # A group holds several ranges' rows, and encoding one takes less
        # than reading it: half the jobs encoding keeps up, and each group
        # waiting to be encoded is a group more in memory.
        ahead = max(1, self.jobs // 2)
        return write_parquet(pa, out, fixed, batches(), PARQUET_ROW_GROUP_ROWS, pool=pool, ahead=ahead, split=self.jobs)


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


def _records_have_attributes(inp: Input, entities: dict[str, Any]) -> bool:
    """Whether the first records of the file have attributes to read."""
    with contextlib.suppress(ValueError, OSError):
        for batch in _native.open(inp.native(), 64, attributes=True, **entities):
            return bool(batch.column_names)
    return False
