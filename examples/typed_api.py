"""Every public function of quelbrand_kernels and of the quelbrand package,
called with explicit types. `mypy --strict examples/typed_api.py` checks it
against the shipped stubs; running it prints a short summary of each call.

Needs the numpy, pyarrow, pandas and dask extras.
"""

from __future__ import annotations

import io
import os
import tempfile
from collections.abc import Iterator

import dask.array as da
import numpy as np
from numpy.typing import NDArray

import quelbrand_kernels as qk
from quelbrand import MissingExtraError, require_extra
from quelbrand import dask as qd
from quelbrand.arrow import (
    align_columns,
    discover_columns,
    record_batches,
    sized_batches,
    string_schema,
    to_pandas,
)
from quelbrand.cli import main
from quelbrand.convert import FORMATS, convert, format_of
from quelbrand.output import open_output
from quelbrand.progress import Progress

DOCUMENT = """<shop>
  <item><sku>A1</sku><price>9.50</price></item>
  <item><sku>B2</sku><stock><count>4</count></stock></item>
  <item><sku>C3</sku><price/><label>late column</label></item>
</shop>
"""


def numeric() -> None:
    keys: NDArray[np.uint64] = np.arange(4, dtype=np.uint64)
    hashes: NDArray[np.uint64] = qk.keyed_hash(7, "typed", keys, 0)
    uniforms: NDArray[np.float64] = qk.keyed_uniforms(7, "typed", keys, 0)
    normals: NDArray[np.float64] = qk.inv_norm_cdf(uniforms)
    print("hashes:", [hex(h) for h in hashes.tolist()])
    print("normals:", normals.tolist())


def streaming(path: str) -> None:
    records: int = qk.count_xml_records(path)
    batches: qk.XmlBatchIter = qk.stream_xml_file(path, 2)
    same: Iterator[qk.Batch] = iter(batches)
    for names, values in same:
        first: str | None = values[0][0] if values else None
        print(f"batch of {len(names)} columns, first value {first!r}")
    print("records:", records)


def adapters(path: str) -> None:
    columns: list[str] = discover_columns(path, 2)
    for names, values, rows in sized_batches(path, 2):
        lined_up: list[list[str | None]] = align_columns(names, values, columns, rows)
        print(f"{rows} rows lined up as {len(lined_up)} columns")
    schema = string_schema(columns)
    for batch in record_batches(path, 2, columns=columns):
        assert batch.schema.equals(schema)
    frame = to_pandas(path, 2)
    print(frame)


def conversion(path: str, scratch: str) -> None:
    for fmt in FORMATS:
        target = os.path.join(scratch, f"shop.{fmt}")
        assert format_of(target) == fmt
        bar_text = io.StringIO()
        rows: int = convert(path, target, batch_rows=2, progress=bar_text)
        print(f"{fmt}: {rows} rows, progress {bar_text.getvalue().splitlines()[-1].strip()!r}")
    with open_output(os.path.join(scratch, "notes.txt")) as out:
        out.write(b"written whole or not at all\n")
    with Progress(None).phase("counting", 10) as phase:
        phase.update(10, rows=1)
    try:
        require_extra("numpy", "numpy", "this example")
    except MissingExtraError as exc:
        print(exc)
    status: int = main(["count", path])
    assert status == 0


def scaled_out(path: str) -> None:
    # Runs on the default local scheduler here; a dask.distributed Client
    # makes the same calls run on a cluster.
    frame = qd.read_xml([path, path], batch_rows=2)
    records = qd.read_xml_bag([path], batch_rows=2)
    keys: da.Array = da.arange(10, dtype=np.uint64, chunks=3)
    normals = qd.inv_norm_cdf(qd.keyed_uniforms(7, "typed", keys, 0))
    hashes = qd.keyed_hash(7, "typed", keys, 0)
    hash_values: NDArray[np.uint64] = np.asarray(hashes)
    normal_values: NDArray[np.float64] = np.asarray(normals)
    print(f"dask: {len(frame)} rows, {len(list(records))} records, {hash_values[0]:#x}, {float(normal_values[0])!r}")


if __name__ == "__main__":
    numeric()
    with tempfile.TemporaryDirectory() as scratch:
        sample = os.path.join(scratch, "shop.xml")
        with open(sample, "w", encoding="utf-8") as file:
            file.write(DOCUMENT)
        streaming(sample)
        adapters(sample)
        conversion(sample, scratch)
        scaled_out(sample)
