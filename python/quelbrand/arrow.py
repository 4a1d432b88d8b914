"""Arrow and pandas views of an XML file's record batches.

The native iterator discovers columns per batch: a batch has exactly the
columns its own records produced. The helpers here either keep that shape
(one Arrow batch per native batch) or line every batch up against one
column list, filling a column a batch lacks with nulls. Every value the XML
stream yields is text or missing, so every column is a nullable Arrow string.

pyarrow and pandas are optional and imported only by the functions that need
them. `sized_batches`, `discover_columns`, `align_columns` and `is_read_once`
live in quelbrand.batches and are re-exported here.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from quelbrand import require_extra
from quelbrand.batches import (
    DEFAULT_BATCH_ROWS,
    Column,
    PathArg,
    align_columns,
    checked_columns,
    discover_columns,
    is_read_once,
    sized_batches,
)

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
    fixed = checked_columns(columns)

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
    fixed = checked_columns(columns)
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
    arrays = [part.column(name) if name in present else pa.nulls(part.num_rows, pa.string()) for name in columns]
    return pa.RecordBatch.from_arrays(arrays, schema=string_schema(columns))
