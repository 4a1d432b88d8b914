"""One writer per output format, the same for one reading and for the
ranges of many read at once.

- CSV and JSON Lines are encoded natively (quelbrand._native.TextEncoder),
  straight from the batches' buffers and without the interpreter lock, so
  their bytes do not depend on what else is installed: CSV as RFC 4180
  (CRLF line ends, a field quoted only when it holds a comma, a quote, CR
  or LF, or is empty; a missing value an empty field; one header line),
  JSON Lines as one object per record with its members in the file's
  column order and a missing value omitted. Numbers and booleans of typed
  columns are written bare in JSON Lines; CSV keeps the text of the file.
- Parquet goes through pyarrow's writer, in row groups of exactly
  `group_rows` rows (the last may hold fewer) cut from batches of any
  size, each group in chunks cut at fixed rows from its start (see
  CHUNK_ROWS): the bytes of a group then depend only on its rows, so
  ranges read apart make the file one reading makes.
  With a pool, groups are encoded on it, a group's columns in runs at
  once, and put together in order (see quelbrand.stitch).
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, BinaryIO

import quelbrand._native as _native
from quelbrand.errors import require_extra
from quelbrand.stitch import Stitcher, encode_empty, encode_group

__all__ = ["CHUNK_ROWS", "JSON_LITERAL_TYPES", "RowGroups", "TextOutput", "write_parquet"]

# Columns of these types hold text that is a JSON value as it stands: the
# classifier accepts exactly JSON's number syntax, and `true` or `false`.
JSON_LITERAL_TYPES = frozenset({"int64", "float64", "bool"})

TEXT_FORMATS = ("csv", "jsonl")


class TextOutput:
    """CSV or JSON Lines bytes of batches of text lined up to `columns`;
    with `types` (one per column), JSON Lines writes the values of number
    and boolean columns bare."""

    def __init__(self, fmt: str, columns: list[str], types: list[str] | None = None):
        literal = None
        if fmt == "jsonl" and types is not None:
            literal = [kind in JSON_LITERAL_TYPES for kind in types]
        self._encoder = _native.TextEncoder(fmt, columns, literal=literal)

    def header(self) -> bytes:
        return self._encoder.header()

    def encode(self, batch: Any) -> bytes:
        """The batch's rows (any object with __arrow_c_array__)."""
        return self._encoder.encode(batch)


# Parquet's encoder cuts pages by where the chunks of its input begin, so a
# row group's bytes depend on its rows' chunking, not only on its rows. A
# group is handed over in chunks of this many rows from its start, whatever
# the batches were: the same bytes from any reading, and only a chunk that
# straddles two batches is copied, never a whole group. The encoder works
# through a chunk in steps of 1,024 rows (pyarrow's write_batch_size), so
# chunks of that size give the bytes of the group written whole, and the
# copy at each range's edge is small.
CHUNK_ROWS = 1024


class RowGroups:
    """Batches cut into row groups of exactly `rows` rows (the last may hold
    fewer), whatever the batches' sizes, each handed to `emit` as a table
    whose chunks hold CHUNK_ROWS rows each (the last may hold fewer), or
    one chunk where `rows` is not a multiple of it."""

    def __init__(self, pa: Any, schema: Any, rows: int, emit: Callable[[Any], None]):
        self._pa, self._schema, self._emit = pa, schema, emit
        self._rows = max(rows, 1)
        self._chunk = CHUNK_ROWS if self._rows % CHUNK_ROWS == 0 else self._rows
        self._chunks: list[Any] = []  # the group's finished chunks
        self._parts: list[Any] = []  # slices of the chunk being filled
        self._count = 0  # rows in _parts
        self.rows = 0

    def add(self, batch: Any) -> None:
        self.rows += batch.num_rows
        while batch.num_rows:
            take = min(self._chunk - self._count, batch.num_rows)
            self._parts.append(batch.slice(0, take))
            self._count += take
            batch = batch.slice(take)
            if self._count == self._chunk:
                self._end_chunk()
                if len(self._chunks) * self._chunk == self._rows:
                    self._take()

    def flush(self) -> None:
        if self._count:
            self._end_chunk()
        if self._chunks:
            self._take()

    def _end_chunk(self) -> None:
        parts, self._parts, self._count = self._parts, [], 0
        if len(parts) > 1 and len(self._schema) == 0:
            parts = self._pa.Table.from_batches(parts, schema=self._schema).combine_chunks().to_batches()
        elif len(parts) > 1:
            # Column by column: a table's combine_chunks() is many times slower.
            pa = self._pa
            columns = [pa.concat_arrays([part.column(i) for part in parts]) for i in range(len(self._schema))]
            parts = [pa.RecordBatch.from_arrays(columns, schema=self._schema)]
        self._chunks.append(parts[0])

    def _take(self) -> None:
        chunks, self._chunks = self._chunks, []
        self._emit(self._pa.Table.from_batches(chunks, schema=self._schema))


def write_parquet(
    pa: Any,
    file: BinaryIO | str,
    schema: Any,
    batches: Iterable[Any],
    group_rows: int,
    *,
    pool: ThreadPoolExecutor | None = None,
    ahead: int = 2,
    options: dict[str, Any] | None = None,
    split: int = 1,
) -> int:
    """Writes pyarrow batches of `schema` as Parquet in row groups of
    `group_rows` rows and returns the row count. With `pool` (and no
    writer `options`), each group is encoded on the pool, at most `ahead`
    waiting to be put in, its columns in up to `split` runs at once."""
    if pool is None or options:
        pq = require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
        with pq.ParquetWriter(file, schema, **(options or {})) as writer:
            groups = RowGroups(pa, schema, group_rows, lambda t: writer.write_table(t, row_group_size=t.num_rows))
            for batch in batches:
                groups.add(batch)
            groups.flush()
        return groups.rows
    empty = encode_empty(schema)
    stitcher = Stitcher(file, empty)  # type: ignore[arg-type]
    pending: deque[list[Future[memoryview]]] = deque()

    def put_in() -> None:
        stitcher.add(*(part.result() for part in pending.popleft()))

    def emit(table: Any) -> None:
        runs = _runs(table, split)
        if len(runs) == 1:
            pending.append([pool.submit(encode_group, table, schema)])
        else:
            subsets = [(table.select(run), pa.schema([schema.field(i) for i in run])) for run in runs]
            pending.append([pool.submit(encode_group, *subset) for subset in subsets])
        while len(pending) > max(ahead, 1):
            put_in()

    groups = RowGroups(pa, schema, group_rows, emit)
    try:
        for batch in batches:
            groups.add(batch)
        groups.flush()
        while pending:
            put_in()
    finally:
        for parts in pending:
            for part in parts:
                part.cancel()
    stitcher.close(empty)
    return groups.rows


def _runs(table: Any, split: int) -> list[list[int]]:
    """The table's columns in at most `split` runs of about the same bytes,
    in order. A group's encoding takes about as long as its bytes, and a
    file's last group is otherwise encoded on one thread while the others
    wait."""
    sizes = [column.nbytes for column in table.columns]
    runs: list[list[int]] = []
    total, run, done = sum(sizes), [], 0
    for i, size in enumerate(sizes):
        run.append(i)
        done += size
        if len(runs) < split - 1 and done * split >= total * (len(runs) + 1):
            runs.append(run)
            run = []
    if run or not runs:
        runs.append(run)
    return runs
