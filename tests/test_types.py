"""Typed columns: which type each column takes, the exact values it gets, the
same schema in every batch, pipes, and every consumer and output format."""

import datetime as dt
import json
import os
import subprocess
import sys
import threading

import pytest

from quelbrand import _native, read_xml
from quelbrand.convert import convert

pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)


def doc(column, values):
    """A file of one record per value; None is a record without the column."""
    rows = "".join("<row/>" if v is None else f"<row><{column}>{v}</{column}></row>" for v in values)
    return f"<r>{rows}</r>"


def type_of(write_xml, values, batch_rows=65536):
    table = read_xml(write_xml(doc("v", values)), batch_rows=batch_rows, types=True)
    return table.column_types[0] if table.column_names else None


@pytest.mark.parametrize(
    "values, expected",
    [
        # int64: canonical integers only.
        (["1", "-5", "0", "42"], "int64"),
        ([str(I64_MAX), str(I64_MIN)], "int64"),
        (["007"], "string"),
        (["01234"], "string"),
        (["+5"], "string"),
        (["1", "-"], "string"),
        # One past either end fits no integer, and as a double would lose digits.
        ([str(I64_MAX + 1)], "string"),
        ([str(I64_MIN - 1)], "string"),
        ([str(I64_MAX + 1), "1.5"], "string"),
        # float64: decimals, integers among them, within a double's range.
        (["-0"], "float64"),
        (["1.50", "3e-4", "-12.5", "2"], "float64"),
        (["1E+2", "0.0", "-0.0e-5", "4e-324"], "float64"),
        (["1.7976931348623157e308"], "float64"),
        (["1.7976931348623159e308"], "string"),
        (["1e400"], "string"),
        (["1e-400"], "string"),
        (["007.5"], "string"),
        ([".5"], "string"),
        (["5."], "string"),
        (["+1.0"], "string"),
        (["1e"], "string"),
        (["inf"], "string"),
        (["nan"], "string"),
        (["1,5"], "string"),
        # bool: exactly true or false.
        (["true", "false"], "bool"),
        (["True"], "string"),
        (["true", "1"], "string"),
        # date32: real calendar dates.
        (["2024-02-29", "2000-02-29", "1970-01-01", "0001-01-01", "9999-12-31"], "date32"),
        (["2023-02-29"], "string"),
        (["1900-02-29"], "string"),
        (["2024-13-01"], "string"),
        (["2024-04-31"], "string"),
        (["2024-1-01"], "string"),
        (["0000-01-01"], "string"),
        # timestamps: naive, all with an offset (UTC), or a mix (text).
        (["2024-01-01T10:00", "2024-01-01 10:00:59", "2024-01-01T10:00:00.123456"], "timestamp[us]"),
        (["2024-01-01T10:00Z", "2024-01-01T10:00:00+02:00", "2024-01-01 10:00-0130"], "timestamp[us, tz=UTC]"),
        (["2024-01-01T10:00", "2024-01-01T10:00Z"], "string"),
        (["2024-01-01T10:00:00.1234567"], "string"),
        (["2024-01-01T24:00"], "string"),
        (["2024-01-01T10:00:60"], "string"),
        (["2024-01-01T10:00:00."], "string"),
        (["2024-01-01T10:00+2"], "string"),
        (["2024-01-01t10:00"], "string"),
        (["2024-01-01", "2024-01-01T10:00"], "string"),
        # Years 1 to 9999 hold, also once an offset is taken off.
        (["0001-01-01T00:00", "9999-12-31T23:59:59.999999"], "timestamp[us]"),
        (["0001-01-01T00:00+00:01"], "string"),
        (["9999-12-31T23:59-00:01"], "string"),
        # Nulls do not count; a column of nulls is text.
        ([None, "1", None, "", "2"], "int64"),
        (["", ""], "string"),
        (["x", "1"], "string"),
    ],
)
def test_column_type(write_xml, values, expected):
    assert type_of(write_xml, values) == expected


@pytest.mark.parametrize("batch_rows", [1, 2, 5, 65536])
def test_every_batch_has_the_whole_files_schema(write_xml, batch_rows):
    # `n` is an integer until its last value; `late` first appears at the end.
    values = "".join(f"<row><n>{i}</n><f>{i}.5</f></row>" for i in range(9))
    path = write_xml(f"<r>{values}<row><n>x</n><late>true</late></row></r>")
    table = read_xml(path, batch_rows=batch_rows, types=True)
    expected = pa.schema([("n", pa.string()), ("f", pa.float64()), ("late", pa.bool_())])
    batches = list(table)
    assert len(batches) == -(-10 // batch_rows)
    assert all(b.schema == expected for b in batches)
    assert table.schema == expected
    got = pa.Table.from_batches(batches).to_pydict()
    assert got["n"] == [str(i) for i in range(9)] + ["x"]
    assert got["f"] == [i + 0.5 for i in range(9)] + [None]
    assert got["late"] == [None] * 9 + [True]


def random_decimal(rng):
    digits = lambda n: "".join(rng.choice("0123456789") for _ in range(n))  # noqa: E731
    whole = rng.choice(["0", rng.choice("123456789") + digits(rng.randrange(0, 20))])
    text = ("-" if rng.random() < 0.5 else "") + whole
    if rng.random() < 0.8:
        text += "." + digits(rng.randrange(1, 25))
    if rng.random() < 0.5:
        text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randrange(0, 310))
    return text


def reads_as_double(text):
    """Whether a decimal keeps every digit a reader would miss as a double:
    no overflow to infinity, no underflow to zero, no integer past int64."""
    value = float(text)
    mantissa = text.lower().split("e")[0]
    if "." not in mantissa and "e" not in text.lower():
        return I64_MIN <= int(text) <= I64_MAX
    return abs(value) != float("inf") and (value != 0 or set(mantissa) <= set("-0."))


@pytest.mark.parametrize("text", ["1e400", "-1e309", "1e-400", "0.0e-999", str(I64_MAX + 1), "5"])
def test_the_reference_rule(text):
    # The model the random tests below are checked against.
    assert reads_as_double(text) == (text in ("0.0e-999", "5"))


def test_floats_are_correctly_rounded(write_xml, rng):
    values = [random_decimal(rng) for _ in range(3000)]
    keep = [v for v in values if reads_as_double(v)]
    dropped = [v for v in values if not reads_as_double(v)][:50]
    assert all(type_of(write_xml, ["1.5", v]) == "string" for v in dropped)
    table = read_xml(write_xml(doc("v", keep)), batch_rows=500, types=True).to_arrow()
    assert table.schema.types == [pa.float64()]
    assert table.column(0).to_pylist() == [float(v) for v in keep]


def test_integers_are_exact(write_xml, rng):
    values = [I64_MAX, I64_MIN, 0, -1, 2**53 + 1] + [rng.randrange(I64_MIN, I64_MAX + 1) for _ in range(2000)]
    table = read_xml(write_xml(doc("v", [str(v) for v in values])), types=True).to_arrow()
    assert table.schema.types == [pa.int64()]
    assert table.column(0).to_pylist() == values


def test_dates_and_timestamps_are_exact(write_xml, rng):
    days = [dt.date(1, 1, 1) + dt.timedelta(days=rng.randrange(3652059)) for _ in range(500)]
    table = read_xml(write_xml(doc("v", [d.isoformat() for d in days])), types=True).to_arrow()
    assert table.column(0).to_pylist() == days

    naive = [dt.datetime(2, 1, 1) + dt.timedelta(microseconds=rng.randrange(10**17)) for _ in range(500)]
    text = [t.isoformat(sep=rng.choice("T "), timespec="microseconds") for t in naive]
    table = read_xml(write_xml(doc("v", text)), types=True).to_arrow()
    assert table.schema.types == [pa.timestamp("us")]
    assert table.column(0).to_pylist() == naive

    offsets = [dt.timedelta(minutes=rng.randrange(-23 * 60 - 59, 23 * 60 + 60)) for _ in naive]
    aware = [t.replace(tzinfo=dt.timezone(o)) for t, o in zip(naive, offsets)]
    text = [t.isoformat(timespec=rng.choice(["minutes", "seconds", "microseconds"])) for t in aware]
    text = [s.replace("+00:00", "Z") if rng.random() < 0.5 else s for s in text]
    table = read_xml(write_xml(doc("v", text)), types=True).to_arrow()
    assert table.schema.types == [pa.timestamp("us", tz="UTC")]
    want = [dt.datetime.fromisoformat(s.replace("Z", "+00:00")).astimezone(UTC) for s in text]
    assert [t.astimezone(UTC) for t in table.column(0).to_pylist()] == want


@pytest.mark.parametrize(
    "value, expected",
    [
        ("2024-03-10T01:30-0130", dt.datetime(2024, 3, 10, 3, 0, tzinfo=UTC)),
        ("2024-01-01T00:00+01:00", dt.datetime(2023, 12, 31, 23, 0, tzinfo=UTC)),
        ("2024-02-28T23:59:59.999999-00:01", dt.datetime(2024, 2, 29, 0, 0, 59, 999999, tzinfo=UTC)),
    ],
)
def test_offsets_are_converted_to_utc(write_xml, value, expected):
    (got,) = read_xml(write_xml(doc("v", [value])), types=True).to_arrow().column(0).to_pylist()
    assert got == expected


# Typed and text columns side by side, with nulls.
MIXED = doc("x", []).replace(
    "</r>",
    "<row><i>1</i><f>1.50</f><b>true</b><d>2024-02-29</d><t>2024-01-01T10:00Z</t><s>007</s></row>"
    "<row><i>-2</i><f>3e-4</f><b>false</b><s>x</s></row>"
    "<row><f>2</f><t>2024-01-01T12:30:00.5+02:00</t></row></r>",
)
MIXED_TYPES = ["int64", "float64", "bool", "date32", "timestamp[us, tz=UTC]", "string"]
MIXED_PY = {
    "i": [1, -2, None],
    "f": [1.5, 3e-4, 2.0],
    "b": [True, False, None],
    "d": [dt.date(2024, 2, 29), None, None],
    "t": [dt.datetime(2024, 1, 1, 10, 0, tzinfo=UTC), None, dt.datetime(2024, 1, 1, 10, 30, 0, 500000, tzinfo=UTC)],
    "s": ["007", "x", None],
}


def utc_rows(table):
    out = table.to_pydict()
    out["t"] = [None if t is None else t.astimezone(UTC) for t in out["t"]]
    return out


@pytest.mark.parametrize("batch_rows", [1, 2, 65536])
def test_consumers_get_the_types(write_xml, batch_rows):
    table = read_xml(write_xml(MIXED), batch_rows=batch_rows, types=True)
    assert table.column_types == MIXED_TYPES
    assert utc_rows(table.to_arrow()) == MIXED_PY
    assert utc_rows(pa.table(table)) == MIXED_PY  # the native stream
    assert pa.table(table).schema == table.schema


def test_pandas_keeps_missing_values_as_na(write_xml):
    pd = pytest.importorskip("pandas")
    df = read_xml(write_xml(MIXED), types=True).to_pandas()
    assert [str(t) for t in df.dtypes[:3]] == ["Int64", "Float64", "boolean"]
    assert df["i"].tolist()[:2] == [1, -2] and df["i"].isna().tolist() == [False, False, True]
    assert df["s"].dtype == pd.StringDtype("pyarrow")


def test_polars_gets_the_types(write_xml):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(read_xml(write_xml(MIXED), types=True))
    assert frame.dtypes[:4] == [pl.Int64, pl.Float64, pl.Boolean, pl.Date]
    assert frame["i"].to_list() == [1, -2, None]


REORDERED = ["t", "s", "zz", "i", "f", "b", "d"]


def test_given_columns_take_their_types_by_name(write_xml):
    table = read_xml(write_xml(MIXED), columns=REORDERED, types=True)
    assert table.column_types == ["timestamp[us, tz=UTC]", "string", "string", "int64", "float64", "bool", "date32"]
    got = table.to_arrow().to_pydict()
    assert got["i"] == MIXED_PY["i"] and got["zz"] == [None] * 3


def test_without_types_every_column_is_text(write_xml):
    table = read_xml(write_xml(MIXED))
    assert table.column_types is None
    assert set(table.schema.types) == {pa.string()}


def test_a_value_that_does_not_convert_is_an_error():
    # The batches read back from a pipe's spool are converted natively; a
    # value that is not of the column's type must fail, not become garbage.
    batch = pa.record_batch([pa.array(["1", None, "x"], pa.large_string())], names=["v"])
    with pytest.raises(ValueError, match="'x' of column 'v' does not read as int64"):
        _native.typed(batch, ["int64"])
    sliced = pa.record_batch([pa.array(["x", "5", None, "7"], pa.string())], names=["v"]).slice(1)
    assert pa.record_batch(_native.typed(sliced, ["int64"])).column(0).to_pylist() == [5, None, 7]


def test_a_later_pass_keeps_the_types_it_found(write_xml):
    path = write_xml(MIXED)
    table = read_xml(path, types=True)
    assert table.column_types == MIXED_TYPES
    assert utc_rows(table.to_arrow()) == MIXED_PY
    # The types found stand for later passes, which convert to them; a value
    # that no longer fits is an error, never a wrong value.
    with open(path, "w") as f:
        f.write(MIXED.replace("<i>-2</i>", "<i>-2.5</i>"))
    with pytest.raises(ValueError, match="'-2.5' of column 'i' does not read as int64"):
        table.to_arrow()


@pytest.fixture
def pipe():
    """A /dev/fd path reading a pipe that a thread fills with `data`."""
    opened = []

    def make(data):
        r, w = os.pipe()

        def feed():
            try:
                with os.fdopen(w, "wb") as f:
                    f.write(data)
            except BrokenPipeError:
                pass

        thread = threading.Thread(target=feed, daemon=True)
        thread.start()
        opened.append((r, thread))
        return f"/dev/fd/{r}"

    yield make
    for r, thread in opened:
        os.close(r)
        thread.join(timeout=60)


@pytest.mark.parametrize("columns", [None, REORDERED])
def test_a_pipe_gives_the_files_typed_table(write_xml, pipe, columns):
    from_file = read_xml(write_xml(MIXED), batch_rows=2, columns=columns, types=True).to_arrow()
    table = read_xml(pipe(MIXED.encode()), batch_rows=2, columns=columns, types=True)
    got = table.to_arrow()
    assert got.schema == from_file.schema
    assert got.to_pylist() == from_file.to_pylist()


# ---- Output formats -------------------------------------------------------------------


def from_stdin(source, out, *args):
    with open(source, "rb") as stdin:
        result = subprocess.run(
            [sys.executable, "-m", "quelbrand", "convert", "/dev/stdin", "--to", str(out), "--quiet", *args],
            stdin=stdin,
            capture_output=True,
            text=True,
            timeout=120,
        )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("via", ["file", "pipe"])
def test_parquet_gets_the_types(write_xml, tmp_path, via):
    pq = pytest.importorskip("pyarrow.parquet")
    source, out = write_xml(MIXED), tmp_path / "out.parquet"
    if via == "file":
        convert(source, out, types=True, batch_rows=2)
    else:
        from_stdin(source, out, "--types", "--batch-rows", "2")
    table = pq.read_table(out)
    assert table.schema.types[:4] == [pa.int64(), pa.float64(), pa.bool_(), pa.date32()]
    assert utc_rows(table) == MIXED_PY


def test_csv_stays_text(write_xml, tmp_path):
    source = write_xml(MIXED)
    convert(source, tmp_path / "typed.csv", types=True)
    convert(source, tmp_path / "text.csv")
    assert (tmp_path / "typed.csv").read_bytes() == (tmp_path / "text.csv").read_bytes()
    assert "1,1.50,true," in (tmp_path / "typed.csv").read_text()


@pytest.mark.parametrize("via", ["file", "pipe"])
def test_jsonl_writes_numbers_and_booleans_as_json(write_xml, tmp_path, via):
    source, out = write_xml(MIXED), tmp_path / "out.jsonl"
    if via == "file":
        convert(source, out, types=True)
    else:
        from_stdin(source, out, "--types")
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    assert rows == [
        {"i": 1, "f": 1.5, "b": True, "d": "2024-02-29", "t": "2024-01-01T10:00Z", "s": "007"},
        {"i": -2, "f": 3e-4, "b": False, "s": "x"},
        {"f": 2, "t": "2024-01-01T12:30:00.5+02:00"},
    ]
    plain = tmp_path / "plain.jsonl"
    convert(source, plain)
    assert json.loads(plain.read_text().splitlines()[0])["i"] == "1"


def test_jsonl_numbers_read_back_exactly(write_xml, tmp_path, rng):
    values = [v for v in (random_decimal(rng) for _ in range(500)) if reads_as_double(v)]
    out = tmp_path / "out.jsonl"
    convert(write_xml(doc("v", values)), out, types=True)
    assert [float(json.loads(line)["v"]) for line in out.read_text().splitlines()] == [float(v) for v in values]
