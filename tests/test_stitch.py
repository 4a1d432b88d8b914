"""Row groups encoded apart and put together make, byte for byte, the
Parquet file that one writer makes of them."""

import datetime
import io

import pytest

from quelbrand.stitch import Stitcher, _footer, _Reader, _Writer, encode_empty, encode_group

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def random_tables(rng, groups, columns):
    kinds = [
        pa.large_string(),
        pa.int64(),
        pa.float64(),
        pa.bool_(),
        pa.date32(),
        pa.timestamp("us", tz="UTC"),
    ]
    schema = pa.schema([pa.field(f"c{i}", kinds[i % len(kinds)]) for i in range(columns)])

    def value(kind, i):
        if rng.random() < 0.2:
            return None
        if kind == pa.large_string():
            return rng.choice(["", "a", "é", "x" * rng.randint(1, 300), str(i)])
        if kind == pa.int64():
            return rng.randint(-(2**63), 2**63 - 1)
        if kind == pa.float64():
            return rng.uniform(-1e300, 1e300)
        if kind == pa.bool_():
            return rng.random() < 0.5
        if kind == pa.date32():
            return datetime.date(2000, 1, 1) + datetime.timedelta(days=rng.randint(0, 9000))
        return datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=i)

    tables = []
    for _ in range(groups):
        rows = rng.choice([1, 7, 1000, 5000])
        tables.append(
            pa.table({f.name: pa.array([value(f.type, i) for i in range(rows)], f.type) for f in schema}, schema=schema)
        )
    return schema, tables


def in_parts(rng, table, schema):
    """The group's files, its columns cut in random runs (at least one)."""
    cuts = sorted(rng.sample(range(1, len(schema)), rng.randint(0, len(schema) - 1)))
    runs = [list(range(a, b)) for a, b in zip([0, *cuts], [*cuts, len(schema)])]
    return [encode_group(table.select(run), pa.schema([schema.field(i) for i in run])) for run in runs]


@pytest.mark.parametrize("groups", [0, 1, 3, 17])
@pytest.mark.parametrize("columns", [1, 20])
@pytest.mark.parametrize("parts", [False, True])
def test_groups_put_together_are_the_file_of_one_writer(rng, groups, columns, parts):
    schema, tables = random_tables(rng, groups, columns)
    one = io.BytesIO()
    with pq.ParquetWriter(one, schema) as writer:
        for table in tables:
            writer.write_table(table, row_group_size=table.num_rows)
    stitched = io.BytesIO()
    joined = Stitcher(stitched, encode_empty(schema))
    for table in tables:
        if parts:
            joined.add(*in_parts(rng, table, schema))
        else:
            joined.add(encode_group(table, schema))
    joined.close(encode_empty(schema))
    assert stitched.getvalue() == one.getvalue()
    back = pq.read_table(io.BytesIO(stitched.getvalue()))
    assert back.equals(pa.concat_tables(tables, promote_options="none") if tables else schema.empty_table())


def test_a_footer_decoded_and_encoded_again_is_unchanged(rng):
    schema, tables = random_tables(rng, 2, 6)
    data = bytes(encode_group(tables[0], schema))
    meta, start = _footer(data)
    writer = _Writer()
    writer.struct(meta)
    assert bytes(writer.out) == data[start:-8]
    assert _Reader(bytes(writer.out)).struct().fields[0][:2] == [1, 5]  # version, an i32


@pytest.mark.parametrize(
    "empty, rows, message",
    [(False, 5, "needs the whole schema"), (True, 4, "different numbers of rows")],
)
def test_parts_that_are_not_one_group_are_refused_before_anything_is_written(rng, empty, rows, message):
    schema, tables = random_tables(rng, 0, 4)
    table = pa.table({f.name: pa.nulls(5, f.type) for f in schema}, schema=schema)
    first = encode_group(table.select([0, 1]), pa.schema(list(schema)[:2]))
    second = encode_group(table.select([2, 3]).slice(0, rows), pa.schema(list(schema)[2:]))
    out = io.BytesIO()
    with pytest.raises(ValueError, match=message):
        Stitcher(out, encode_empty(schema) if empty else None).add(first, second)
    assert out.getvalue() == b""


def test_only_parquet_is_taken():
    with pytest.raises(ValueError, match="not a Parquet file"):
        Stitcher(io.BytesIO()).add(b"PAR1 not really")


def with_gap_after_first_chunk(data, gap):
    """The file with `gap` bytes after its first column chunk's pages and
    the footer's later offsets moved past them: the layout of a writer that
    puts something of its own between chunks (pyarrow before 18 put a copy
    of each chunk's metadata there)."""
    meta, start = _footer(data)
    chunks = meta.get(4)[1][0].get(1)[1]
    first = chunks[0].get(3)
    end = min(first.get(f) for f in (9, 11) if first.get(f) is not None) + first.get(7)
    for chunk in chunks[1:]:
        for field in (9, 11):
            if chunk.get(3).get(field) is not None:
                chunk.get(3).set(field, chunk.get(3).get(field) + gap)
    writer = _Writer()
    writer.struct(meta)
    footer = bytes(writer.out)
    return data[:end] + b"\0" * gap + data[end:start] + footer + len(footer).to_bytes(4, "little") + b"PAR1"


@pytest.mark.parametrize(
    "layout, message",
    [
        (lambda data: with_gap_after_first_chunk(data, 93), "not where the footer says"),
        (lambda data: data[: _footer(data)[1]] + b"\0" * 8 + data[_footer(data)[1] :], "before the footer"),
        ("page index", "page indexes"),
    ],
    ids=["between chunks", "before the footer", "page index"],
)
def test_a_group_file_laid_out_otherwise_is_refused_before_anything_is_written(rng, layout, message):
    schema, tables = random_tables(rng, 1, 3)
    if layout == "page index":
        sink = io.BytesIO()
        pq.write_table(tables[0], sink, write_page_index=True)
        data = sink.getvalue()
    else:
        data = layout(bytes(encode_group(tables[0], schema)))
        # Still a file pyarrow reads: only the stitcher cannot move it.
        assert pq.read_table(io.BytesIO(data)).equals(tables[0])
    out = io.BytesIO()
    with pytest.raises(ValueError, match=message):
        Stitcher(out).add(data)
    assert out.getvalue() == b""
