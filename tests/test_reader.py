"""quelbrand.read_xml and quelbrand._native: tables equal to what the XML core
streams, through every Arrow consumer, with errors, pipes and lifetimes."""

import csv
import gc
import io
import os
import subprocess
import sys
import threading

import pytest
from conftest import FAULT_ORDERS, assert_first_fault
from test_xml_random import random_document

import quelbrand
import quelbrand.arrow
import quelbrand.convert
import quelbrand_kernels as qk
from quelbrand import ConversionError, _native, read_xml

pa = pytest.importorskip("pyarrow")
from quelbrand.arrow import record_batches  # noqa: E402

BATCH_ROWS = [1, 2, 3, 7, 65536]
PREFIX = "failed to parse XML file '"
DOCS = {
    "bare_records": "<r><row/><row/><row/><row/></r>",
    "no_records": "<r/>",
    "without_values": "<r><row><a>1</a></row><row/><row><b> </b></row><row></row><row><b>2</b><a>3</a></row></r>",
    "late_column": "<r>" + "".join(f"<row><a>{i}</a></row>" for i in range(9)) + "<row><z>late</z></row></r>",
    "repeated": "<r><row><a>1</a><a>2</a><g><a>3</a><b>4</b></g><b>5</b></row><row><g_a>6</g_a></row></r>",
    "cdata": "<r><row><a><![CDATA[<&>]]></a><b>x<![CDATA[ y ]]>z</b></row><row><b><![CDATA[]]></b></row></r>",
    "references": "<r><row><a>&lt;&amp;&gt;</a><b>&#65;&#x42;&quot;&apos;</b></row></r>",
    "utf16": '<?xml version="1.0" encoding="UTF-16"?><r><row><a>é€</a></row><row><ß>x</ß></row></r>'.encode("utf-16"),
    "latin1": '<?xml version="1.0" encoding="ISO-8859-1"?><r><row><a>café</a></row></r>'.encode("latin-1"),
}
# Columns come and go across batches of two, with nulls and awkward text.
MIXED = """<r><row><a>1</a><b>x, "q"</b></row><row/><row><c>line1
line2</c></row><row><b>é</b><a>2</a></row><row><d>4</d></row></r>"""
MIXED_ROWS = [
    {"a": "1", "b": 'x, "q"', "c": None, "d": None},
    {"a": None, "b": None, "c": None, "d": None},
    {"a": None, "b": None, "c": "line1\nline2", "d": None},
    {"a": "2", "b": "é", "c": None, "d": None},
    {"a": None, "b": None, "c": None, "d": "4"},
]


def core(path, batch_rows):
    """The core's batches with their row counts, a batch without columns
    holding records without values (full unless it is the last)."""
    total, seen, out = qk.count_xml_records(path), 0, []
    for names, values in qk.stream_xml_file(path, batch_rows):
        rows = len(values[0]) if values else min(batch_rows, total - seen)
        seen += rows
        out.append((names, values, rows))
    return out


def expected(path, batch_rows):
    """The core's rows lined up to the union of its columns."""
    names, rows = [], []
    for batch_names, values, n in core(path, batch_rows):
        names += [x for x in batch_names if x not in names]
        rows += [dict(zip(batch_names, row)) for row in zip(*values)] if values else [{}] * n
    return names, [{name: row.get(name) for name in names} for row in rows]


def check_against_core(path, batch_rows):
    names, rows = expected(path, batch_rows)
    table = read_xml(path, batch_rows=batch_rows)
    got = table.to_arrow()
    assert got.column_names == names == table.column_names
    assert got.to_pylist() == rows
    assert got.num_rows == len(rows) == qk.count_xml_records(path)
    assert got.schema == table.schema
    found = _native.discover(path)
    assert (found.columns, found.records) == (names, len(rows))
    per_batch = [
        (b.schema.names, [c.to_pylist() for c in b.columns], b.num_rows) for b in record_batches(path, batch_rows)
    ]
    assert per_batch == core(path, batch_rows)


@pytest.mark.parametrize("batch_rows", BATCH_ROWS)
@pytest.mark.parametrize("doc", DOCS.values(), ids=DOCS.keys())
def test_hand_written_documents_match_the_core(write_xml, doc, batch_rows):
    check_against_core(write_xml(doc), batch_rows)


def test_decoded_documents_give_their_text(write_xml):
    assert read_xml(write_xml(DOCS["utf16"])).to_arrow().to_pylist() == [{"a": "é€", "ß": None}, {"a": None, "ß": "x"}]
    assert read_xml(write_xml(DOCS["latin1"])).to_arrow().to_pylist() == [{"a": "café"}]


def test_random_documents_match_the_core(rng, write_xml):
    # Most generated documents are malformed somewhere; go on until enough are not.
    good = 0
    for _ in range(2000):
        if good == 100:
            break
        data = random_document(rng)
        path = write_xml(data, name="random.xml")
        try:
            list(qk.stream_xml_file(path, 65536))
        except ValueError:
            # The core fails somewhere: so does every way in, before any table.
            for call in (lambda p: read_xml(p, batch_rows=2).to_arrow(), lambda p: _native.discover(p)):
                with pytest.raises(ValueError, match="^" + PREFIX):
                    call(path)
            continue
        if not _ends_whole(path):
            # The core ends leniently; the companion delivers the same rows,
            # then says how the document ended.
            rows = []
            with pytest.raises(ValueError, match=r"truncated\?$|no XML element"):
                for batch in read_xml(path, batch_rows=2):
                    rows += batch.to_pylist()
            assert len(rows) == qk.count_xml_records(path)
            continue
        good += 1
        for batch_rows in BATCH_ROWS:
            check_against_core(path, batch_rows)
    assert good == 100


def _ends_whole(path):
    try:
        _native.split(path, 1 << 62, check_end=True)
    except ValueError as exc:
        assert "truncated?" in str(exc) or "no XML element" in str(exc)
        return False
    return True


# ---- Consumers ----------------------------------------------------------------------


def _polars_frame(t):
    return pytest.importorskip("polars").DataFrame(t).to_dicts()


def _polars_struct(t):
    return pytest.importorskip("polars").from_arrow(t).struct.unnest().to_dicts()


def _duckdb(t):
    rel = pytest.importorskip("duckdb").sql("select * from t")
    return [dict(zip(rel.columns, row)) for row in rel.fetchall()]


def _pandas(t):
    pd = pytest.importorskip("pandas")
    df = t.to_pandas()
    assert all(dtype == pd.StringDtype("pyarrow") for dtype in df.dtypes)
    # Element by element: to_dict would turn pd.NA into None itself.
    records = [dict(zip(df.columns, row)) for row in zip(*(list(df[c]) for c in df.columns))]
    assert all(v is pd.NA or isinstance(v, str) for row in records for v in row.values())
    return [{k: None if v is pd.NA else v for k, v in row.items()} for row in records]


CONSUMERS = {
    "pa.table": lambda t: pa.table(t).to_pylist(),
    "RecordBatchReader": lambda t: pa.RecordBatchReader.from_stream(t).read_all().to_pylist(),
    "polars.DataFrame": _polars_frame,
    "polars.from_arrow": _polars_struct,
    "duckdb": _duckdb,
    "pandas": _pandas,
}


@pytest.mark.parametrize("consume", CONSUMERS.values(), ids=CONSUMERS.keys())
def test_consumers_take_the_table_directly(write_xml, consume):
    if consume is CONSUMERS["RecordBatchReader"] and not hasattr(pa.RecordBatchReader, "from_stream"):
        pytest.skip("pyarrow without RecordBatchReader.from_stream")
    assert consume(read_xml(write_xml(MIXED), batch_rows=2)) == MIXED_ROWS


# ---- Schema and columns ---------------------------------------------------------------


def test_every_column_is_a_nullable_string(write_xml):
    table = read_xml(write_xml(MIXED), batch_rows=2)
    for schema in [table.schema, pa.table(table).schema] + [b.schema for b in table]:
        assert schema.names == ["a", "b", "c", "d"]
        assert all(f.type == pa.string() and f.nullable for f in schema)


@pytest.mark.parametrize("batch_rows", [1, 3, 100])
def test_records_without_values_only_are_rows_without_columns(write_xml, batch_rows):
    table = read_xml(write_xml(DOCS["bare_records"]), batch_rows=batch_rows)
    for got in (table.to_arrow(), pa.table(table)):
        assert (got.num_rows, got.num_columns) == (4, 0)


@pytest.mark.parametrize("batch_rows", [1, 2, 100])
def test_columns_given(write_xml, batch_rows):
    path = write_xml(MIXED)
    got = read_xml(path, batch_rows=batch_rows, columns=["d", "zz", "b", "a", "c"]).to_arrow()
    assert got.column_names == ["d", "zz", "b", "a", "c"]
    assert got.column("zz").null_count == 5
    assert got.to_pylist() == [dict(row, zz=None) for row in MIXED_ROWS]
    # A projection: the file's other columns are skipped, whatever the way in.
    wanted = ["a", "b", "d"]
    expected = [{k: row.get(k) for k in wanted} for row in MIXED_ROWS]
    with open(path, "rb") as data:
        tables = [
            read_xml(path, batch_rows=batch_rows, columns=wanted).to_arrow(),
            pa.table(read_xml(path, batch_rows=batch_rows, columns=wanted)),
            read_xml(io.BytesIO(data.read()), batch_rows=batch_rows, columns=wanted).to_arrow(),
        ]
    for got in tables:
        assert got.column_names == wanted and got.to_pylist() == expected


def test_duplicate_columns_are_refused(write_xml):
    path = write_xml(MIXED)
    with pytest.raises(ConversionError, match="duplicate"):
        read_xml(path, columns=["a", "b", "a"])
    with pytest.raises(ConversionError, match="duplicate"):
        list(record_batches(path, columns=["a", "a"]))


# ---- Errors -----------------------------------------------------------------------------

ERROR_CALLS = {
    "iterate": lambda p: list(read_xml(p)),
    "iterate_columns": lambda p: list(read_xml(p, columns=["a"])),
    "schema": lambda p: read_xml(p).schema,
    "to_arrow": lambda p: read_xml(p, batch_rows=1).to_arrow(),
    "discover": lambda p: _native.discover(p),
}


@pytest.mark.parametrize("call", ERROR_CALLS.values(), ids=ERROR_CALLS.keys())
def test_failures_are_the_modules_value_error(write_xml, call):
    path = write_xml("<r><row><a>1</a></row><row><a>2</b></row></r>")
    with pytest.raises(ValueError) as info:
        call(path)
    assert str(info.value).startswith(f"{PREFIX}{path}'")
    assert quelbrand.is_xml_error(info.value)
    # Through the stream, pyarrow's ValueError carries the same message.
    with pytest.raises(ValueError) as streamed:
        pa.table(read_xml(path))
    assert str(streamed.value) == str(info.value)
    assert quelbrand.is_xml_error(streamed.value)


@pytest.mark.parametrize("call", [*ERROR_CALLS.values(), lambda p: pa.table(read_xml(p))], ids=[*ERROR_CALLS, "stream"])
def test_a_missing_file_is_file_not_found_naming_it(tmp_path, call):
    path = str(tmp_path / "no.xml")
    with pytest.raises(FileNotFoundError) as info:
        call(path)
    assert info.value.filename == path
    assert not quelbrand.is_xml_error(info.value)


def test_reading_goes_on_after_a_failed_step(write_xml):
    path = write_xml("<r><row><a>1</a></row><row><a>&bad;</a></row><row><b>2</b></row></r>")
    for discover in (False, True):
        reader, outcomes = _native.open(path, 1, prefetch=True, discover=discover), []
        while len(outcomes) < 20 and "stop" not in outcomes:
            try:
                outcomes.append(len(next(reader)))
            except StopIteration:
                outcomes.append("stop")
            except ValueError:
                outcomes.append("error")
        assert outcomes[-1] == "stop" and "error" in outcomes, (discover, outcomes)


# ---- Pipes --------------------------------------------------------------------------------


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


def _to_arrow(t):
    return t.to_arrow()


SOME = ["d", "a", "zz", "c", "b"]


@pytest.mark.parametrize(
    "consume, columns",
    [
        pytest.param(_to_arrow, None, id="to_arrow"),
        pytest.param(_to_arrow, SOME, id="to_arrow-columns"),
        pytest.param(pa.table, None, id="pa.table"),
        pytest.param(pa.table, SOME, id="pa.table-columns"),
    ],
)
def test_a_pipe_gives_the_files_table(write_xml, pipe, columns, consume):
    data = (MIXED + "\n").encode()
    from_file = read_xml(write_xml(data), batch_rows=2, columns=columns).to_arrow()
    got = consume(read_xml(pipe(data), batch_rows=2, columns=columns))
    assert got.schema == from_file.schema
    assert got.to_pylist() == from_file.to_pylist()


# ---- Lifetimes ------------------------------------------------------------------------------


def test_batches_outlive_their_reader_and_table(write_xml):
    path = write_xml(MIXED)
    table = read_xml(path, batch_rows=2)
    it = iter(table)
    kept = [next(it), next(it)]
    native = next(iter(_native.open(path, 3, prefetch=True, discover=True)))
    twice = [pa.record_batch(native), pa.record_batch(native)]
    del it, table, native
    gc.collect()
    assert [row for b in kept for row in b.to_pylist()] == MIXED_ROWS[:4]
    assert twice[0].to_pylist() == twice[1].to_pylist() == MIXED_ROWS[:3]


DROP_MID_STREAM = r"""
import itertools, sys
from quelbrand import _native, read_xml
path = sys.argv[1]
for discover in (False, True):
    for _ in range(5):
        reader = _native.open(path, 100, prefetch=True, discover=discover)
        next(reader)
        del reader  # the worker is building the next batch, discovery is under way
it = iter(read_xml(path, batch_rows=50))
list(itertools.islice(it, 3))
del it
print("ok")
"""


def test_dropping_a_reader_mid_stream(write_xml):
    rows = "".join(f"<row><a>{i}</a><b>{'v' * (i % 50)}</b><c{i % 7}>x</c{i % 7}></row>" for i in range(200_000))
    path = write_xml(f"<r>{rows}</r>")
    # The timeout only guards against a hang.
    proc = subprocess.run([sys.executable, "-c", DROP_MID_STREAM, path], capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr


# ---- Files written ------------------------------------------------------------------------


@pytest.mark.parametrize("row_group_rows", [None, 1, 3])
def test_write_parquet_round_trip(write_xml, tmp_path, row_group_rows):
    pq = pytest.importorskip("pyarrow.parquet")
    table = read_xml(write_xml(MIXED), batch_rows=2)
    out = tmp_path / "out.parquet"
    assert table.write_parquet(out, row_group_rows=row_group_rows) == 5
    back = pq.read_table(out)
    assert back.schema == table.schema
    assert back.to_pylist() == MIXED_ROWS


@pytest.mark.parametrize("to_file", [False, True], ids=["path", "file_object"])
def test_write_csv_round_trip(write_xml, tmp_path, to_file):
    table = read_xml(write_xml(MIXED), batch_rows=2)
    out = tmp_path / "out.csv"
    if to_file:
        sink = io.BytesIO()
        assert table.write_csv(sink) == 5
        out.write_bytes(sink.getvalue())
    else:
        assert table.write_csv(out) == 5
    with open(out, newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f))
    assert header == ["a", "b", "c", "d"]
    assert rows == [["" if row[k] is None else row[k] for k in header] for row in MIXED_ROWS]


def test_a_text_error_comes_where_reading_meets_it(write_xml):
    # The discovery beside the reading skips text, so an error in text is
    # raised by the batch that holds it, after the batches before it.
    path = write_xml("<r><row><a>1</a></row><row><b>&bad;</b></row><row><c>3</c></row></r>")
    with pytest.raises(ValueError, match="^" + PREFIX):
        _native.discover(path)
    found = _native.discover(path, check_text=False)
    assert (found.columns, found.records) == (["a", "b", "c"], 3)
    reader = _native.open(path, 1, prefetch=True, discover=True)
    first = pa.record_batch(next(reader))
    assert first.schema.names == ["a", "b", "c"] and first.to_pylist() == [{"a": "1", "b": None, "c": None}]
    with pytest.raises(ValueError, match=r"^" + PREFIX + r".*line 1, byte"):
        next(reader)


def test_dropping_a_reader_whose_worker_waits_on_a_pipe(tmp_path):
    # The worker goes on to the next batch and blocks reading a pipe whose
    # writer is open but silent; dropping the reader must not wait for it.
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    code = f"""
import os
from quelbrand import _native
writer = os.open({str(fifo)!r}, os.O_RDWR)
os.write(writer, b"<r><row><a>1</a></row>")
reader = _native.open({str(fifo)!r}, 1, prefetch=True)
print(len(next(reader)))
del reader
print("dropped", flush=True)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.split()) == (0, ["1", "dropped"]), result.stderr


@pytest.mark.parametrize("batch_rows", [0, -1, 1.5, True, "2"])
@pytest.mark.parametrize(
    "call",
    [
        lambda path, n, out: read_xml(path, batch_rows=n),
        lambda path, n, out: quelbrand.convert.convert(path, out, batch_rows=n),
        lambda path, n, out: quelbrand.arrow.to_pandas(path, n),
    ],
)
def test_batch_rows_means_one_thing_everywhere(write_xml, tmp_path, batch_rows, call):
    path = write_xml("<r><row><a>1</a></row></r>")
    with pytest.raises(ValueError, match="batch_rows must be a positive integer"):
        call(path, batch_rows, tmp_path / "out.csv")
    assert os.listdir(tmp_path) == [os.path.basename(path)]


class _Unseekable(io.RawIOBase):
    """Bytes that can be read only once, as from a pipe."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)


@pytest.mark.parametrize("once", [False, True])
@pytest.mark.parametrize("options", [{}, {"types": True}, {"attributes": True, "types": True}])
def test_columns_project_typed_and_attribute_columns_from_any_input(write_xml, once, options):
    doc = '<r><row id="1"><n>1</n><s>x</s></row><row id="2"><n>2</n><late>5</late></row><row/></r>'
    source = _Unseekable(doc.encode()) if once else write_xml(doc)
    wanted = ["late", "n", "id"] if options.get("attributes") else ["late", "n"]
    got = read_xml(source, columns=wanted, **options).to_arrow()
    whole = read_xml(write_xml(doc), **options).to_arrow()
    assert got.column_names == wanted
    assert got.to_pylist() == whole.select(wanted).to_pylist()
    assert got.schema == whole.select(wanted).schema


@pytest.mark.parametrize(
    "encoding, a, b", [("iso-8859-1", "Größe", "bä"), ("windows-1251", "Запись", "ключ"), ("shift_jis", "記録", "鍵")]
)
def test_nested_fields_are_named_in_utf8_whatever_the_encoding(write_xml, encoding, a, b):
    # Nested fields are named as the same document in UTF-8 names them; flat
    # columns keep the name's bytes, replacement characters and all, as the
    # kernels module names them.
    text = f'<r><{a} {b}="1"><v>x</v><v>y</v></{a}><w><{a}><v>z</v></{a}></w><e {b}="2"/></r>'
    head = '<?xml version="1.0" encoding="{}"?>'
    utf8 = write_xml((head.format("UTF-8") + text).encode())
    other = write_xml((head.format(encoding) + text).encode(encoding))
    want = quelbrand.read_xml(utf8, nested=True, attributes=True).to_arrow()
    got = quelbrand.read_xml(other, nested=True, attributes=True).to_arrow()
    assert got.schema == want.schema and got.equals(want)
    kernel_names = [batch[0] for batch in qk.stream_xml_file(other, 100)][0]
    assert quelbrand.read_xml(other).column_names == kernel_names


# ---- The first fault, whichever pass meets one ----------------------------------------
# Columns, shapes and split points are found by passes that skim text, so
# they meet a fault in markup before the reading meets one in text earlier
# in the file; the file's first fault is raised all the same.


def _gzipped(path):
    import gzip

    with open(path, "rb") as f:
        data = f.read()
    with gzip.open(path + ".gz", "wb") as f:
        f.write(data)
    return path + ".gz"


FIRST_FAULT_CALLS = {
    "iterate": lambda p: list(read_xml(p, batch_rows=100)),
    "stream": lambda p: pa.table(read_xml(p, batch_rows=100)),
    "to_arrow": lambda p: read_xml(p, batch_rows=100, threads=1).to_arrow(),
    "pieces": lambda p: read_xml(p, batch_rows=100, threads=2).to_arrow(),
    "to_pandas": lambda p: read_xml(p, threads=2).to_pandas(),
    "types": lambda p: read_xml(p, types=True).to_arrow(),
    "columns": lambda p: read_xml(p, batch_rows=100).column_names,
    "nested": lambda p: list(read_xml(p, nested=True, batch_rows=100)),
    "nested_pieces": lambda p: read_xml(p, nested=True, threads=2).to_arrow(),
    "compressed": lambda p: list(read_xml(_gzipped(p), batch_rows=100)),
    "compressed_nested": lambda p: list(read_xml(_gzipped(p), nested=True)),
}


@pytest.mark.parametrize("order", FAULT_ORDERS, ids="-".join)
@pytest.mark.parametrize("call", FIRST_FAULT_CALLS.values(), ids=FIRST_FAULT_CALLS.keys())
def test_the_first_fault_in_the_file_is_raised(faulty_xml, monkeypatch, order, call):
    import quelbrand.nested
    import quelbrand.parallel

    # Pieces small enough for a small file to be read in several.
    monkeypatch.setattr(quelbrand.parallel, "MIN_PIECE", 4096)
    monkeypatch.setattr(quelbrand.nested, "PARALLEL_SHAPE_BYTES", 4096)
    monkeypatch.setattr(quelbrand.nested, "PIECE_BYTES_MIN", 4096)
    path, expected = faulty_xml(order)
    with pytest.raises(ValueError) as info:
        call(path)
    assert quelbrand.is_xml_error(info.value)
    if call in (FIRST_FAULT_CALLS["compressed"], FIRST_FAULT_CALLS["compressed_nested"]):
        expected = (expected[0], "")  # a stream read once counts no lines
    assert_first_fault(info.value, expected)


def test_the_first_fault_is_the_same_message_through_every_interface(faulty_xml):
    path, _ = faulty_xml(FAULT_ORDERS[0])
    messages = set()
    for call in (FIRST_FAULT_CALLS["iterate"], FIRST_FAULT_CALLS["stream"], FIRST_FAULT_CALLS["to_arrow"]):
        with pytest.raises(ValueError) as info:
            call(path)
        messages.add(str(info.value))
    assert len(messages) == 1


# ---- What each consumer of the stream raises -------------------------------------------


def _consume(consumer, table):
    if consumer == "pyarrow":
        return pa.table(table)
    if consumer == "pyarrow_reader":
        return pa.RecordBatchReader.from_stream(table).read_all()
    if consumer.startswith("polars"):
        pl = pytest.importorskip("polars")
        return pl.DataFrame(table) if consumer == "polars_frame" else pl.from_arrow(table)
    duckdb = pytest.importorskip("duckdb")
    if consumer == "duckdb_stream":
        stream = pa.RecordBatchReader.from_stream(table)  # noqa: F841 - read by name
        return duckdb.sql("select * from stream").fetchall()
    xml_table = table  # noqa: F841 - read by name
    return duckdb.sql("select * from xml_table").fetchall()


@pytest.mark.parametrize(
    "consumer", ["pyarrow", "pyarrow_reader", "polars_frame", "polars_from_arrow", "duckdb_stream", "duckdb_table"]
)
@pytest.mark.parametrize(
    "fault", ["<r><a><b>1</b></a><a><b>&bad;</b></a></r>", "<r><a><b>1</b></a><a><b>2</c></a></r>"]
)
def test_every_consumer_s_error_carries_the_message_and_is_recognised(write_xml, consumer, fault):
    path = write_xml(fault)
    with pytest.raises(ValueError) as iterated:
        list(read_xml(path))
    with pytest.raises(Exception) as consumed:
        _consume(consumer, read_xml(path))
    assert str(iterated.value) in str(consumed.value)
    assert quelbrand.is_xml_error(consumed.value)
    if consumer.startswith("pyarrow"):
        # A ValueError with the same words, line and byte.
        assert isinstance(consumed.value, ValueError)
        assert str(consumed.value) == str(iterated.value)


@pytest.mark.parametrize(
    "error",
    [
        ValueError("failed to parse the input"),
        ValueError(f"a note: {PREFIX}, and no more"),  # the words alone are not our message
        RuntimeError(f"{PREFIX}x.xml': y"),
        pa.ArrowInvalid("failed to parse XML file"),
        FileNotFoundError(2, "No such file or directory"),
    ],
)
def test_other_errors_are_not_taken_for_xml_errors(error):
    assert not quelbrand.is_xml_error(error)


# ---- Messages that name the cause -----------------------------------------------------


@pytest.mark.parametrize("label", ["IBM855", "MacCyrillic", "no-such-encoding"])
@pytest.mark.parametrize(
    "call", [lambda p: list(read_xml(p)), lambda p: pa.table(read_xml(p))], ids=["iterate", "stream"]
)
def test_a_decoding_error_names_an_unsupported_declared_encoding(write_xml, label, call):
    doc = f'<?xml version="1.0" encoding="{label}"?>\n<r>\n<a><b>x</b></a>\n'.encode() + b"<a><b>\xad\xe0</b></a></r>"
    path = write_xml(doc)
    with pytest.raises(ValueError) as info:
        call(path)
    note = f"the document declares encoding '{label}', which is not supported; it was read as UTF-8"
    at = doc.index(b"\xad")  # where the text event begins
    assert str(info.value) == f"{PREFIX}{path}': {note}: invalid UTF-8 in text at line 4, byte {at}"
    # The kernels module keeps its own words.
    with pytest.raises(ValueError) as kernels:
        list(qk.stream_xml_file(path, 10))
    assert "not supported" not in str(kernels.value)


def test_a_known_encoding_s_errors_say_nothing_of_it(write_xml):
    path = write_xml(b'<?xml version="1.0" encoding="UTF-8"?>\n<r><a><b>\xad</b></a></r>')
    with pytest.raises(ValueError, match="invalid UTF-8") as info:
        list(read_xml(path))
    assert "declares encoding" not in str(info.value)


@pytest.mark.parametrize("method", ["write_parquet", "write_csv", "write_jsonl"])
@pytest.mark.parametrize("existing", [False, True])
def test_a_failed_write_leaves_the_target_as_it_was(tmp_path, faulty_xml, method, existing):
    path, expected = faulty_xml(FAULT_ORDERS[0], records=600)
    out = tmp_path / "out"
    if existing:
        out.write_bytes(b"before")
    with pytest.raises(ValueError) as info:
        getattr(read_xml(path, batch_rows=50), method)(out)
    assert_first_fault(info.value, expected)
    assert info.value.__notes__[-1].startswith(f"nothing was written to {os.path.realpath(out)!r}")
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(path)] + ["out"] * existing)
    assert not existing or out.read_bytes() == b"before"


# Reads every file given, through the table, the counter and the native
# stream, and prints what each gave (or the error, with its position).
READ_ON_ONE_PATH = """
import sys
import quelbrand, quelbrand_kernels as qk
from quelbrand import _native
for path in sys.argv[1:]:
    for read in (lambda: quelbrand.read_xml(path).to_arrow().to_pylist(), lambda: qk.count_xml_records(path),
                 lambda: _native.discover(path).records):
        try:
            print(repr(read()))
        except Exception as e:
            print(type(e).__name__, e)
"""
TRICKY = {
    "multibyte": "<r>"
    + "".join(f"<row><a>caf\u00e9 \u20ac{i}</a><b>\U0001f600{'x' * i}</b></row>" for i in range(70))
    + "</r>",
    "cdata_comments": "<r><row><a><![CDATA[ ]] > <x> ]]></a><!-- c -- > --><b>1</b></row>"
    "<row><?pi x?><a>2</a></row></r>",
    "entities": "<r>" + "<row><a>&lt;&amp;&#233;&#x20AC;</a><b>x &quot;y&quot;</b></row>" * 40 + "</r>",
    "crlf": "<r>\r\n" + "<row>\r\n <a>1\r\n2</a>\r\n</row>\r\n" * 50 + "</r>",
    "attributes": "<r>"
    + "".join(f"<row k='{i}>' q=\"'\"><a x=\"a>b\">{i}</a><e y='z'/></row>" for i in range(60))
    + "</r>",
    "long_names": "<r>" + f"<row><{'n' * 70}>v</{'n' * 70}></row>" * 30 + "</r>",
    "bad_end": "<r>" + "<row><a>1</a></row>" * 200 + "<row><a>2</b></row></r>",
    "bad_text": "<r>" + "<row><a>1</a></row>" * 300 + "<row><a>\xff</a></row></r>",
    "cut_off": "<r>" + "<row><a x='1'>1</a></row>" * 300 + "<row><a x='",
}


@pytest.mark.parametrize("path", ["avx512", "avx2", "sse2"])
def test_every_scan_path_reads_alike(tmp_path, path):
    # QK_SIMD picks the tokenizer's classifier for a process; a path this CPU
    # lacks falls back to one it has, which must agree all the same.
    files = []
    for name, doc in TRICKY.items():
        files.append(tmp_path / f"{name}.xml")
        files[-1].write_bytes(doc.encode("latin-1") if name == "bad_text" else doc.encode())

    def run(isa):
        env = dict(os.environ, QK_SIMD=isa)
        proc = subprocess.run(
            [sys.executable, "-c", READ_ON_ONE_PATH, *map(str, files)],
            capture_output=True,
            text=True,
            env=env,
            timeout=300,
        )
        assert proc.returncode == 0, proc.stderr
        return proc.stdout.splitlines()

    want = run("scalar")
    assert any("line 1, byte" in line for line in want)  # the faults are reported with their places
    assert run(path) == want
