"""quelbrand._native.TextEncoder: CSV and JSON Lines bytes from Arrow batches,
checked against Python's own json and csv modules."""

import csv
import io
import json

import pyarrow as pa
import pytest

from quelbrand import _native
from quelbrand._native import TextEncoder

# Every byte that needs care in either format, and some that do not.
ALPHABET = [chr(c) for c in range(0x20)] + list(",\"\\\x7f ab;'") + ["é", "€", "\u2028", "😀", "\ufeff"]


def random_text(rng, longest=24):
    # Mostly short, now and then long enough for several eight-byte words.
    n = rng.choice([0, 1, 3, 8, rng.randrange(longest)])
    return "".join(rng.choice(ALPHABET) if rng.random() < 0.3 else rng.choice("xyz0189") for _ in range(n))


def random_column(rng, rows):
    return [None if rng.random() < 0.2 else random_text(rng) for _ in range(rows)]


def json_lines(rows, nulls):
    """The JSON Lines of `rows` (dicts) as Python writes them."""
    return "".join(json.dumps(drop_nulls(r, nulls), ensure_ascii=False) + "\n" for r in rows).encode()


def drop_nulls(value, nulls):
    # Null members leave their object unless kept; null list items stay.
    if isinstance(value, dict):
        return {k: drop_nulls(v, nulls) for k, v in value.items() if nulls or v is not None}
    if isinstance(value, list):
        return [drop_nulls(v, nulls) for v in value]
    return value


def csv_field(value):
    if value is None:
        return ""
    if value == "" or any(c in value for c in ',"\r\n'):
        return '"' + value.replace('"', '""') + '"'
    return value


def random_batch(rng, columns, rows, large):
    kind = pa.large_string() if large else pa.string()
    return pa.record_batch({name: pa.array(random_column(rng, rows), kind) for name in columns})


@pytest.mark.parametrize("large", [True, False])
@pytest.mark.parametrize("nulls", [False, True])
def test_json_lines_match_json_dumps(rng, large, nulls):
    columns = ["a", 'q"uote', "é\n", ""]
    batch = random_batch(rng, columns, 300, large)
    encoder = TextEncoder("jsonl", columns, nulls=nulls)
    assert encoder.header() == b""
    # Sliced at odd places, so offsets and bitmaps start mid-byte.
    for start, length in [(0, 300), (1, 77), (13, 200), (299, 1), (5, 0)]:
        part = batch.slice(start, length)
        assert encoder.encode(part) == json_lines(part.to_pylist(), nulls)


@pytest.mark.parametrize("large", [True, False])
def test_csv_round_trips_through_csv_reader(rng, large):
    columns = ["plain", "with,comma", 'with"quote', ""]
    batch = random_batch(rng, columns, 300, large)
    encoder = TextEncoder("csv", columns)
    for start, length in [(0, 300), (3, 101), (17, 200)]:
        part = batch.slice(start, length)
        rows = part.to_pylist()
        out = encoder.encode(part)
        assert out == "".join(",".join(csv_field(r[c]) for c in columns) + "\r\n" for r in rows).encode()
        back = list(csv.reader(io.StringIO((encoder.header() + out).decode(), newline="")))
        assert back[0] == columns
        assert back[1:] == [["" if r[c] is None else r[c] for c in columns] for r in rows]


def test_a_struct_array_sliced_at_the_top(rng):
    # A struct array carries the offset itself, not only its children.
    a = pa.array(random_column(rng, 50), pa.large_string())
    b = pa.array(random_column(rng, 50), pa.string())
    whole = pa.StructArray.from_arrays([a, b], names=["a", "b"])
    part = whole.slice(7, 30)
    assert TextEncoder("jsonl", ["a", "b"]).encode(part) == json_lines(part.to_pylist(), False)
    csv_out = TextEncoder("csv", ["a", "b"]).encode(part)
    assert csv_out == "".join(f"{csv_field(r['a'])},{csv_field(r['b'])}\r\n" for r in part.to_pylist()).encode()


def test_batches_read_from_xml():
    doc = (
        b"<r>"
        + b"".join(
            b"<row><id>%d</id><name>n &amp; &quot;%d&quot;</name>%s</row>" % (i, i, b"<x>,</x>" if i % 3 else b"")
            for i in range(50)
        )
        + b"</r>"
    )
    batches = list(_native.open(doc, 16, columns=["id", "name", "x"]))
    assert len(batches) > 1
    table = pa.Table.from_batches([pa.record_batch(b) for b in batches])
    rows = table.to_pylist()
    jsonl = TextEncoder("jsonl", ["id", "name", "x"], literal=[True, False, False])
    got = b"".join(jsonl.encode(b) for b in batches)
    assert [json.loads(line) for line in got.splitlines()] == [
        drop_nulls({**r, "id": int(r["id"])}, False) for r in rows
    ]
    encoder = TextEncoder("csv", ["id", "name", "x"])
    got = encoder.header() + b"".join(encoder.encode(b) for b in batches)
    assert list(csv.DictReader(io.StringIO(got.decode(), newline=""))) == [
        {k: v or "" for k, v in r.items()} for r in rows
    ]


def test_literal_columns_are_copied_bare():
    batch = pa.record_batch({"n": ["1", "-2.5e3", "", None, "true"], "s": ["1", "", "x", None, "false"]})
    out = TextEncoder("jsonl", ["n", "s"], literal=[True, False]).encode(batch)
    assert out.decode().splitlines() == [
        '{"n": 1, "s": "1"}',
        '{"n": -2.5e3, "s": ""}',  # an empty literal is no JSON, so it counts as null
        '{"s": "x"}',
        "{}",
        '{"n": true, "s": "false"}',
    ]


def random_nested(rng, depth):
    """A random (type, value maker) pair: strings at the leaves, structs and lists above."""
    pick = rng.randrange(4) if depth > 0 else 0
    if pick == 0:
        kind = rng.choice([pa.string(), pa.large_string()])
        return kind, lambda: None if rng.random() < 0.2 else random_text(rng, 12)
    if pick == 1:
        item, make = random_nested(rng, depth - 1)
        kind = rng.choice([pa.list_, pa.large_list])(item)
        return kind, lambda: None if rng.random() < 0.2 else [make() for _ in range(rng.randrange(4))]
    fields = [(f"f{i}\t{'é' * i}", *random_nested(rng, depth - 1)) for i in range(rng.randrange(4))]
    kind = pa.struct([(name, t) for name, t, _ in fields])
    return kind, lambda: None if rng.random() < 0.2 else {name: make() for name, _, make in fields}


@pytest.mark.parametrize("nulls", [False, True])
def test_nested_columns_match_json_dumps(rng, nulls):
    columns = [f"c{i}" for i in range(4)]
    for _ in range(20):
        arrays = {}
        for name in columns:
            kind, make = random_nested(rng, 3)
            arrays[name] = pa.array([make() for _ in range(40)], kind)
        batch = pa.record_batch(arrays)
        encoder = TextEncoder("jsonl", columns, nulls=nulls)
        for start, length in [(0, 40), (3, 30), (11, 9)]:
            part = batch.slice(start, length)
            assert encoder.encode(part) == json_lines(part.to_pylist(), nulls), part.schema


def test_no_columns():
    rows = pa.array([{}] * 3, pa.struct([]))
    assert TextEncoder("jsonl", []).encode(rows) == b"{}\n" * 3
    # CSV cannot show a record of no fields.
    assert TextEncoder("csv", []).encode(rows) == b""
    assert TextEncoder("csv", []).header() == b""


def test_header_is_quoted_like_the_fields():
    assert TextEncoder("csv", ["a", "b,c", "", 'd"e', "é"]).header() == 'a,"b,c","","d""e",é\r\n'.encode()


@pytest.mark.parametrize(
    ("format", "columns", "batch", "error", "match"),
    [
        ("csv", ["a", "c"], pa.record_batch({"a": ["1"], "b": ["2"]}), ValueError, "column 1 is 'b' where the encoder"),
        ("jsonl", ["a"], pa.record_batch({"a": ["1"], "b": ["2"]}), ValueError, "2 columns"),
        ("jsonl", ["a", "n"], pa.record_batch({"a": ["1"], "n": [1]}), TypeError, "'n' is of Arrow type int64"),
        # A list is written as its JSON text, but only a list of strings.
        ("csv", ["l"], pa.record_batch({"l": [[1.5]]}), TypeError, r"'l\[\]' is of Arrow type double, which CSV"),
        ("jsonl", ["s"], pa.record_batch({"s": [{"k": 1.5}]}), TypeError, r"'s\.k' is of Arrow type double"),
        ("jsonl", ["d"], pa.record_batch({"d": pa.array(["x"]).dictionary_encode()}), TypeError, "dictionary"),
        ("jsonl", [], pa.array(["x"]), TypeError, "takes a record batch"),
        ("jsonl", [], "not a batch", TypeError, "takes a record batch with __arrow_c_array__, not str"),
    ],
)
def test_batches_it_refuses(format, columns, batch, error, match):
    with pytest.raises(error, match=match):
        TextEncoder(format, columns).encode(batch)


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "match"),
    [
        (("xml", ["a"]), {}, ValueError, "format must be 'csv' or 'jsonl'"),
        (("csv", "ab"), {}, TypeError, "columns must be a sequence of str"),
        (("csv", ["a", 1]), {}, TypeError, "argument 'columns'"),
        (("jsonl", ["a"]), {"literal": [True, False]}, ValueError, "one per column"),
        (("jsonl", ["a"], [True]), {}, TypeError, "2 positional arguments"),
        (("jsonl",), {"column": ["a"]}, TypeError, "unexpected keyword argument 'column'"),
    ],
)
def test_arguments_it_refuses(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        TextEncoder(*args, **kwargs)


def test_keywords_and_stub_agree():
    encoder = TextEncoder(format="jsonl", columns=("a",), literal=None, nulls=True)
    assert encoder.encode(batch=pa.record_batch({"a": pa.array([None], pa.string())})) == b'{"a": null}\n'


@pytest.mark.parametrize(
    ("column", "field"),
    [
        (pa.array([["a", None, 'q"'], []], pa.large_list(pa.large_string())), '"[""a"", null, ""q\\""""]"'),
        (pa.array([{"k": "v,w", "m": None}, None], pa.struct([("k", pa.string()), ("m", pa.string())])), None),
    ],
)
def test_csv_writes_a_nested_value_as_its_json_text(column, field):
    batch = pa.record_batch({"n": column, "s": ["x", "y"]})
    text = TextEncoder("csv", ["n", "s"]).encode(batch).decode()
    lines = TextEncoder("jsonl", ["n", "s"]).encode(batch).decode().splitlines()
    # The field is the JSON Lines member's value, CSV-quoted.
    first = next(csv.reader(io.StringIO(text)))
    assert first == [lines[0][len('{"n": ') : lines[0].index(', "s"')], "x"]
    if field is not None:
        assert text.startswith(field + ",x\r\n")
