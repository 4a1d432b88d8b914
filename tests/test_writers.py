"""Parquet written from batches of any sizes is the same file, on one
thread or encoded on a pool and stitched."""

import io
from concurrent.futures import ThreadPoolExecutor

import pytest

from quelbrand.writers import CHUNK_ROWS, write_parquet

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def random_table(rng, rows):
    text = [None if rng.random() < 0.1 else "x" * rng.randint(0, 60) + str(rng.random()) for _ in range(rows)]
    return pa.table(
        {
            "t": pa.array(text, pa.large_string()),
            "f": pa.array([rng.random() if rng.random() < 0.8 else None for _ in range(rows)]),
            "b": pa.array([rng.random() < 0.5 for _ in range(rows)]),
            # Nested columns have several leaves each: a group's columns are
            # encoded in runs of whole fields.
            "l": pa.array(
                [None if rng.random() < 0.1 else [{"x": str(k)} for k in range(rng.randint(0, 3))] for _ in range(rows)]
            ),
        }
    )


def cut(rng, table, most):
    """The table's rows as batches of random sizes, some empty."""
    batch, out, at = table.to_batches()[0], [], 0
    while at < table.num_rows:
        take = rng.choice([0, 1, rng.randint(1, most)])
        out.append(batch.slice(at, take))
        at += take
    return out


@pytest.mark.parametrize("group_rows", [2 * CHUNK_ROWS, 3 * CHUNK_ROWS, 1000, 1])
@pytest.mark.parametrize("pooled, split", [(False, 1), (True, 1), (True, 2), (True, 5)])
def test_the_file_depends_on_the_rows_not_on_the_batches(rng, group_rows, pooled, split):
    rows = 5 * CHUNK_ROWS + 123 if group_rows > 1 else 40
    table = random_table(rng, rows)
    files = []
    for most in (rows, CHUNK_ROWS // 3, 5000):
        out = io.BytesIO()
        with ThreadPoolExecutor(2) as pool:
            written = write_parquet(
                pa, out, table.schema, cut(rng, table, most), group_rows, pool=pool if pooled else None, split=split
            )
        assert written == rows
        files.append(out.getvalue())
    assert files[0] == files[1] == files[2]
    # And the file pyarrow writes from the table whole: chunks of CHUNK_ROWS
    # rows are cut where its encoder cuts its own work anyway.
    whole = io.BytesIO()
    pq.write_table(table, whole, row_group_size=group_rows)
    assert files[0] == whole.getvalue()
    back = pq.ParquetFile(io.BytesIO(files[0]))
    assert back.metadata.num_row_groups == -(-rows // group_rows)
    assert back.read().equals(table)
