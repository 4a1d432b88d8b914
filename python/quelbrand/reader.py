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

import os
import tempfile
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any

import quelbrand._native as _native
from quelbrand.batches import DEFAULT_BATCH_ROWS, PathArg, checked_columns
from quelbrand.errors import require_extra
from quelbrand.inputs import Input, open_input
from quelbrand.schema import pandas_dtypes, schema, string_schema, types_of

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
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
) -> XmlTable:
    """The XML document `source` as a lazy table of string columns, or with
    `types` of typed ones: `source` is a path (str or os.PathLike),
    bytes-like data, or a readable binary file object (an open file,
    gzip.open(...), sys.stdin.buffer, io.BytesIO); gzip, bzip2, xz and zstd
    input is decompressed as it is read. What a file object's read raises
    passes through unchanged.

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
    its own text as a leaf named after itself, after its attributes."""
    return XmlTable(source, batch_rows=batch_rows, columns=columns, types=types, attributes=attributes)


class XmlTable:
    """A table read from an XML document on demand; see `read_xml`."""

    def __init__(
        self,
        source: Any,
        *,
        batch_rows: int = DEFAULT_BATCH_ROWS,
        columns: Sequence[str] | None = None,
        types: bool = False,
        attributes: bool = False,
    ):
        if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
            raise ValueError(f"batch_rows must be a positive integer, not {batch_rows!r}")
        self.source = source
        # The path, or a name for messages.
        self.path = os.fspath(source) if isinstance(source, (str, os.PathLike)) else _name_of(source)
        self.batch_rows = batch_rows
        self.attributes = bool(attributes)
        self._columns = checked_columns(columns)
        self._records: int | None = None
        self._spool: _Spool | None = None
        self._opened: Input | None = None
        self._drained = False  # a read-once input read without spooling
        self._last_reader: Any = None
        self.types = bool(types)
        self._types: dict[str, str] | None = None  # the file's column types, once known

    def __repr__(self) -> str:
        extra = (", types=True" if self.types else "") + (", attributes=True" if self.attributes else "")
        return f"XmlTable({self.path!r}, batch_rows={self.batch_rows}{extra})"

    @property
    def _input(self) -> Input:
        # Opened on first use: a pipe's first bytes, read to tell its
        # compression, may be a while coming.
        if self._opened is None:
            self._opened = open_input(self.source)
        return self._opened

    @property
    def _read_once(self) -> bool:
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
        pass; given columns stay the table's. Without `check_text` errors in
        text are left to the reading pass."""
        return self._discover_from(self._input.native(), True)

    def _discover_from(self, source: Any, check_text: bool) -> list[str]:
        if not self.types:
            names, self._records = _native.discover(source, check_text, attributes=self.attributes)
        else:
            names, self._records, kinds = _native.discover(source, check_text, True, attributes=self.attributes)
            self._types = dict(zip(names, kinds))
        return names if self._columns is None else self._columns

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
        compressed input, its compressed bytes."""
        return 0 if self._last_reader is None else self._input.position(self._last_reader)

    # -- Reading -------------------------------------------------------------

    def _spooled(self) -> _Spool:
        if self._spool is None:
            # With types, the reader classifies the values as it goes, and
            # the batches are converted as they are read back.
            self._last_reader = _native.open(
                self._input.native(),
                self.batch_rows,
                self._columns,
                True,
                False,
                self.types,
                attributes=self.attributes,
            )
            self._spool = _Spool.fill(self._last_reader, self._columns)
        return self._spool

    def _reader(self, typed: bool = True) -> Any:
        """A fresh native reader over the input, its batches lined up to the
        table's columns; found alongside when not known yet, or first in a
        pass of their own when the input cannot be read twice at once. With
        types the first batch waits for them."""
        typed = typed and self.types
        source = self._input
        known = None
        if typed and self._columns is not None and self._types is not None:
            # Found by an earlier pass: this one need not read the file twice.
            known = types_of(self._columns, self._types)
        needs_pass = self._columns is None or (typed and known is None)
        companion = source.companion() if needs_pass else None
        if needs_pass and companion is None:
            self._columns = self._discover_from(source.native(), False)
            if typed:
                known = types_of(self._columns or [], self._types)
        reader = _native.open(
            source.native(),
            self.batch_rows,
            self._columns,
            True,
            False if companion is None else companion,
            typed if known is None else known,
            attributes=self.attributes,
        )
        self._last_reader = reader
        return reader

    def _pass(self, typed: bool = True) -> tuple[list[str], list[str] | None, Iterator[Any]]:
        """The columns, their types (None for strings) and the native
        batches of one pass. When the columns are not known yet they are
        found beside the first batch, so asking for them here costs no pass
        of its own. `typed=False` gives the text even with types."""
        typed = typed and self.types
        if self._read_once:
            if self._spool is not None or self._columns is None or typed:
                spool = self._spooled()
                kinds = types_of(spool.columns, spool.types) if typed else None
                return spool.columns, kinds, spool.batches(kinds)
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
        return columns, kinds, iter(reader)

    def _batches_as_read(self) -> Iterator[Any]:
        """One pass of native batches, each with only the columns its own
        records have: no columns found first, and nothing spooled."""
        if self._read_once:
            if self._drained or self._spool is not None:
                raise _pipe_read_twice(self.path)
            self._drained = True
        self._last_reader = _native.open(
            self._input.native(), self.batch_rows, None, True, False, attributes=self.attributes
        )
        return iter(self._last_reader)

    def _native_batches(self) -> Iterator[Any]:
        yield from self._pass()[2]

    def __iter__(self) -> Iterator[pyarrow.RecordBatch]:
        pa = _pyarrow("Arrow record batches")
        for batch in self._native_batches():
            yield pa.record_batch(batch)

    def __arrow_c_schema__(self) -> object:
        return self.schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        if not self._input.native_stream:
            # A file object is read through Python, whose exceptions then
            # reach the consumer unchanged.
            pa = _pyarrow("Arrow streams from a file object or a pipe")
            return pa.RecordBatchReader.from_batches(self.schema, iter(self)).__arrow_c_stream__(requested_schema)
        return self._reader().__arrow_c_stream__(requested_schema)

    # -- Whole results -------------------------------------------------------

    def to_arrow(self) -> pyarrow.Table:
        """The whole table in memory, as one pyarrow.Table."""
        pa = _pyarrow("to_arrow")
        batches = list(self)
        return pa.Table.from_batches(batches, schema=self.schema)

    def to_pandas(self, **options: Any) -> pandas.DataFrame:
        """The whole table as a pandas DataFrame whose columns have dtype
        `string[pyarrow]` (pd.StringDtype("pyarrow")), a missing value being
        pd.NA. `options` go to pyarrow.Table.to_pandas."""
        pa = _pyarrow("to_pandas")
        pd = require_extra("pandas", "pandas", "to_pandas")
        dtypes = pandas_dtypes(pa, pd)
        options.setdefault("types_mapper", dtypes.get)
        return self.to_arrow().to_pandas(**options)

    def write_parquet(
        self,
        where: PathArg,
        *,
        row_group_rows: int | None = None,
        on_batch: Callable[[pyarrow.RecordBatch], object] | None = None,
        **options: Any,
    ) -> int:
        """Writes the table to a Parquet file, a batch at a time, and returns
        the number of rows. Row groups gather batches up to `row_group_rows`
        rows (default: the batch size, at least 65536). `on_batch` is called
        with each batch once written (for progress). `options` go to
        pyarrow.parquet.ParquetWriter."""
        pa = _pyarrow("Parquet output")
        pq = require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
        group = max(row_group_rows or self.batch_rows, 1 if row_group_rows else DEFAULT_BATCH_ROWS)
        names, kinds, batches = self._pass()
        fixed = schema(pa, names, kinds)
        with pq.ParquetWriter(os.fspath(where), fixed, **options) as writer:
            groups = RowGroups(pa, writer, fixed, group)
            for native in batches:
                batch = pa.record_batch(native)
                groups.add(batch)
                if on_batch is not None:
                    on_batch(batch)
            groups.flush()
        return groups.rows

    def write_csv(
        self,
        where: PathArg | IO[bytes],
        *,
        on_batch: Callable[[pyarrow.RecordBatch], object] | None = None,
        **options: Any,
    ) -> int:
        """Writes the table as CSV with pyarrow's writer (a header row, every
        value quoted, a missing value as an empty field) and returns the
        number of rows. `on_batch` is called with each batch once written.
        `options` go to pyarrow.csv.WriteOptions. Values are written as the
        file has them, with types too."""
        pa = _pyarrow("CSV output")
        pacsv = require_extra("pyarrow.csv", "pyarrow", "CSV output")
        names, _, batches = self._pass(typed=False)
        fixed = string_schema(pa, names)
        rows = 0
        sink = os.fspath(where) if isinstance(where, (str, os.PathLike)) else where
        with pacsv.CSVWriter(sink, fixed, write_options=pacsv.WriteOptions(**options)) as writer:
            for native in batches:
                batch = pa.record_batch(native)
                writer.write_batch(batch)
                rows += batch.num_rows
                if on_batch is not None:
                    on_batch(batch)
        return rows


class RowGroups:
    """Batches written to a ParquetWriter in row groups of at least `group`
    rows (the last may hold fewer), whatever the batches' sizes."""

    def __init__(self, pa: Any, writer: Any, schema: pyarrow.Schema, group: int):
        self._pa, self._writer, self._schema, self._group = pa, writer, schema, group
        self._pending: list[Any] = []
        self._pending_rows = 0
        self.rows = 0

    def add(self, batch: pyarrow.RecordBatch) -> None:
        self._pending.append(batch)
        self._pending_rows += batch.num_rows
        self.rows += batch.num_rows
        if self._pending_rows >= self._group:
            self.flush()

    def flush(self) -> None:
        if self._pending_rows:
            table = self._pa.Table.from_batches(self._pending, schema=self._schema)
            self._writer.write_table(table, row_group_size=self._pending_rows)
        self._pending, self._pending_rows = [], 0


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

    @classmethod
    def fill(cls, reader: Any, columns: Sequence[str] | None = None) -> _Spool:
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
            return cls(list(seen) if columns is None else list(columns), file, spans, reader.types)
        except BaseException:
            file.close()
            raise

    def batches(self, kinds: Sequence[str] | None = None) -> Iterator[Any]:
        """The batches, lined up to the columns, and converted to `kinds`
        (one per column) if given."""
        pa = _pyarrow("reading a pipe into a table")
        if kinds is not None and all(kind == "string" for kind in kinds):
            kinds = None
        nulls = pa.large_string()
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
