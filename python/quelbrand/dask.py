"""Scaling out on Dask: many XML files as one Dask DataFrame or Bag, and the
numeric kernels over chunked Dask arrays.

Needs the ``dask`` extra (``pip install quelbrand_kernels[dask]``). Everything
here runs on whatever scheduler is active, including a ``dask.distributed``
cluster; the workers need quelbrand_kernels installed as well.

Files become partitions one to one: a file is read by exactly one task, so the
number of partitions is the number of files and a huge file is never split.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from functools import partial
from typing import Any

from quelbrand import ConversionError, require_extra

# Fail at import, naming the extra, rather than at the first call.
for _module in ("numpy", "pandas", "pyarrow", "dask.array", "dask.bag", "dask.dataframe"):
    require_extra(_module, "dask", "quelbrand.dask")

import dask.array as da
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from dask.base import compute
from dask.delayed import delayed

import quelbrand_kernels as qk
from quelbrand.arrow import to_pandas
from quelbrand.batches import DEFAULT_BATCH_ROWS, discover_columns, sized_batches

__all__ = ["read_xml", "read_xml_bag", "keyed_hash", "keyed_uniforms", "inv_norm_cdf"]


def _as_paths(paths: Sequence[str | os.PathLike[str]]) -> list[str]:
    # A lone string is a Sequence too; reading its characters as file names
    # would fail far from the mistake, so refuse it here.
    if isinstance(paths, (str, bytes)) or not isinstance(paths, Sequence):
        raise TypeError(f"paths must be a sequence of file paths, not {type(paths).__name__}")
    if not paths:
        raise ValueError("paths is empty: give at least one XML file")
    return [os.fspath(p) for p in paths]


# ---- Files to a DataFrame --------------------------------------------------------
#
# A Dask DataFrame needs its columns before any partition is read, and the
# columns of an XML file are only known once it has been read. read_xml
# therefore computes a survey first, one task per file on the active scheduler:
# the file's record count and, unless the caller named the columns, the
# file's columns (the pass that finds them counts the rows on the way; with
# named columns, count_xml_records's fast scan gives the count). The union of those columns, in
# order of first appearance across the files, is every partition's schema; a
# file lacking a column has nulls there. The counts give every record a global
# position, which becomes the index, and the partition boundaries (divisions).


def _survey(path: str, batch_rows: int, discover: bool) -> tuple[int, list[str]]:
    if not discover:
        return qk.count_xml_records(path), []
    # Discovering the columns reads every batch already; its row counts are
    # the record count, so the file is not scanned a second time.
    rows = 0

    def add(count: int) -> None:
        nonlocal rows
        rows += count

    names = discover_columns(path, batch_rows, on_batch=add)
    return rows, names


def _read_partition(path: str, offset: int, count: int, *, batch_rows: int, names: list[str]) -> pd.DataFrame:
    # Not a `columns` keyword: Dask would push column selections down into it,
    # and to_pandas refuses to drop a column the file has.
    frame = to_pandas(path, batch_rows, columns=names)
    # The counts fixed every partition's index range; a file that no longer
    # matches its count would put rows outside it.
    if len(frame) != count:
        raise ConversionError(
            f"XML file '{path}' holds {len(frame)} records, but {count} were "
            "counted when the DataFrame was built: was it changed since?"
        )
    frame.index = pd.RangeIndex(offset, offset + len(frame))
    return frame


def _empty_frame(columns: list[str]) -> pd.DataFrame:
    """The partitions' schema, by the same conversion a partition goes through."""
    frame = to_pandas(os.devnull, 1, columns=columns)  # an empty file: no records
    frame.index = pd.RangeIndex(0, 0)
    return frame


def read_xml(
    paths: Sequence[str | os.PathLike[str]],
    *,
    batch_rows: int = DEFAULT_BATCH_ROWS,
    columns: Sequence[str] | None = None,
) -> dd.DataFrame:
    """One Dask DataFrame over many XML files, one partition per file, in order.

    The columns are ``columns`` when given, in that order (a column a file
    lacks is null; a file with a column not listed raises ``ValueError`` when
    its partition is computed, as :func:`quelbrand.arrow.to_pandas` does),
    otherwise the union of every file's columns in order of first appearance,
    found by a survey pass that this call computes on the active scheduler.
    Every column has the dtype :func:`quelbrand.arrow.to_pandas` gives,
    ``string[pyarrow]`` with ``pd.NA`` for a missing value. The index is the
    record's position across all files (0, 1, ...), and the divisions are
    known unless a file other than the last holds no records.

    A partition holds its whole file in memory, so each file must fit in a
    worker. ``batch_rows`` is the reader's batch size; it does not change the
    result. A file that cannot be read or parsed raises the
    module's ``ValueError``: from this call when the survey meets the fault,
    otherwise when the partition is computed.
    """
    files = _as_paths(paths)
    discover = columns is None
    tasks = [delayed(_survey)(p, batch_rows, discover) for p in files]
    survey = compute(*tasks)  # type: ignore[no-untyped-call]
    counts = [count for count, _ in survey]
    if columns is None:
        names = list(dict.fromkeys(name for _, found in survey for name in found))
    else:
        names = list(columns)
    offsets = [0]
    for count in counts:
        offsets.append(offsets[-1] + count)
    # Divisions must rise strictly between partitions; an empty file in the
    # middle would repeat one, so those layouts go without.
    divisions = tuple(offsets) if all(c > 0 for c in counts[:-1]) else None
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _read_partition,
        files,
        offsets[:-1],
        counts,
        meta=_empty_frame(names),
        divisions=divisions,
        label="read-xml",
        enforce_metadata=False,
        batch_rows=batch_rows,
        names=names,
    )
    return frame


# ---- Files to a Bag of records ------------------------------------------------------


def _records(path: str, batch_rows: int) -> list[dict[str, str]]:
    out: list[dict[str, str]] = []
    # sized_batches, so that records without values are still records ({}).
    for names, values, rows in sized_batches(path, batch_rows):
        out.extend(
            {name: value for name, column in zip(names, values) if (value := column[i]) is not None}
            for i in range(rows)
        )
    return out


def read_xml_bag(paths: Sequence[str | os.PathLike[str]], *, batch_rows: int = DEFAULT_BATCH_ROWS) -> db.Bag:
    """A Dask Bag of records, one partition per file, in order.

    Each record is a dict of its non-null values, keyed by column name in the
    order the columns appear in the record's batch. A partition is built in
    memory as a list; ``batch_rows`` bounds only the reader's own buffer. A
    file that cannot be read or parsed raises the module's ``ValueError``
    when its partition is computed.
    """
    parts = [delayed(_records)(p, batch_rows) for p in _as_paths(paths)]
    bag: db.Bag = db.from_delayed(parts)  # type: ignore[no-untyped-call]
    return bag


# ---- Kernels over chunked arrays --------------------------------------------------------
#
# The kernels are element-wise and a key's value never depends on its
# neighbours, so mapping them over the blocks gives the bits of one call over
# the whole array, whatever the chunking. The arguments are checked at once, by
# the module itself on an empty array of the same dtype and shape, so a wrong
# dtype, dimension or seed raises the module's own error here rather than from
# deep inside a compute.


def _blockwise(fn: Any, arr: da.Array, out_dtype: type[np.generic]) -> da.Array:
    if not isinstance(arr, da.Array):
        raise TypeError(
            f"expected a dask array, got {type(arr).__name__}; call quelbrand_kernels directly for NumPy arrays"
        )
    fn(np.empty((0,) * arr.ndim, dtype=arr.dtype))
    out: da.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        fn, arr, dtype=out_dtype, meta=np.empty((0,), dtype=out_dtype)
    )
    return out


def keyed_hash(seed: int, namespace: str, keys: da.Array, draw: int) -> da.Array:
    """:func:`quelbrand_kernels.keyed_hash` over a 1-D uint64 Dask array, lazily."""
    fn = partial(qk.keyed_hash, seed, namespace, draw=draw)
    return _blockwise(fn, keys, np.uint64)


def keyed_uniforms(seed: int, namespace: str, keys: da.Array, draw: int) -> da.Array:
    """:func:`quelbrand_kernels.keyed_uniforms` over a 1-D uint64 Dask array, lazily."""
    fn = partial(qk.keyed_uniforms, seed, namespace, draw=draw)
    return _blockwise(fn, keys, np.float64)


def inv_norm_cdf(u: da.Array) -> da.Array:
    """:func:`quelbrand_kernels.inv_norm_cdf` over a 1-D float64 Dask array, lazily."""
    return _blockwise(qk.inv_norm_cdf, u, np.float64)
