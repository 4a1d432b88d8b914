"""XML files as lazy Arrow tables, read by the native companion module.

    table = quelbrand.read_xml("big.xml")
    table.schema                # every column of the file, in order of first appearance
    for batch in table: ...     # pyarrow.RecordBatch, each lined up to that schema
    df = table.to_pandas()
    table.write_parquet("big.parquet")

Batches are built in C++, straight into Arrow's layout, and handed over
through the Arrow PyCapsule protocol, so pyarrow, Polars and DuckDB take
them without a copy: `pa.table(table)`, `pl.from_arrow(table)`,
`duckdb.sql("select * from table")`. Every column is a nullable large
string, unless `types=True` gives each column the type all its values
share (int64, float64, bool, date32, timestamp[us]), decided over the
whole file. Nothing is read until a result is asked for, and every pass
reads the file again, so memory stays at about two batches.

The schema comes from a native pass that finds the column names without
building any values; when the batches are read as well, that pass runs on a
thread of its own beside them. An input that cannot be read twice (a pipe,
stdin, a non-seekable file object) has its batches spooled, compressed, to a
temporary file while the columns are found, and read back from there. The
input may be a path, bytes or a binary file object, compressed or not; see
quelbrand.inputs for how each is read again.
"""

from __future__ import annotations

import collections
import dataclasses
import os
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import IO, TYPE_CHECKING, Any

import quelbrand._native as _native
from quelbrand.batches import DEFAULT_BATCH_ROWS, checked_batch_rows, checked_columns
from quelbrand.entities import entity_options
from quelbrand.errors import ConversionError, have_pyarrow, require_extra, warn_loss
from quelbrand.faults import input_fault
from quelbrand.inputs import Input, open_input, spooled
from quelbrand.nested import NestedTable
from quelbrand.parallel import (
    SAMPLE_BYTES,
    SAMPLE_RECORDS,
    BatchTask,
    GuessedPiece,
    Make,
    batch_tasks,
    batches_in_order,
    checked_threads,
    given_up,
    guessed,
    pieces_in_order,
    read_pieces,
    stream_piece_size,
    then_count,
)
from quelbrand.records import record_options, with_record_column
from quelbrand.recover import (
    Reject,
    Rejects,
    checked_max_errors,
    checked_on_error,
    plain_path,
    recovered,
    recovered_discovery,
)
from quelbrand.remote import RemoteInput, is_url
from quelbrand.schema import schema, types_of
from quelbrand.split import Range, Survey, size_of, source_of, survey
from quelbrand.table import Table
from quelbrand.writers import TextOutput

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped, unused-ignore]

__all__ = ["XmlTable", "read_xml"]


def _pyarrow(purpose: str) -> Any:
    return require_extra("pyarrow", "pyarrow", purpose)


def read_xml(
    source: Any,
    *,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    columns: Sequence[str] | None = None,
    types: bool = False,
    attributes: bool = False,
    entities: str | Mapping[str, str] | None = None,
    dtd: str | os.PathLike[str] | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    threads: int | None = None,
    nested: bool = False,
    text_of: Sequence[str] | None = None,
    storage_options: dict[str, Any] | None = None,
    on_error: str = "raise",
    max_errors: int | None = None,
    rejects: str | os.PathLike[str] | None = None,
    on_reject: Callable[[Reject], Any] | None = None,
) -> XmlTable | NestedTable:
    """The XML document `source` as a lazy table of string columns, or with
    `types` of typed ones: `source` is a path (str or os.PathLike),
    bytes-like data, or a readable binary file object (an open file,
    gzip.open(...), sys.stdin.buffer, io.BytesIO); gzip, bzip2, xz and zstd
    input is decompressed as it is read. What a file object's read raises
    passes through unchanged. A URL of any protocol fsspec knows
    (`s3://bucket/dump.xml.gz`, `https://...`) is read through it, with
    `storage_options` (credentials, endpoint) as pandas takes them; that
    needs the `remote` extra.

    Without `columns` the table has every column of the file, in order of
    first appearance; with `columns` exactly those, in that order, and a
    column of the file not listed raises ConversionError when a batch holds
    it. A record without a value for a column is null there. Batches hold
    `batch_rows` records (the last may hold fewer). XML failures raise the
    module's ValueError when the file is read, not here.

    With `types`, a column whose non-null values all read as one type takes
    it: int64 (canonical integers), float64 (decimal numbers), bool (`true`,
    `false`), date32 (`YYYY-MM-DD`) or timestamp[us] (ISO 8601 date-times;
    in UTC when every value has an offset). Any other column stays a
    string. The types are decided over the whole file, so the first batch
    waits until it has been read once.

    With `attributes`, attributes are values too: each attribute of an
    element in a record is a leaf of that element, named by its local name
    and placed before the element's children (namespace declarations are
    not data), and an element with attributes but no child elements keeps
    its own text as a leaf named after itself, after its attributes.

    Entities declared in the document's DOCTYPE (its internal subset) are
    expanded in text and attribute values; external ones are never read.
    `entities="html"` adds the HTML named character references (`&eacute;`,
    `&nbsp;`), `entities={name: text}` names of your own (their text is
    taken as it is), and `dtd` the general entities declared in a local DTD
    file. Any other entity is an error naming it.

    The records are by default the children of top-level elements. With
    `record`, they are the elements it names, by local name: a name
    (`"item"`, at any depth), a path matched as the innermost open elements
    (`"channel/item"`), a path from the root (`"/rss/channel/item"`), or a
    list of these. An element it names inside a record is part of that
    record; what lies outside records is skipped. A file where nothing
    matches has no rows. A bad name raises ValueError here.
    `record_column="tag"` adds a first column of that name holding each
    record element's local name, for records of several names in one table
    (it is put in front of `columns` unless listed there); a record with an
    element or attribute of that name raises the module's ValueError.

    Records flatten into columns: a repeated element takes a prefixed
    column, or replaces the value of one taken already, and the text of an
    element that also has child elements is dropped. A reading that lost
    values so (iteration, to_arrow, to_pandas, the writers) ends with one
    FlatteningWarning giving the counts; `XmlTable.lost` holds them. A
    table exported as an Arrow stream of its own (pa.table(table) on a
    path) gives no warning, but `lost` still counts.

    `threads` (default: the cores this process may use) read a plain file
    in pieces at once where a whole result is asked for (to_arrow,
    to_pandas) without types: no pass finds the columns first, and the
    result is the one-thread reading's, value for value. Streams (iteration,
    the Arrow stream, the writers) and typed tables survey the columns in
    pieces on every thread first, then read the ranges found a few at once,
    in file order, each batch as on one thread. `threads=1` reads on the
    calling thread alone.


    With `nested`, each record is one row that keeps every value: repeated
    elements are lists, elements with children or attributes are structs,
    text beside child elements is a `#text` field (see quelbrand.nested),
    and a NestedTable is returned. `text_of` (nested only) names elements
    taken as their whole text, the markup inside them dropped: for text
    with inline markup such as `kg/m<sup>2</sup>`.

    `on_error="skip"` leaves out each record with an error in it (a bad
    byte, reference, entity or attribute, a mismatched end tag, malformed
    markup) and reads on from the next record; the rows before the fault
    are kept. Each rejected span (start and end byte, start line, the error,
    the record's element name) goes to `table.rejects` after a reading, to
    the JSON Lines file `rejects`, and to `on_reject(reject)` as it is
    found. More than `max_errors` rejects (default: no limit) raise
    ConversionError, and so does a reading that rejected records and kept
    none. A document cut off inside a record rejects that record and still
    raises its truncation after the rows. The default, "raise", stops at
    the first fault."""
    errors: dict[str, Any] = {
        "skip": checked_on_error(on_error, max_errors, rejects, on_reject),
        "max_errors": checked_max_errors(max_errors),
        "rejects": rejects,
        "on_reject": on_reject,
    }
    if nested:
        if columns is not None:
            raise ValueError("columns= selects flat columns; nested reading keeps every column")
        return NestedTable(
            source,
            batch_rows=batch_rows,
            types=types,
            attributes=attributes,
            text_of=text_of,
            entities=entities,
            dtd=dtd,
            record=record,
            record_column=record_column,
            threads=threads,
            storage_options=storage_options,
            **errors,
        )
    if text_of is not None:
        raise ValueError("text_of= needs nested=True")
    return XmlTable(
        source,
        batch_rows=batch_rows,
        columns=columns,
        types=types,
        attributes=attributes,
        entities=entities,
        dtd=dtd,
        record=record,
        record_column=record_column,
        threads=threads,
        storage_options=storage_options,
        **errors,
    )


class XmlTable(Table):
    """A table read from an XML document on demand; see `read_xml`."""

    def __init__(
        self,
        source: Any,
        *,
        batch_rows: int = DEFAULT_BATCH_ROWS,
        columns: Sequence[str] | None = None,
        types: bool = False,
        attributes: bool = False,
        entities: str | Mapping[str, str] | None = None,
        dtd: str | os.PathLike[str] | None = None,
        record: str | Sequence[str] | None = None,
        record_column: str | None = None,
        threads: int | None = None,
        storage_options: dict[str, Any] | None = None,
        skip: bool = False,
        max_errors: int | None = None,
        rejects: str | os.PathLike[str] | None = None,
        on_reject: Callable[[Reject], Any] | None = None,
    ):
        self.batch_rows = checked_batch_rows(batch_rows)
        self.threads = checked_threads(threads)
        self.storage_options = storage_options
        # The native reader's keywords for them and the records, checked now.
        self.entity_options = entity_options(entities, dtd) | record_options(record, record_column)
        self.source = source
        # The path, or a name for messages.
        self.path = os.fspath(source) if isinstance(source, (str, os.PathLike)) else _name_of(source)
        self.attributes = bool(attributes)
        self._columns = with_record_column(checked_columns(columns), self.entity_options)
        # Listed columns are a projection: the file's others are skipped.
        self._given = self._columns is not None
        self._records: int | None = None
        self._spool: _Spool | None = None
        self._opened: Input | None = None
        self._drained = False  # a read-once input read without spooling
        self._last_reader: Any = None
        # How far a pass that blocks (finding the types) has read; None
        # while the last pass is a reader's.
        self._tally: Any = None
        self.types = bool(types)
        self._types: dict[str, str] | None = None  # the file's column types, once known
        # The counts of what the last reading lost, as it reads.
        self._loss_from: Callable[[], tuple[int, int]] | None = None
        # A plain file read on several threads: its ranges, once surveyed
        # (None: read by one), and whether the survey has been tried.
        self._ranges: list[Range] | None = None
        self._surveyed = False
        # on_error="skip": faulty records are left out, and reported here.
        self.skip = skip
        self._report = Rejects(self.path, path=rejects, callback=on_reject, max_errors=max_errors)
        self._plain: str | None = None

    def __repr__(self) -> str:
        extra = (", types=True" if self.types else "") + (", attributes=True" if self.attributes else "")
        if "record" in self.entity_options:
            extra += f", record={list(self.entity_options['record'])!r}"
        return f"XmlTable({self.path!r}, batch_rows={self.batch_rows}{extra})"

    @property
    def _input(self) -> Input:
        # Opened on first use: a pipe's first bytes, read to tell its
        # compression, may be a while coming.
        if self._opened is None:
            self._opened = open_input(self.source, self.threads, storage_options=self.storage_options)
        return self._opened

    @property
    def _read_once(self) -> bool:
        if self._input.read_once and not self._drained and not have_pyarrow():
            # Nothing can keep its batches: the input itself is kept instead.
            self._opened = spooled(self._input)
        return self._input.read_once

    @property
    def input_size(self) -> int | None:
        """The size of what `bytes_read` counts (the compressed bytes of a
        compressed file), or None when unknown (a pipe)."""
        return self._input.size

    # -- What the table holds ------------------------------------------------

    @property
    def column_names(self) -> list[str]:
        """Every column, in order; finding them reads the file once (without
        building values) unless they were given."""
        if self._columns is None:
            if self._read_once:
                self._columns = self._spooled().columns
            else:
                self._columns = self._discover()
        return list(self._columns)

    def _discover(self) -> list[str]:
        """The file's columns (and with types, their types), from a native
        pass, on every thread where the file can be surveyed in pieces;
        given columns stay the table's. Without `check_text` errors in text
        are left to the reading pass."""
        if self._survey() is not None:
            return self._columns or []
        return self._discover_from(self._input.native(), True)

    def _target(self) -> Any:
        """What pieces of the input are read from: the local path, or the
        object behind a URL (each piece its own ranged reads); None for
        bytes and file objects."""
        if not isinstance(self.source, (str, os.PathLike)):
            return None
        if isinstance(self._input, RemoteInput):
            return self._input.remote
        # A file:// URL is its local file.
        return self._input.name if is_url(self.path) else self.path

    def _survey(self, to_read: bool = False) -> Survey | None:
        """The file surveyed in pieces on `threads` threads, its columns,
        record count and types noted, or None where one thread reads it (a
        file that is not plain or too small, or one whose survey failed:
        the one-thread reading then raises the file's first fault). A
        survey `to_read` the file in its ranges needs pyarrow, which is
        imported only once the file is known to be read so: a reading on
        one thread never pays its import."""
        if self._surveyed or self.skip:
            return None
        self._surveyed = True
        target = self.threads > 1 and self._target()
        if not target:
            return None
        blocksize = stream_piece_size(target, self.threads)
        if blocksize is None or (to_read and not have_pyarrow()):
            return None
        try:
            with ThreadPoolExecutor(self.threads) as pool:
                found = survey(
                    target,
                    blocksize,
                    columns=not self._given or self.types,
                    types=self.types,
                    attributes=self.attributes,
                    run=pool.map,
                    entities=self.entity_options,
                )
        except ValueError:
            return None
        if not self._given:
            self._columns = found.columns
        self._records = found.records
        if self.types:
            self._types = dict(zip(found.columns, found.types or []))
        self._ranges = found.ranges if len(found.ranges) > 1 else None
        return found

    def _discover_from(self, source: Any, check_text: bool) -> list[str]:
        if self.skip:
            return self._discover_skipping()
        self._tally = _native.Tally()
        found = _native.discover(
            source,
            check_text=check_text,
            types=self.types,
            attributes=self.attributes,
            tally=self._tally,
            **self.entity_options,
        )
        self._records = found.records
        if self.types:
            self._types = dict(zip(found.columns, found.types or []))
        return list(found.columns) if self._columns is None else self._columns

    def _discover_skipping(self) -> list[str]:
        """The columns (and types) of the records a skipping reading keeps:
        discovery skips the same faults, its spans unreported (the reading
        reports them)."""
        path = self._plain_path()

        def discover_at(start: bytes | None, until: int | None) -> Any:
            return _native.discover(
                path,
                check_text=True,
                types=self.types,
                attributes=self.attributes,
                start=start,
                skip=True,
                **self.entity_options,
            )

        parts = [part for _, part in recovered_discovery(path, discover_at, lambda span: None)[0]]
        # A document cut off is the reading's to raise, after its rows.
        self._records = sum(part.records for part in parts)
        columns: dict[str, int] = {}
        for part in parts:
            states = part.states if part.states is not None else [0] * len(part.columns)
            for name, state in zip(part.columns, states):
                columns[name] = _native.merge_state(columns[name], state) if name in columns else state
        if self.types:
            self._types = dict(zip(columns, _native.decide_types(list(columns.values()))))
        return list(columns) if self._columns is None else self._columns

    @property
    def column_types(self) -> list[str] | None:
        """The type of each column ("int64", "string", ...), or None without
        `types`; finding them reads the file once."""
        if not self.types:
            return None
        names = self.column_names
        if self._types is None:
            if self._read_once:
                self._types = self._spooled().types
            else:
                self._discover()
        return types_of(names, self._types)

    @property
    def schema(self) -> pyarrow.Schema:
        pa = _pyarrow("Arrow schemas")
        return schema(pa, self.column_names, self.column_types)

    @property
    def bytes_read(self) -> int:
        """How far the last pass over the input has read, for progress: of a
        compressed input, its compressed bytes. Safe to ask from another
        thread while a pass runs."""
        if self._tally is not None:
            return int(self._tally.value)
        return 0 if self._last_reader is None else self._input.position(self._last_reader)

    @property
    def lost(self) -> tuple[int, int] | None:
        """(values, records): what the flat reading lost in the last reading
        of the table, as far as it has read (final once its batches are
        exhausted), and the records that lost any; None before any reading.
        Lost are values a later element under the same column replaced and
        the non-blank text of elements that have child elements (or of the
        record element), counted as if every column were read."""
        return None if self._loss_from is None else self._loss_from()

    @property
    def rejects(self) -> list[Reject] | None:
        """With on_error="skip": the spans the last reading rejected, so far
        (all of them once its batches are exhausted); None otherwise."""
        return list(self._report.items) if self.skip else None

    def _plain_path(self) -> str:
        if self._plain is None:
            self._plain = plain_path(self.source, self)
        return self._plain

    def _watched(self, batches: Iterator[Any], loss: Callable[[], tuple[int, int]]) -> Iterator[Any]:
        """The batches of one reading, ending with one FlatteningWarning when
        it lost values."""
        self._loss_from = loss
        rows = 0
        for batch in batches:
            rows += batch.num_rows
            yield batch
        if self.skip:
            self._report.finish(rows)
        values, records = loss()
        if values:
            warn_loss(values, records, rows)

    # -- Reading -------------------------------------------------------------

    def _spooled(self) -> _Spool:
        if self._spool is None:
            # With types, the reader classifies the values as it goes, and
            # the batches are converted as they are read back.
            self._tally = None
            self._last_reader = _native.open(
                self._input.native(),
                self.batch_rows,
                columns=self._columns,
                project=self._given,
                prefetch=True,
                types=self.types,
                attributes=self.attributes,
                **self.entity_options,
            )
            self._spool = _Spool.fill(self._last_reader, self._columns)
        return self._spool

    def _reader(self, typed: bool = True) -> Any:
        """A fresh native reader over the input, its batches lined up to the
        table's columns; found alongside when not known yet, or first in a
        pass of their own on one thread or when the input cannot be read
        twice at once. With types the first batch waits for them."""
        typed = typed and self.types
        source = self._input
        known = None
        if typed and self._columns is not None and self._types is not None:
            # Found by an earlier pass: this one need not read the file twice.
            known = types_of(self._columns, self._types)
        needs_pass = self._columns is None or (typed and known is None)
        # One thread asked for: nothing runs beside the caller's thread, not
        # the discovery nor a worker building a batch ahead (which would
        # also hold one more batch in memory), whatever the consumer.
        companion = source.companion() if needs_pass and self.threads > 1 else None
        if needs_pass and companion is None:
            try:
                self._columns = self._discover_from(source.native(), False)
            except ValueError as error:
                raise input_fault(source.native(), error, self.attributes, self.entity_options) from None
            if typed:
                known = types_of(self._columns or [], self._types)
        reader = _native.open(
            source.native(),
            self.batch_rows,
            columns=self._columns,
            project=self._given,
            prefetch=self.threads > 1,
            companion=companion,
            types=typed and known is None,
            known_types=known,
            attributes=self.attributes,
            **self.entity_options,
        )
        self._tally = None
        self._last_reader = reader
        self._loss_from = lambda: reader.lost
        return reader

    def _pass(self, typed: bool = True) -> tuple[list[str], list[str] | None, Iterator[Any]]:
        """The columns, their types (None for strings) and the native
        batches of one pass. When the columns are not known yet they are
        found beside the first batch, so asking for them here costs no pass
        of its own, or, on several threads, by a survey of the file's
        pieces first. `typed=False` gives the text even with types."""
        typed = typed and self.types
        if self.skip:
            return self._skip_pass(typed)
        if not self._read_once:
            self._survey(to_read=True)
            if self._ranges is not None and have_pyarrow():
                return self._ranges_pass(self._ranges, typed)
        if self._read_once:
            if self._spool is not None or self._columns is None or typed:
                spool = self._spooled()
                kinds = types_of(spool.columns, spool.types) if typed else None
                return spool.columns, kinds, self._watched(spool.batches(kinds), lambda: spool.lost)
            # Columns given: one pass straight from the pipe, whose batches
            # are not kept; a second pass would find it empty.
            if self._drained:
                raise _pipe_read_twice(self.path)
            self._drained = True
        reader = self._reader(typed)
        columns = reader.columns
        if self._columns is None:
            self._columns, self._records = columns, reader.records
        kinds = None
        if typed:
            self._types = reader.types
            kinds = types_of(columns, self._types)
        return columns, kinds, self._watched(iter(reader), lambda: reader.lost)

    def _ranges_pass(self, ranges: list[Range], typed: bool) -> tuple[list[str], list[str] | None, Iterator[Any]]:
        """One pass over the surveyed ranges, read a few at once on
        `threads` threads, their batches in file order."""
        pa = _pyarrow("reading on several threads")
        columns = list(self._columns or [])
        kinds = types_of(columns, self._types) if typed else None
        target = ranges[0].path
        if not isinstance(target, str):
            target.check()  # the object the survey read, or a failure now
        progress = _Progress(size_of(target))
        lost = [0, 0]

        def open_task(task: BatchTask) -> Any:
            return task.open(
                self.batch_rows,
                columns=columns,
                known_types=kinds,
                attributes=self.attributes,
                project=self._given,
            )

        def on_task(task: BatchTask, native: Any) -> None:
            values, records = native.lost
            lost[0] += values
            lost[1] += records
            progress.value = task.done if task.done is not None else progress.size

        tasks = batch_tasks(ranges, self.batch_rows)
        batches = batches_in_order(pa, self.threads, tasks, open_task, on_task)
        self._last_reader = None
        self._tally = progress
        return columns, kinds, self._watched(batches, lambda: (lost[0], lost[1]))

    def _skip_pass(self, typed: bool) -> tuple[list[str], list[str] | None, Iterator[Any]]:
        """A pass with faulty records left out (see quelbrand.recover). The
        columns (and types) are found by a discovery that skips the same
        faults, on a thread of its own while the first batches are built;
        those batches have their own columns and are lined up here, and
        converted to the types. Without pyarrow to line them up, the
        discovery runs first."""
        path = self._plain_path()
        lined_up = None
        if self._columns is None or (typed and self._types is None):
            if have_pyarrow():
                pool = ThreadPoolExecutor(1)
                found = pool.submit(self._discover_skipping)
                pool.shutdown(wait=False)
                lined_up = found
            else:
                self._columns = self._discover_skipping()
        own = lined_up is not None
        opened: list[Any] = []

        def open_at(start: bytes | None, until: int | None) -> Any:
            reader = self._skip_open(path, start, typed and not own, own_columns=own)
            opened.append(reader)
            self._last_reader = reader
            return reader

        def loss() -> tuple[int, int]:
            lost = [reader.lost for reader in opened]
            return sum(v for v, _ in lost), sum(r for _, r in lost)

        self._tally = None
        self._report.start(path)
        batches: Iterator[Any] = recovered(path, open_at, self._report.add)
        if lined_up is not None:
            # Reading goes on beside the discovery, about two batches ahead.
            ahead = _ahead(batches, 2 * self.batch_rows)
            self._columns = lined_up.result()
            kinds = types_of(self._columns, self._types) if typed else None
            batches = _lined_up(ahead, self._columns, kinds)
        columns = list(self._columns or [])
        kinds = types_of(columns, self._types) if typed else None
        return columns, kinds, self._watched(batches, loss)

    def _skip_open(self, path: str, start: bytes | None, typed: bool, *, own_columns: bool = False) -> Any:
        known = types_of(self._columns, self._types) if typed and self._columns is not None and self._types else None
        listed = self._columns if self._given or not own_columns else None
        return _native.open(
            path,
            self.batch_rows,
            columns=listed,
            project=self._given,
            # Lined up, the reading runs on a thread of its own already.
            prefetch=not own_columns,
            types=typed and known is None,
            known_types=known,
            attributes=self.attributes,
            start=start,
            skip=True,
            **self.entity_options,
        )

    def pending(self) -> str | None:
        """The pass that the next scan must finish before its first batch,
        if any: "spooling" (an input read only once is kept while its
        columns are found) or "finding types"; None when batches come at
        once (the columns, if needed, are found beside them)."""
        if self._input.read_once:
            if not self._drained and not have_pyarrow():
                return "spooling"  # the input itself, as it comes
            if self._spool is None and (self._columns is None or self.types):
                return "spooling"
            return None
        if self.types and (self._types is None or self._columns is None):
            return "finding types"
        return None

    def prepare(self) -> None:
        """Runs the pass pending() names now, so that a caller can show it
        as a pass of its own; `bytes_read` follows it meanwhile."""
        if self.pending() == "spooling" and self._read_once:
            self._spooled()
        elif self.pending() == "finding types":
            self._columns = self._discover()

    def scan(self, *, text: bool = False) -> Scan:
        """One pass over the table. With `text`, the batches hold the file's
        text even with types, and `types` still gives the columns' types
        (found first if needed), as a text output that writes numbers bare
        wants them."""
        if text:
            kinds = self.column_types
            names, _, batches = self._pass(typed=False)
            return Scan(names, kinds, batches)
        self.prepare()
        names, kinds, batches = self._pass()
        return Scan(names, kinds, batches)

    def arrow_pass(self, pa: Any) -> tuple[Any, Iterator[Any]]:
        found = self.scan()
        return schema(pa, found.columns, found.types), found.batches

    def text_pass(self, fmt: str) -> tuple[TextOutput, Iterator[Any]]:
        found = self.scan(text=True)
        return TextOutput(fmt, found.columns, found.types), found.batches

    def text_at_once(self, fmt: str, out: Any, own: bool) -> int | None:
        # A plain file on several threads is written as the command writes
        # it, each range's text encoded on its own thread. Listed columns
        # and skipped faults are read one batch after another.
        if self.skip or self._given or self.threads < 2:
            return None
        from quelbrand.convert import text_at_once  # which imports this module

        done = text_at_once(self._input, self, fmt, out, own)
        if done is None:
            return None
        rows, columns, lost = done
        if self._columns is None:
            self._columns, self._records = columns, rows
        self._last_reader = None
        self._tally = _Progress(self._input.size or 0)
        self._tally.value = self._tally.size
        self._loss_from = lambda: lost
        if lost[0]:
            warn_loss(lost[0], lost[1], rows)
        return rows

    def guessed_pass(self, pa: Any) -> tuple[Any, Iterator[Any]] | None:
        """A large plain file's batches read once, in pieces on `threads`
        threads and given in order, with the columns of its first records
        (or those given); they raise Misguessed at a record with another."""
        path = self._target()
        if self.types or self.skip or self.threads < 2 or not isinstance(path, str) or self._input.compressed:
            return None
        if self._columns is not None and not self._given:
            return None  # found already: the surveyed reading needs no guess
        progress = _Progress(size_of(path))
        lost = [0, 0]

        def on_piece(stop: int | None, piece_lost: tuple[int, int]) -> None:
            lost[0] += piece_lost[0]
            lost[1] += piece_lost[1]
            progress.value = progress.size if stop is None else stop

        options = {"attributes": self.attributes, **self.entity_options}
        given = self._columns if self._given else None
        make = lambda _: pa.record_batch  # noqa: E731
        guessed = guessed_flat(make, path, self.threads, self.batch_rows, options, columns=given, on_piece=on_piece)
        if guessed is None:
            return None
        names, batches = guessed

        def fitted(rows: int) -> None:
            # Every record fitted: those were the file's columns.
            self._columns, self._records = names, rows

        self._last_reader, self._tally = None, progress
        return schema(pa, names, None), self._watched(then_count(batches, fitted), lambda: (lost[0], lost[1]))

    def __arrow_c_schema__(self) -> object:
        return self.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        if not self._read_once:
            self._survey(to_read=True)
        if (self._ranges is not None and have_pyarrow()) or self.skip or not self._input.native_stream:
            # Ranges read on several threads, or a file object read through
            # Python, whose exceptions then reach the consumer unchanged.
            pa = _pyarrow("Arrow streams from a file object or a pipe")
            return pa.RecordBatchReader.from_batches(self.schema, iter(self)).__arrow_c_stream__(requested_schema)
        return self._reader().__arrow_c_stream__(requested_schema)

    # -- Whole results -------------------------------------------------------

    def to_arrow(self) -> pyarrow.Table:
        """The whole table in memory, as one pyarrow.Table."""
        pa = _pyarrow("to_arrow")
        table = self._in_pieces(pa)
        return super().to_arrow() if table is None else table

    def _in_pieces(self, pa: Any) -> pyarrow.Table | None:
        """The whole table read in pieces on `threads` threads, its columns
        lined up at the end; None where the file is not read so."""
        path = self._target()
        if self.types or self.threads < 2 or path is None:
            return None
        if self.skip:
            # Only a plain local file is resumed past a fault.
            path = self._plain_path()
            self._report.start(path)

        def open_piece(start: bytes | None, until: int | None) -> Any:
            return _native.open(
                source_of(path, False, until),
                self.batch_rows,
                columns=self._columns if self._given else None,
                project=self._given,
                attributes=self.attributes,
                start=start,
                until=until,
                skip=self.skip,
                **self.entity_options,
            )

        skipping: dict[str, Any] = {"skip": True, "on_span": self._report.add} if self.skip else {}
        reading = read_pieces(path, self.threads, open_piece, self.entity_options, **skipping)
        if reading is None:
            return None
        if self.skip:
            self._report.finish(reading.records)
        if self._columns is None:
            self._columns, self._records = reading.columns, reading.records
        self._loss_from = lambda: reading.lost
        names = self._columns
        fixed = schema(pa, names, None)
        batches = []
        for native in reading.batches:
            batch = pa.record_batch(native)
            if batch.schema.names != names:
                have = dict(zip(batch.schema.names, batch.columns))
                arrays = [have[n] if n in have else pa.nulls(batch.num_rows, pa.string()) for n in names]
                batch = pa.RecordBatch.from_arrays(arrays, schema=fixed)
            batches.append(batch)
        values, records = reading.lost
        if values:
            warn_loss(values, records, reading.records)
        return pa.Table.from_batches(batches, schema=fixed)


def _ahead(batches: Iterator[Any], rows: int) -> Iterator[Any]:
    """`batches` read on a thread of their own, up to about `rows` rows
    ahead of the caller; what the reading raises is raised in their place."""
    held = threading.Condition()
    ready: collections.deque[tuple[Any, BaseException | None]] = collections.deque()
    state = {"rows": 0, "stop": False}

    def put(item: tuple[Any, BaseException | None]) -> None:
        with held:
            ready.append(item)
            held.notify_all()

    def produce() -> None:
        try:
            for batch in batches:
                with held:
                    held.wait_for(lambda: state["rows"] < rows or bool(state["stop"]))
                    if state["stop"]:
                        return
                    state["rows"] += batch.num_rows
                put((batch, None))
            put((None, None))
        except BaseException as error:  # noqa: BLE001 - raised in the caller's thread
            put((None, error))

    threading.Thread(target=produce, daemon=True).start()

    def consume() -> Iterator[Any]:
        try:
            while True:
                with held:
                    held.wait_for(lambda: bool(ready))
                    batch, error = ready.popleft()
                    if batch is not None:
                        state["rows"] -= batch.num_rows
                        held.notify_all()
                if error is not None:
                    raise error
                if batch is None:
                    return
                yield batch
        finally:
            with held:
                state["stop"] = True
                held.notify_all()

    return consume()


def _lined_up(batches: Iterator[Any], columns: list[str], kinds: list[str] | None) -> Iterator[Any]:
    """Batches with their own columns lined up to `columns` (a column a
    batch lacks is null), and converted to `kinds` if given."""
    pa = _pyarrow("reading with on_error='skip'")
    strings = pa.string()
    fixed = pa.schema([pa.field(name, strings) for name in columns])
    for native in batches:
        batch = native
        if list(native.column_names) != columns:
            batch = pa.record_batch(native)
            have = dict(zip(batch.schema.names, batch.columns))
            arrays = [have[n] if n in have else pa.nulls(batch.num_rows, strings) for n in columns]
            batch = pa.RecordBatch.from_arrays(arrays, schema=fixed)
        yield batch if kinds is None else _native.typed(batch, kinds)


@dataclasses.dataclass
class Scan:
    """One pass over a table: its columns, their types (None: all text) and
    its native batches, each lined up to the columns and handed over
    through the Arrow PyCapsule protocol (`pyarrow.record_batch(batch)`)."""

    columns: list[str]
    types: list[str] | None
    batches: Iterator[Any]


def _pipe_read_twice(path: str) -> Exception:
    from quelbrand.errors import ConversionError

    return ConversionError(
        f"{path!r} can be read only once (a pipe, a device or a stream), and its table has been read already"
    )


def _name_of(source: Any) -> str:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "<bytes>"
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else f"<{type(source).__name__}>"


class _Progress:
    """How far a pass over ranges has read: the end of the last range whose
    batches have all been handed on."""

    def __init__(self, size: int) -> None:
        self.value = 0
        self.size = size


class _Spool:
    """A read-once input's batches, each with its own columns, kept in a
    temporary file as compressed Arrow IPC streams, one per batch, with the
    union of their columns: the input is read once, and memory holds one
    batch at a time."""

    def __init__(
        self, columns: list[str], file: IO[bytes], spans: list[tuple[int, int]], types: dict[str, str] | None = None
    ):
        self.columns = columns
        self._file = file
        self._spans = spans
        self.types = types  # with types: each column's, over every batch
        self.lost = (0, 0)  # what the reading that filled it lost (see XmlTable.lost)

    @classmethod
    def fill(cls, reader: Any, columns: Sequence[str] | None = None) -> _Spool:
        import tempfile

        pa = _pyarrow("reading a pipe into a table")
        codec = next((c for c in ("lz4", "zstd") if pa.Codec.is_available(c)), None)
        options = pa.ipc.IpcWriteOptions(compression=codec)
        file = tempfile.TemporaryFile(prefix="quelbrand-spool-")
        try:
            seen: dict[str, None] = {}
            spans = []
            for native in reader:
                batch = pa.record_batch(native)
                seen.update(dict.fromkeys(batch.schema.names))
                start = file.tell()
                with pa.ipc.new_stream(file, batch.schema, options=options) as writer:
                    writer.write_batch(batch)
                spans.append((start, file.tell() - start))
            # Given columns are the table's even when no batch came.
            spool = cls(list(seen) if columns is None else list(columns), file, spans, reader.types)
            spool.lost = reader.lost
            return spool
        except BaseException:
            file.close()
            raise

    def batches(self, kinds: Sequence[str] | None = None) -> Iterator[Any]:
        """The batches, lined up to the columns, and converted to `kinds`
        (one per column) if given."""
        pa = _pyarrow("reading a pipe into a table")
        if kinds is not None and all(kind == "string" for kind in kinds):
            kinds = None
        nulls = pa.string()
        for start, size in self._spans:
            self._file.seek(start)
            batch = pa.ipc.open_stream(self._file.read(size)).read_next_batch()
            if batch.schema.names != self.columns:
                present = set(batch.schema.names)
                arrays = [
                    batch.column(name) if name in present else pa.nulls(batch.num_rows, nulls) for name in self.columns
                ]
                batch = pa.RecordBatch.from_arrays(arrays, schema=pa.schema([pa.field(n, nulls) for n in self.columns]))
            # Converted by the same native code as a file's batches.
            yield batch if kinds is None else _native.typed(batch, kinds)


def guessed_flat(
    make: Make,
    path: str,
    threads: int,
    batch_rows: int,
    options: dict[str, Any],
    *,
    columns: list[str] | None = None,
    on_piece: Callable[[int | None, tuple[int, int]], object] | None = None,
    blocksize: int | None = None,
    pool: ThreadPoolExecutor | None = None,
) -> tuple[list[str], Iterator[Any]] | None:
    """The columns of the first records of the plain file at `path` (or
    `columns`, those given, the others left out) and the batches of the
    whole file read with them (as make(columns) makes each), in pieces on
    `threads` threads (see quelbrand.parallel.pieces_in_order) and given in
    order; None where the file is not read so, or where the head's columns
    are not settled yet (see quelbrand.parallel.SAMPLE_RECORDS). The
    batches raise Misguessed at a record with a column beyond those found.
    `options` are the native reader's keywords (attributes, records,
    entities)."""
    piece = blocksize or stream_piece_size(path, threads)
    if piece is None:
        return None
    try:
        head = _native.discover(path, check_text=False, until=SAMPLE_BYTES, **options)
        if columns is None:
            half = _native.discover(path, check_text=False, until=SAMPLE_BYTES // 2, **options)
    except ValueError:
        return None  # the usual reading finds the fault and says it as ever
    if columns is None and (head.records < SAMPLE_RECORDS or len(half.columns) != len(head.columns)):
        return None
    names = list(head.columns) if columns is None else list(columns)
    # A piece's batch gets room for about the records its bytes hold at the
    # head's pace, not for a whole batch's.
    expect = 0
    if head.stop is not None and head.stop[0] and head.records:
        expect = head.records * piece * 5 // (4 * head.stop[0]) + 1
    missed = threading.Event()

    def open_piece(start: bytes | None, until: int | None) -> GuessedPiece:
        if missed.is_set():
            raise given_up()
        reader = _native.open(
            source_of(path, False, until),
            batch_rows,
            columns=names,
            project=columns is not None,
            start=start,
            until=until,
            expect_rows=expect,
            **options,
        )
        return GuessedPiece(make(names), reader, missed, _stray_column)

    batches = pieces_in_order(path, threads, open_piece, options, on_piece, blocksize, pool)
    return None if batches is None else (names, guessed(batches, missed))


def _stray_column(_: Any, error: BaseException) -> bool:
    # A flat reader given its columns raises this type only for another.
    return isinstance(error, ConversionError)
