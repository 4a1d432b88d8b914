"""Arrow and pandas views of an XML file's record batches.

Batches are built by the native companion module straight into Arrow's
layout. Each discovers its columns: a batch has exactly the columns its own
records produced. The helpers here either keep that shape (one Arrow batch
per native batch) or line every batch up against one column list, filling
a column a batch lacks with nulls. Every value the XML stream yields is text
or missing, so every column is a nullable Arrow string.
quelbrand.read_xml is the table-shaped way in.

pyarrow and pandas are optional and imported only by the functions that need
them. `sized_batches`, `discover_columns`, `align_columns` and `is_read_once`
live in quelbrand.batches and are re-exported here.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

import quelbrand._native as _native
from quelbrand.batches import (
    DEFAULT_BATCH_ROWS,
    PathArg,
    align_columns,
    checked_columns,
    discover_columns,
    is_read_once,
    sized_batches,
)
from quelbrand.errors import require_extra
from quelbrand.reader import read_xml
from quelbrand.schema import string_schema as _string_schema

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
    """The Arrow schema of a table with these columns: all nullable
    strings."""
    return _string_schema(_pyarrow("Arrow schemas"), names)


def record_batches(
    path: PathArg,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    *,
    columns: Sequence[str] | None = None,
) -> Iterator[pyarrow.RecordBatch]:
    """Streams the file as one pyarrow.RecordBatch per native batch, every
    column a nullable string, built natively with no Python object
    per value.

    Without `columns` each batch has its own columns, in order of first
    appearance within the batch. With `columns` every batch has exactly
    those columns in that order, null where the batch lacks one; a batch
    column not listed raises ValueError (pass the result of
    `discover_columns` to be safe, or use quelbrand.read_xml, which finds
    them). A batch of records without values has their row count and no
    columns. XML failures raise the module's ValueError from the
    iteration."""
    pa = _pyarrow("Arrow record batches")
    fixed = checked_columns(columns)
    source = os.fspath(path)

    def generate() -> Iterator[pyarrow.RecordBatch]:
        for batch in _native.open(source, batch_rows, columns=fixed, prefetch=True):
            yield pa.record_batch(batch)

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
    _pyarrow("to_pandas")
    require_extra("pandas", "pandas", "to_pandas")
    return read_xml(path, batch_rows=batch_rows, columns=checked_columns(columns)).to_pandas()
