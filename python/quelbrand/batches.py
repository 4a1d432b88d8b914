"""Batches with their row counts, and whole-file column lists.

The native iterator discovers columns per batch: a batch has exactly the
columns its own records produced, and a batch whose records all lack values
has no columns at all. The helpers here recover each batch's row count, find
every column of a file, and line a batch up against one column list. They
need neither pyarrow nor pandas.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterator, Sequence

import quelbrand._native as _native
from quelbrand.errors import ConversionError

__all__ = [
    "DEFAULT_BATCH_ROWS",
    "align_columns",
    "checked_columns",
    "discover_columns",
    "is_read_once",
    "sized_batches",
]

DEFAULT_BATCH_ROWS = 65536

PathArg = str | os.PathLike[str]
Column = list[str | None]


def sized_batches(path: PathArg, batch_rows: int = DEFAULT_BATCH_ROWS) -> Iterator[tuple[list[str], list[Column], int]]:
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
    # The kernels module is loaded only by what uses it: reading tables
    # goes through the companion alone.
    import quelbrand_kernels as qk

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
    import quelbrand_kernels as qk

    held = False  # a batch without columns is waiting for the next one
    for names, values in qk.stream_xml_file(source, batch_rows):
        if held:
            yield [], [], full
        held = not values
        if values:
            yield names, values, len(values[0])
    if held:
        raise ConversionError(
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
    appearance, in one native pass that builds no values. `on_batch`, if
    given, is called once with the file's record count (for progress
    reporting); `batch_rows` is accepted for compatibility and changes
    nothing. XML failures raise the module's ValueError."""
    del batch_rows
    found = _native.discover(os.fspath(path))
    if on_batch is not None:
        on_batch(found.records)
    return list(found.columns)


def align_columns(names: Sequence[str], values: Sequence[Column], columns: Sequence[str], rows: int) -> list[Column]:
    """Returns a batch of `rows` rows lined up with `columns`: a column the
    batch lacks becomes a list of None. The result may share lists with
    `values` (and the null lists with each other), so treat it as read-only.
    A batch column missing from `columns` raises ValueError, since dropping
    it would lose data."""
    wanted = set(columns)
    for name in names:
        if name not in wanted:
            raise ConversionError(f"the XML batch has a column {name!r} that is not among the requested columns")
    by_name = dict(zip(names, values))
    nulls: Column = [None] * rows
    return [by_name.get(name, nulls) for name in columns]


def checked_columns(columns: Sequence[str] | None) -> list[str] | None:
    """`columns` as a list, refusing repeated names; None stays None."""
    if columns is None:
        return None
    fixed = list(columns)
    if len(set(fixed)) != len(fixed):
        raise ConversionError(f"duplicate names in columns: {fixed!r}")
    return fixed


def checked_batch_rows(batch_rows: object) -> int:
    """`batch_rows` as every reader and writer takes it: a positive integer."""
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"batch_rows must be a positive integer, not {batch_rows!r}")
    return batch_rows
