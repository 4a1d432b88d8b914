"""Arrow and pandas views of an XML file's record batches.

The native iterator discovers columns per batch: a batch has exactly the
columns its own records produced. The helpers here either keep that shape
(one Arrow batch per native batch) or line every batch up against one
column list, filling a column a batch lacks with nulls. Every value the XML
stream yields is text or missing, so every column is a nullable Arrow string.

pyarrow and pandas are optional and imported only by the functions that need
them; `sized_batches`, `discover_columns` and `align_columns` work without
either.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Union

import quelbrand_kernels as qk

from quelbrand import require_extra

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, unused-ignore]

__all__ = [
    "DEFAULT_BATCH_ROWS",
    "align_columns",
    "discover_columns",
    "is_read_once",
    "record_batches",
    "sized_batches",
    "string_schema",
    "to_pandas",
]

DEFAULT_BATCH_ROWS = 65536

PathArg = Union[str, os.PathLike[str]]
Column = list[Union[str, None]]


# ---------------------------------------------------------------------------
# Batches and columns (pure Python)


def sized_batches(
    path: PathArg, batch_rows: int = DEFAULT_BATCH_ROWS
) -> Iterator[tuple[list[str], list[Column], int]]:
    """Streams the file's batches as (names, values, rows).

    A batch's columns tell its row count, except in a batch whose records
    all lack values: it has no columns at all. Such a batch still holds a
    full batch of records unless it is the last, and the file's record count
    (taken only when such a batch turns up) tells how many the last holds.
    So a record without values is always a row of nulls, whatever the batch
    size. A pipe cannot be counted (a second reader would wait for a writer
    that never comes), so there such a batch is held until the next one shows
    whether it was the last; if it was, its size is unknowable and ValueError
    says so. XML failures raise the module's ValueError."""
    source = os.fspath(path)  # the native functions take a str path only
    full = max(batch_rows, 1)  # a batch size of 0 gives one record per batch
    if is_read_once(source):
        yield from _sized_from_pipe(source, batch_rows, full)
        return
    delivered = 0
    total: int | None = None
    for names, values in qk.stream_xml_file(source, batch_rows):
        if values:
            rows = len(values[0])
        else:
            if total is None:
                total = qk.count_xml_records(source)
            rows = max(0, min(full, total - delivered))
        delivered += rows
        yield names, values, rows


def _sized_from_pipe(source: str, batch_rows: int, full: int) -> Iterator[tuple[list[str], list[Column], int]]:
    held = False  # a batch without columns is waiting for the next one
    for names, values in qk.stream_xml_file(source, batch_rows):
        if held:
            yield [], [], full
        held = not values
        if values:
            yield names, values, len(values[0])
    if held:
        raise ValueError(
            f"cannot tell how many records without values end {source!r}: it is a pipe, "
            "which cannot be read again to count them; read it from a file instead"
        )


def is_read_once(path: str) -> bool:
    """Whether `path` is a pipe, socket or character device, whose data a
    second reader would not see again. A path that cannot be examined is left
    for the reader to report."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)


def discover_columns(
    path: PathArg,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    *,
    on_batch: Callable[[int], object] | None = None,
) -> list[str]:
    """Reads the whole file and returns every column name, in order of first
    appearance. `on_batch`, if given, is called with the row count of each
    batch (for progress reporting). XML failures raise the module's
    ValueError."""
    seen: dict[str, None] = {}
    for names, _, rows in sized_batches(path, batch_rows):
        seen.update(dict.fromkeys(names))
        if on_batch is not None:
            on_batch(rows)
    return list(seen)


def align_columns(names: Sequence[str], values: Sequence[Column], columns: Sequence[str], rows: int) -> list[Column]:
    """Returns a batch of `rows` rows lined up with `columns`: a column the
    batch lacks becomes a list of None. The result may share lists with
    `values` (and the null lists with each other), so treat it as read-only.
    A batch column missing from `columns` raises ValueError, since dropping
    it would lose data."""
    wanted = set(columns)
    for name in names:
        if name not in wanted:
            raise ValueError(f"the XML batch has a column {name!r} that is not among the requested columns")
    by_name = dict(zip(names, values))
    nulls: Column = [None] * rows
    return [by_name.get(name, nulls) for name in columns]


def _checked_columns(columns: Sequence[str] | None) -> list[str] | None:
    if columns is None:
        return None
    fixed = list(columns)
    if len(set(fixed)) != len(fixed):
        raise ValueError(f"duplicate names in columns: {fixed!r}")
    return fixed


# ---------------------------------------------------------------------------
# Arrow


def _pyarrow(purpose: str) -> Any:
    return require_extra("pyarrow", "pyarrow", purpose)


def string_schema(names: Sequence[str]) -> pyarrow.Schema:
    """The Arrow schema of a table with these columns: all nullable strings."""
    pa = _pyarrow("Arrow schemas")
    return pa.schema([pa.field(name, pa.string()) for name in names])


def _string_batch(pa: Any, names: Sequence[str], values: Sequence[Column], rows: int) -> pyarrow.RecordBatch:
    if not names:
        # Arrow takes a batch's length from its columns; with none, from a struct.
        return pa.RecordBatch.from_struct_array(pa.array([{}] * rows, type=pa.struct([])))
    arrays = [pa.array(column, type=pa.string()) for column in values]
    return pa.RecordBatch.from_arrays(arrays, schema=string_schema(names))


def record_batches(
    path: PathArg,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    *,
    columns: Sequence[str] | None = None,
) -> Iterator[pyarrow.RecordBatch]:
    """Streams the file as one pyarrow.RecordBatch per native batch, every
    column a nullable string.

    Without `columns` each batch has its own columns, in order of first
    appearance within the batch. With `columns` every batch has exactly
    those columns in that order, null where the batch lacks one; a batch
    column not listed raises ValueError (pass the result of
    `discover_columns` to be safe). XML failures raise the module's
    ValueError from the iteration."""
    pa = _pyarrow("Arrow record batches")
    fixed = _checked_columns(columns)

    def generate() -> Iterator[pyarrow.RecordBatch]:
        for names, values, rows in sized_batches(path, batch_rows):
            if fixed is None:
                yield _string_batch(pa, names, values, rows)
            else:
                yield _string_batch(pa, fixed, align_columns(names, values, fixed, rows), rows)

    return generate()


# ---------------------------------------------------------------------------
# pandas


def to_pandas(
    path: PathArg,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    *,
    columns: Sequence[str] | None = None,
) -> pandas.DataFrame:
    """Reads the whole file into one pandas DataFrame.

    Without `columns` the frame has every column of the file, in order of
    first appearance; with `columns` exactly those (a column of the file not
    listed raises ValueError). Every column has dtype `string[pyarrow]`
    (pd.StringDtype("pyarrow")), and a missing value is `pd.NA`, whether the
    record lacked the element, the element was empty, or the column was
    absent from the record's batch. The frame is built from Arrow in one
    conversion, so memory is about the Arrow table plus the frame."""
    pa = _pyarrow("to_pandas")
    pd = require_extra("pandas", "pandas", "to_pandas")
    fixed = _checked_columns(columns)
    parts = list(record_batches(path, batch_rows, columns=fixed))
    if fixed is None:
        # Each part has its own columns: pad every part to the union.
        union: dict[str, None] = {}
        for part in parts:
            union.update(dict.fromkeys(part.schema.names))
        fixed = list(union)
        parts = [_padded(pa, part, fixed) for part in parts]
    table = pa.Table.from_batches(parts, schema=string_schema(fixed))
    string_dtype = pd.StringDtype("pyarrow")
    return table.to_pandas(types_mapper={pa.string(): string_dtype}.get)


def _padded(pa: Any, part: pyarrow.RecordBatch, columns: list[str]) -> pyarrow.RecordBatch:
    if part.schema.names == columns:
        return part
    present = set(part.schema.names)
    arrays = [
        part.column(name) if name in present else pa.nulls(part.num_rows, pa.string())
        for name in columns
    ]
    return pa.RecordBatch.from_arrays(arrays, schema=string_schema(columns))
