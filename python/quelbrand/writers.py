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
  size, each group one contiguous chunk: the bytes of a group then depend
  only on its rows, so ranges read apart make the file one reading makes.
  With a pool, groups are encoded on it and put together in order (see
  quelbrand.stitch).
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, BinaryIO

import quelbrand._native as _native
from quelbrand.errors import require_extra
from quelbrand.stitch import Stitcher, encode_empty, encode_group

__all__ = ["JSON_LITERAL_TYPES", "RowGroups", "TextOutput", "write_parquet"]

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


class RowGroups:
    """Batches cut into row groups of exactly `rows` rows (the last may hold
    fewer), whatever the batches' sizes, each handed to `emit` as a table
    whose chunks `one_chunk` joins: the join copies the whole group, so an
    encoder on a pool does it there rather than on the reading thread."""

    def __init__(self, pa: Any, schema: Any, rows: int, emit: Callable[[Any], None]):
        self._pa, self._schema, self._rows, self._emit = pa, schema, max(rows, 1), emit
        self._pending: list[Any] = []
        self._count = 0
        self.rows = 0

    def add(self, batch: Any) -> None:
        self.rows += batch.num_rows
        while batch.num_rows:
            take = min(self._rows - self._count, batch.num_rows)
            self._pending.append(batch.slice(0, take))
            self._count += take
            batch = batch.slice(take)
            if self._count == self._rows:
                self._take()

    def flush(self) -> None:
        if self._count:
            self._take()

    def _take(self) -> None:
        pending, self._pending, self._count = self._pending, [], 0
        self._emit(self._pa.Table.from_batches(pending, schema=self._schema))


def one_chunk(table: Any) -> Any:
    """The group as one contiguous chunk, so that its bytes depend only on
    its rows, not on how the batches were cut."""
    return table.combine_chunks() if table.num_columns and table.column(0).num_chunks > 1 else table


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
) -> int:
    """Writes pyarrow batches of `schema` as Parquet in row groups of
    `group_rows` rows and returns the row count. With `pool` (and no
    writer `options`), each group is encoded on the pool, at most `ahead`
    waiting to be put in."""
    if pool is None or options:
        pq = require_extra("pyarrow.parquet", "pyarrow", "Parquet output")
        with pq.ParquetWriter(file, schema, **(options or {})) as writer:
            groups = RowGroups(
                pa, schema, group_rows, lambda t: writer.write_table(one_chunk(t), row_group_size=t.num_rows)
            )
            for batch in batches:
                groups.add(batch)
            groups.flush()
        return groups.rows
    stitcher = Stitcher(file)  # type: ignore[arg-type]
    pending: deque[Future[bytes]] = deque()

    def emit(table: Any) -> None:
        pending.append(pool.submit(lambda: encode_group(one_chunk(table), schema)))
        while len(pending) > max(ahead, 1):
            stitcher.add(pending.popleft().result())

    groups = RowGroups(pa, schema, group_rows, emit)
    try:
        for batch in batches:
            groups.add(batch)
        groups.flush()
        while pending:
            stitcher.add(pending.popleft().result())
    finally:
        for future in pending:
            future.cancel()
    stitcher.close(encode_empty(schema))
    return groups.rows
