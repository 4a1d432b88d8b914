"""Scaling out on Dask: many XML files as one Dask DataFrame or Bag, and the
numeric kernels over chunked Dask arrays.

Needs the ``dask`` extra (``pip install quelbrand_kernels[dask]``). Everything
here runs on whatever scheduler is active, including a ``dask.distributed``
cluster; the workers need quelbrand_kernels installed as well.

A file becomes partitions of about ``blocksize`` bytes of input each: the
survey that finds the columns reads the file's pieces at once and notes the
split points between them, and a partition reads from one split point
through its records, so one huge file is surveyed and read by many tasks at
once. A gzip or bzip2 file is split too, through the index one pass over it
builds (see quelbrand.compressed); other compressed files are read whole, by
one task.
URLs are read through fsspec (see quelbrand.remote), each range by the task
that needs it.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from functools import partial
from typing import Any

from quelbrand.errors import XML_ERROR_PREFIX, ConversionError, is_xml_error, require_extra, warn_loss

# Fail at import, naming the extra, rather than at the first call.
for _module in ("numpy", "pandas", "pyarrow", "dask.array", "dask.bag", "dask.dataframe"):
    require_extra(_module, "dask", "quelbrand.dask")

import dask
import dask.array as da
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from dask.base import compute
from dask.delayed import delayed
from dask.utils import parse_bytes

import quelbrand._native as _native
import quelbrand_kernels as qk
from quelbrand import compressed
from quelbrand.batches import DEFAULT_BATCH_ROWS, checked_batch_rows
from quelbrand.entities import entity_options
from quelbrand.faults import first_fault, range_fault
from quelbrand.nested import checked_text_of, nested_schema
from quelbrand.records import record_options, with_record_column
from quelbrand.recover import Reject, Rejects, checked_max_errors, checked_on_error
from quelbrand.remote import Remote, expand, is_url
from quelbrand.remote import guess as remote_guess
from quelbrand.schema import pandas_dtypes, schema, types_of
from quelbrand.split import Guesses, Piece, Range, guess, joined, piece, settle, splittable

__all__ = ["read_xml", "read_xml_bag", "keyed_hash", "keyed_uniforms", "inv_norm_cdf"]


def _as_paths(paths: Any, storage_options: dict[str, Any] | None = None) -> list[Any]:
    """Local paths as they are, and URLs as the objects they name (a glob
    pattern's matches, sorted), each a quelbrand.remote.Remote."""
    # A lone URL may be a pattern, as dd.read_csv takes it. A lone local
    # string is a Sequence too; reading its characters as file names would
    # fail far from the mistake, so refuse it here.
    if is_url(paths):
        paths = [paths]
    if isinstance(paths, (str, bytes)) or not isinstance(paths, Sequence):
        raise TypeError(f"paths must be a sequence of file paths, or a URL, not {type(paths).__name__}")
    if not paths:
        raise ValueError("paths is empty: give at least one XML file")
    if storage_options and not any(is_url(p) for p in paths):
        raise ValueError("storage_options apply only to URLs (s3://, https://, ...), not to local paths")
    out: list[Any] = []
    for p in paths:
        out.extend(expand([p], storage_options) if is_url(p) else [os.fspath(p)])
    return out


# ---- Files to a DataFrame --------------------------------------------------------
#
# A Dask DataFrame needs its columns before any partition is read, and the
# columns of an XML file are only known once it has been read. read_xml
# therefore computes a survey first, one task per file on the active scheduler:
# the file's record count and, unless the caller named the columns, the
# file's columns (the pass that finds them counts the rows on the way; with
# named columns, the record counter's pass gives the count). The union of those columns, in
# order of first appearance across the files, is every partition's schema; a
# file lacking a column has nulls there. The counts give every record a global
# position, which becomes the index, and the partition boundaries (divisions).


# A split file is surveyed in pieces at once (see quelbrand.split): one task
# guesses where the pieces begin, a task per piece reads it (finding its
# columns, or only counting with named columns), and the guesses the
# readings confirm become the split points; a piece whose guess failed is
# read again from where the reading before it ended. Text is skimmed: its
# faults are the partitions' to raise, each with its true position in the
# file. A file read whole has one survey task. The file's size and
# modification time travel with the ranges, so a partition can tell that the
# file changed since.

# An object behind a URL has its size and version (ETag, mtime) as the store
# gives them, asked again on the worker before a range is read.
_Stamp = tuple[Any, ...]


def _stamp(path: Any) -> _Stamp:
    if isinstance(path, Remote):
        return path.current_stamp()
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


def _guesses(
    path: Any, blocksize: int | None, reader: dict[str, Any] | None = None, skip: bool = False
) -> tuple[Guesses, _Stamp]:
    # Pieces of half a partition each, joined in pairs afterwards: the
    # workers then wait less on the survey's last pieces. A file that is not
    # split is one piece, read as it comes.
    if isinstance(path, Remote):
        if blocksize is None or not path.splittable():
            return Guesses(path, [], []), path.stamp
        return remote_guess(path, max(blocksize // 2, 1), reader), path.stamp
    stamp = _stamp(path) if os.path.exists(path) else (0, 0)
    if blocksize is not None and compressed.splittable(path):
        # One pass indexes a gzip or bzip2 file; its pieces and partitions
        # then read through that index.
        return compressed.guess(path, max(blocksize // 2, 1), reader), stamp
    if blocksize is None or not splittable(path):
        return Guesses(path, [], []), stamp
    try:
        return guess(path, max(blocksize // 2, 1), reader, skip=skip), stamp
    except ValueError as error:
        # Markup the head's skim failed on: one piece, whose failure then
        # finds the first fault.
        if not is_xml_error(error):
            raise
        return Guesses(path, [], []), stamp


def _changed(path: Any, why: str) -> ConversionError:
    return ConversionError(f"XML file '{path}' {why} when the DataFrame was built: was it changed since?")


def _check_stamp(part: Range, stamp: _Stamp) -> None:
    # A whole file, plain or compressed, has nothing to resume from.
    if not part.whole and _stamp(part.path) != stamp:
        raise _changed(part.path, "differs in size or modification time from")


def _range_batches(
    part: Range,
    stamp: _Stamp,
    batch_rows: int,
    names: list[str] | None,
    kinds: list[str] | None = None,
    attributes: bool = False,
) -> list[Any]:
    """The range's records as pyarrow batches, built by the native reader
    (of the types `kinds`, one per name, when given)."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    _check_stamp(part, stamp)
    # Listed columns are a projection, as read_xml's: others are skipped.
    reader = part.open(batch_rows, names, project=names is not None, known_types=kinds, attributes=attributes)
    batches = [pa.record_batch(batch) for batch in reader]
    # Partitions are computed apart, perhaps on other machines: each one that
    # lost values says so itself.
    values, records = reader.lost
    if values:
        warn_loss(values, records, sum(b.num_rows for b in batches), f"{part.path!r}, records from {part.first}: ")
    return batches


def _read_partition(
    part: Range,
    offset: int,
    stamp: _Stamp,
    *,
    batch_rows: int,
    names: list[str],
    kinds: list[str] | None = None,
    attributes: bool = False,
) -> pd.DataFrame:
    # Not a `columns` keyword: Dask would push column selections down into it,
    # and to_pandas refuses to drop a column the file has.
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    batches = _range_batches(part, stamp, batch_rows, names, kinds, attributes)
    return _framed(part, offset, pa.Table.from_batches(batches, schema=schema(pa, names, kinds)))


def _framed(part: Range, offset: int, table: Any) -> pd.DataFrame:
    """A partition's table as its frame, indexed from `offset`."""
    frame = table.to_pandas(types_mapper=_string_dtypes().get)
    # The counts fixed every partition's index range; a file that no longer
    # matches its count would put rows outside it.
    if len(frame) != part.count:
        raise ConversionError(
            f"XML file '{part.path}' holds {len(frame)} records"
            + (f" from record {part.first}" if part.first else "")
            + f", but {part.count} were counted when the DataFrame was built: was it changed since?"
        )
    frame.index = pd.RangeIndex(offset, offset + len(frame))
    return frame


def _offsets(parts: list[tuple[Range, _Stamp]]) -> tuple[list[int], tuple[int, ...] | None]:
    """Each partition's first record across the files, and the divisions."""
    offsets = [0]
    for part, _ in parts:
        offsets.append(offsets[-1] + part.count)
    # Divisions must rise strictly between partitions; an empty file in the
    # middle would repeat one, so those layouts go without.
    counts = [part.count for part, _ in parts]
    return offsets, tuple(offsets) if all(c > 0 for c in counts[:-1]) else None


def _string_dtypes() -> dict[Any, Any]:
    """What quelbrand.arrow.to_pandas makes of the reader's columns."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    return pandas_dtypes(pa, pd)


def _empty_frame(fixed: Any) -> pd.DataFrame:
    """The partitions' schema, by the same conversion a partition goes through."""
    frame = fixed.empty_table().to_pandas(types_mapper=_string_dtypes().get)
    frame.index = pd.RangeIndex(0, 0)
    return frame


def _blocksize(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    if size <= 0:
        raise ValueError(f"blocksize must be positive, not {blocksize!r}")
    return size


def _surveyed(
    files: list[str],
    discover: bool,
    blocksize: int | str | None,
    entities: dict[str, Any] | None = None,
    nested: dict[str, Any] | None = None,
    flat: dict[str, Any] | None = None,
    report: Rejects | None = None,
) -> tuple[list[tuple[Range, _Stamp]], list[str], dict[str, int]]:
    """Every file's ranges in order, with the file's stamp, the union of the
    files' columns (when discovered), and with types in `flat` (piece()'s
    flat keywords, types and attributes) each column's type state over all
    the files. With `nested` (piece()'s nested keywords), the files' record
    shapes merged in order go to nested["shape"]. With `report`, faulty
    records are left out of the ranges, and each file's rejected spans go
    to it (see quelbrand.recover)."""
    size = _blocksize(blocksize)
    if report is not None:
        for path in files:
            if not splittable(path):
                raise ValueError(f"on_error='skip' reads plain XML files only; {path!r} is not one")
    found = compute(*[delayed(_guesses)(p, size, entities, report is not None) for p in files])  # type: ignore[no-untyped-call]
    read = partial(piece, columns=discover, entities=entities, skip=report is not None, **(nested or flat or {}))
    tasks = [[delayed(read)(g.path, start, until, index=g.index) for start, until in g.tasks()] for g, _ in found]
    results = compute(*tasks)  # type: ignore[no-untyped-call]
    parts: list[tuple[Range, _Stamp]] = []
    names: dict[str, None] = {}
    states: dict[str, int] = {}
    checked = bool((nested or flat or {}).get("types"))  # text is checked with types only

    def held(parts: list[Range], error: BaseException) -> BaseException:
        # The survey skimmed text: a fault there before the markup it failed
        # on is found by reading the values up to it, on the cluster.
        if checked or not is_xml_error(error):
            return error
        attributes = bool((nested or flat or {}).get("attributes"))
        shaped = ((nested or {}).get("text_of") or True) if nested is not None else None
        faults = compute(*[delayed(range_fault)(part, attributes, shaped) for part in parts])  # type: ignore[no-untyped-call]
        return first_fault(parts, error, run=lambda _, __: faults)

    for (g, stamp), pieces in zip(found, results):
        # A failed guess is read again on the cluster, where the file is.
        def rerun(start: bytes, until: int | None, path: str = g.path, index: Any = g.index) -> Piece:
            (again,) = compute(delayed(read)(path, start, until, index=index))  # type: ignore[no-untyped-call]
            return again  # type: ignore[no-any-return]

        settled = settle(g, pieces, rerun, entities, held)
        if report is not None:
            report.start(g.path, fresh=g.path == files[0])
            for span in settled.spans:
                report.add(span)
            report.finish(settled.records)
            if settled.ending is not None:
                raise ValueError(f"{XML_ERROR_PREFIX}{g.path}': {settled.ending}")
        parts.extend((part, stamp) for part in joined(settled.ranges, size or 1))
        names.update(dict.fromkeys(settled.columns))
        for name, state in zip(settled.columns, settled.states or []):
            states[name] = _native.merge_state(states[name], state) if name in states else state
        if nested is not None and settled.shape is not None:
            shape = nested.get("shape")
            nested["shape"] = settled.shape if shape is None else _native.merge_shapes(shape, settled.shape)
    return parts, list(names), states


def _read_nested_partition(
    part: Range, offset: int, stamp: _Stamp, *, batch_rows: int, shape: bytes, options: dict[str, Any]
) -> pd.DataFrame:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    _check_stamp(part, stamp)
    batches = [pa.record_batch(b) for b in part.open_nested(batch_rows, shape, **options)]
    return _framed(part, offset, pa.Table.from_batches(batches, schema=nested_schema(pa, shape, options["types"])))


def _read_nested(
    files: list[str],
    blocksize: int | str | None,
    batch_rows: int,
    known: dict[str, Any],
    options: dict[str, Any],
    report: Rejects | None = None,
) -> dd.DataFrame:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    nested: dict[str, Any] = {"nested": True, **options}
    parts, _, _ = _surveyed(files, False, blocksize, known, nested, report=report)
    shape = nested.pop("shape", None) or _native.discover_nested(b"<r/>")[0]
    meta = _empty_frame(nested_schema(pa, shape, options["types"]))
    offsets, divisions = _offsets(parts)
    # Structs and lists are objects, which Dask would take for text.
    with dask.config.set({"dataframe.convert-string": False}):
        return _from_map_nested(parts, offsets, meta, divisions, batch_rows, shape, options)


def _from_map_nested(
    parts: list[tuple[Range, _Stamp]],
    offsets: list[int],
    meta: pd.DataFrame,
    divisions: tuple[int, ...] | None,
    batch_rows: int,
    shape: bytes,
    options: dict[str, Any],
) -> dd.DataFrame:
    return dd.from_map(  # type: ignore[no-untyped-call, no-any-return]
        _read_nested_partition,
        [part for part, _ in parts],
        offsets[:-1],
        [stamp for _, stamp in parts],
        meta=meta,
        divisions=divisions,
        label="read-xml-nested",
        enforce_metadata=False,
        batch_rows=batch_rows,
        shape=shape,
        options=options,
    )


def read_xml(
    paths: str | Sequence[str | os.PathLike[str]],
    *,
    blocksize: int | str | None = "256MiB",
    batch_rows: int = DEFAULT_BATCH_ROWS,
    columns: Sequence[str] | None = None,
    entities: str | Mapping[str, str] | None = None,
    dtd: str | os.PathLike[str] | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    nested: bool = False,
    types: bool = False,
    attributes: bool = False,
    text_of: Sequence[str] | None = None,
    storage_options: dict[str, Any] | None = None,
    on_error: str = "raise",
    max_errors: int | None = None,
    rejects: str | os.PathLike[str] | None = None,
    on_reject: Callable[[Reject], Any] | None = None,
) -> dd.DataFrame:
    """One Dask DataFrame over many XML files, in order, in partitions of
    about ``blocksize`` bytes of input each (a number, or a string such as
    ``"64MiB"`` as :func:`dask.dataframe.read_csv` takes it); ``None`` makes
    one partition per file.

    The columns are ``columns`` when given, in that order (a column a file
    lacks is null, and a file's columns not listed are skipped, as
    :func:`quelbrand.read_xml` skips them), otherwise the union of every file's columns in order of first appearance,
    found by a survey pass that this call computes on the active scheduler.
    Every column has the dtype :func:`quelbrand.arrow.to_pandas` gives,
    ``string[pyarrow]`` with ``pd.NA`` for a missing value. The index is the
    record's position across all files (0, 1, ...), and the divisions are
    known unless a file other than the last holds no records.

    A partition holds its records in memory: about ``blocksize`` of input,
    or its whole file for a compressed file or with ``blocksize=None``. A
    split file is surveyed in pieces at once, a task per piece, from starts
    guessed by the bytes; the split points travel in the graph. The
    partitions of a file together hold exactly its records, whatever the
    blocksize: a split point is a place between two records where a reader
    that got there from a true split point knows its whole state, and a
    guess becomes one only when such a reader ended exactly on it, so
    comments or CDATA sections that hold markup cannot move it. ``batch_rows`` is the reader's batch size; it does
    not change the result. A file that cannot be read or parsed raises the
    module's ``ValueError``: from this call when the survey meets the fault
    (malformed markup), otherwise when the partition holding it is computed
    (text that cannot be decoded, for one), with its position in the file.
    A file changed since the survey raises ``ValueError`` too.

    ``paths`` may hold URLs of any protocol fsspec knows (``s3://``,
    ``gs://``, ``https://``), read with ``storage_options`` as
    :func:`dask.dataframe.read_csv` takes them (the ``remote`` extra); a
    URL may be a glob pattern, and a lone URL may stand for the list. Each
    task reads its own byte ranges of an object where it runs, so the data
    never passes through the client; an object whose size or version
    (ETag, modification time) changed since the survey raises
    ``ValueError``.

    ``entities`` and ``dtd`` name entities beyond those each file declares,
    and ``record`` and ``record_column`` choose the records and name a
    column of their element names, as :func:`quelbrand.read_xml` takes them.

    A partition whose flat reading lost values (see :func:`quelbrand.read_xml`)
    gives one :class:`quelbrand.FlatteningWarning` with its counts when it is
    computed, where it is computed: one per such partition, not one per
    DataFrame. The same holds for :func:`read_xml_bag`.

    With ``nested``, each record is one row of nested values, as
    :func:`quelbrand.read_xml` reads them with ``nested=True`` (and
    ``types``, ``attributes`` and ``text_of``): the record shape is
    surveyed over every file, so every partition has the same columns and
    types; a struct is a dict, a list an array.

    Flat columns take ``types`` and ``attributes`` as
    :func:`quelbrand.read_xml` does: with ``types``, the survey builds every
    value to decide each column's type over all the files, and every
    partition has those dtypes.

    With ``on_error="skip"`` (plain files only), faulty records are left
    out, as :func:`quelbrand.read_xml` leaves them out: the survey finds
    them, so every partition reads only records kept, and the rejected
    spans go to the JSON Lines file ``rejects`` and to ``on_reject`` from
    this call, file by file (``max_errors`` counts them over all files)."""
    known = entity_options(entities, dtd) | record_options(record, record_column)
    files = _as_paths(paths, storage_options)
    skip = checked_on_error(on_error, max_errors, rejects, on_reject)
    report = None
    if skip:
        report = Rejects(", ".join(files), path=rejects, callback=on_reject, max_errors=checked_max_errors(max_errors))
    if nested:
        if columns is not None:
            raise ValueError("columns= selects flat columns; nested reading keeps every column")
        options = {"types": bool(types), "attributes": bool(attributes), "text_of": checked_text_of(text_of)}
        return _read_nested(files, blocksize, checked_batch_rows(batch_rows), known, options, report)
    if text_of is not None:
        raise ValueError("text_of= applies to nested reading: pass nested=True")
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    # Types are found by the survey, which then reads every value.
    flat = {"types": bool(types), "attributes": bool(attributes)}
    parts, found, states = _surveyed(
        files, columns is None or bool(types) or skip, blocksize, known, flat=flat, report=report
    )
    names = found if columns is None else with_record_column(columns, known) or []
    kinds = types_of(names, dict(zip(states, _native.decide_types(list(states.values()))))) if types else None
    offsets, divisions = _offsets(parts)
    # Dates are objects, which Dask would take for text.
    with dask.config.set({"dataframe.convert-string": False} if types else {}):
        return _from_map_flat(parts, offsets, divisions, batch_rows, schema(pa, names, kinds), names, kinds, attributes)


def _from_map_flat(
    parts: list[tuple[Range, _Stamp]],
    offsets: list[int],
    divisions: tuple[int, ...] | None,
    batch_rows: int,
    fixed: Any,
    names: list[str],
    kinds: list[str] | None,
    attributes: bool,
) -> dd.DataFrame:
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _read_partition,
        [part for part, _ in parts],
        offsets[:-1],
        [stamp for _, stamp in parts],
        meta=_empty_frame(fixed),
        divisions=divisions,
        label="read-xml",
        enforce_metadata=False,
        batch_rows=batch_rows,
        names=names,
        kinds=kinds,
        attributes=bool(attributes),
    )
    return frame


# ---- Files to a Bag of records ------------------------------------------------------


def _records(part: Range, stamp: _Stamp, batch_rows: int) -> list[dict[str, str]]:
    out: list[dict[str, str]] = []
    for batch in _range_batches(part, stamp, batch_rows, None):
        if batch.num_columns == 0:  # records without values are still records
            out.extend({} for _ in range(batch.num_rows))
            continue
        out.extend({k: v for k, v in row.items() if v is not None} for row in batch.to_pylist())
    if len(out) != part.count:
        raise _changed(part.path, f"holds {len(out)} records from record {part.first}, not the {part.count} counted")
    return out


def read_xml_bag(
    paths: str | Sequence[str | os.PathLike[str]],
    *,
    blocksize: int | str | None = "256MiB",
    batch_rows: int = DEFAULT_BATCH_ROWS,
    entities: str | Mapping[str, str] | None = None,
    dtd: str | os.PathLike[str] | None = None,
    record: str | Sequence[str] | None = None,
    record_column: str | None = None,
    storage_options: dict[str, Any] | None = None,
) -> db.Bag:
    """A Dask Bag of records, in order, in partitions of about ``blocksize``
    bytes of input each, split as :func:`read_xml` splits (``None``: one
    partition per file).

    Each record is a dict of its non-null values, keyed by column name in the
    order the columns appear in the record's batch. A partition is built in
    memory as a list; ``batch_rows`` bounds only the reader's own buffer. A
    file that cannot be read or parsed raises the module's ``ValueError``:
    from this call when the survey of a split file meets malformed markup,
    otherwise when the partition holding the fault is computed. ``entities``,
    ``dtd``, ``record``, ``record_column`` and ``storage_options`` are as
    :func:`read_xml` takes them.
    """
    known = entity_options(entities, dtd) | record_options(record, record_column)
    files = _as_paths(paths, storage_options)
    surveyed, _, _ = _surveyed(files, False, blocksize, known)
    parts = [delayed(_records)(part, stamp, batch_rows) for part, stamp in surveyed]
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
