"""Nested reading: every value of every record in its row, once, in order.

The property test builds each row again from xml.etree with a reference
written here (shapes over the whole file, then values), and compares whole
tables, schema included, across batch sizes."""

import io
import json
import os
import xml.etree.ElementTree as ET
from collections import Counter

import pytest
from conftest import assert_fails_alike

import quelbrand
import quelbrand._native as _native

pa = pytest.importorskip("pyarrow")

NS = 'xmlns:p="urn:p"'
NAMES = ["a", "b", "c", "p:a", "item", "d"]
TEXTS = ["1", " 2 ", "", "   ", "Ann", "x y", "&lt;&amp;", "&#65;", "é", "2024-01-02", "true", "\n"]
ATTRS = ["k", "p:id", "n"]


def random_document(rng):
    """A well-formed document whose records have repeated, optional and
    mixed elements, attributes and whole-text candidates."""

    def text():
        t = rng.choice(TEXTS)
        return t + "<![CDATA[c&d]]>" if rng.random() < 0.05 else t

    def attrs():
        chosen = rng.sample(ATTRS[:2] if rng.random() < 0.5 else ATTRS[::2], rng.randint(0, 2))
        return "".join(f' {name}="{rng.choice(TEXTS[:7])}"' for name in chosen)

    def element(depth):
        name = rng.choice(NAMES)
        r = rng.random()
        if r < 0.1:
            return f"<{name}{attrs()}/>"
        parts = []
        if depth > 3 or r < 0.45:
            parts.append(text())
        else:
            for _ in range(rng.randint(0, 4)):
                if rng.random() < 0.3:
                    parts.append(text())  # mixed content
                parts.append(element(depth + 1))
        return f"<{name}{attrs()}>" + "".join(parts) + f"</{name}>"

    records = []
    for _ in range(rng.randint(0, 10)):
        if rng.random() < 0.1:
            records.append(f"<rec{attrs()}>{text()}</rec>")
        else:
            records.append(f"<rec{attrs()}>" + "".join(element(1) for _ in range(rng.randint(0, 5))) + "</rec>")
    return f"<root {NS}>" + "\n".join(records) + "</root>"


def local(name):
    return name.rsplit("}", 1)[-1]


def trimmed(text):
    return text.strip(" \t\r\n") or None


def own_text(el, whole):
    if whole:
        return "".join(el.itertext())
    return (el.text or "") + "".join(c.tail or "" for c in el)


def node():
    return {"attrs": {}, "elems": {}, "repeated": False, "text": False}


def reference_shape(el, shape, attributes, text_of):
    if attributes:
        for name, value in el.attrib.items():
            a = shape["attrs"].setdefault(local(name), node())
            a["text"] = a["text"] or trimmed(value) is not None
    whole = local(el.tag) in text_of
    if not whole:
        counts = Counter(local(c.tag) for c in el)
        for c in el:
            child = shape["elems"].setdefault(local(c.tag), node())
            child["repeated"] = child["repeated"] or counts[local(c.tag)] > 1
            reference_shape(c, child, attributes, text_of)
    shape["text"] = shape["text"] or trimmed(own_text(el, whole)) is not None


def reference_value(el, shape, attributes, text_of, record=False):
    whole = local(el.tag) in text_of
    text = trimmed(own_text(el, whole))
    if not (record or shape["attrs"] or shape["elems"]):
        return text
    row = {}
    given = {local(k): v for k, v in el.attrib.items()} if attributes else {}
    for name in shape["attrs"]:
        row["@" + name] = trimmed(given[name]) if name in given else None
    for name, child in shape["elems"].items():
        kids = [] if whole else [c for c in el if local(c.tag) == name]
        if child["repeated"]:
            row[name] = [reference_value(k, child, attributes, text_of) for k in kids]
        else:
            row[name] = reference_value(kids[0], child, attributes, text_of) if kids else None
    if shape["text"]:
        row["#text"] = text
    return row


def reference_rows(data, attributes=False, text_of=()):
    records = list(ET.fromstring(data))
    shape = node()
    for rec in records:
        reference_shape(rec, shape, attributes, text_of)
    return [reference_value(rec, shape, attributes, text_of, record=True) for rec in records]


def test_random_documents_keep_every_value(rng):
    for i in range(150):
        data = random_document(rng).encode()
        attributes = rng.random() < 0.6
        text_of = rng.sample(["a", "b", "c"], rng.randint(0, 1))
        expected = reference_rows(data, attributes, text_of)
        for batch_rows in (1, 3, 1000):
            table = quelbrand.read_xml(
                data, nested=True, attributes=attributes, text_of=text_of, batch_rows=batch_rows
            ).to_arrow()
            table.validate(full=True)
            assert table.to_pylist() == expected, (i, batch_rows, attributes, text_of, data)
        if expected:
            assert table.column_names == list(expected[0])


def read(data, **options):
    return quelbrand.read_xml(data.encode(), nested=True, **options)


@pytest.mark.parametrize(
    ("doc", "options", "rows"),
    [
        # A leaf record keeps its text.
        ("<root><id>x</id><id>y</id></root>", {}, [{"#text": "x"}, {"#text": "y"}]),
        # Repeated somewhere is a list everywhere: empty where the parent is
        # present, null with an absent parent.
        (
            "<r><x><p><b>1</b><b>2</b></p></x><x><p/></x><x/></r>",
            {},
            [{"p": {"b": ["1", "2"]}}, {"p": {"b": []}}, {"p": None}],
        ),
        # A leaf here and a struct there is the struct, its text in #text.
        (
            "<r><x><a>t</a></x><x><a><b>u</b></a></x></r>",
            {},
            [{"a": {"b": None, "#text": "t"}}, {"a": {"b": "u", "#text": None}}],
        ),
        # Text beside children, pieces joined in document order.
        ("<r><x>one <b>2</b> three</x></r>", {}, [{"b": "2", "#text": "one  three"}]),
        # Local names: prefixes are dropped, so both are the one list.
        ('<r xmlns:p="u"><x><p:a>1</p:a><a>2</a></x></r>', {}, [{"a": ["1", "2"]}]),
        # Attributes first, then children, then text.
        (
            '<r><x id="7"><a n="1">v</a>t</x></r>',
            {"attributes": True},
            [{"@id": "7", "a": {"@n": "1", "#text": "v"}, "#text": "t"}],
        ),
        # Whole text: descendants' text, markup dropped.
        (
            "<r><x><t>kg/m<sup>2</sup> <i>a</i></t></x></r>",
            {"text_of": ["t"]},
            [{"t": "kg/m2 a"}],
        ),
        # A whole-text element keeps its attributes.
        (
            '<r><x><t lang="en">a<b>c</b></t></x></r>',
            {"text_of": ["t"], "attributes": True},
            [{"t": {"@lang": "en", "#text": "ac"}}],
        ),
        # References and CDATA are text like any other.
        ("<r><x><a>&lt;<![CDATA[&b]]>&#65;</a></x></r>", {}, [{"a": "<&bA"}]),
        # A record without values is a row all the same.
        ("<r><x/><x><a>1</a></x></r>", {}, [{"a": None}, {"a": "1"}]),
    ],
)
def test_nested_rows(doc, options, rows):
    assert read(doc, **options).to_arrow().to_pylist() == rows


@pytest.mark.parametrize(
    ("doc", "types"),
    [
        ("<r><x><n>1</n><n>2</n><f>1.5</f></x><x><f>2</f></x></r>", {"n": "large_list<item: int64>", "f": "double"}),
        (
            "<r><x><d>2024-01-01</d><s>a</s></x><x><d>2024-02-03</d><s>1</s></x></r>",
            {"d": "date32[day]", "s": "large_string"},
        ),
        ('<r><x ok="true"><v>1</v>x</x></r>', {"@ok": "bool", "v": "int64", "#text": "large_string"}),
    ],
)
def test_types_per_path(doc, types):
    table = read(doc, types=True, attributes=True).to_arrow()
    table.validate(full=True)
    assert {f.name: str(f.type) for f in table.schema} == types


def test_worked_example_schema():
    doc = '<books><book id="1"><author>A</author><author>B</author><title>T</title></book></books>'
    table = read(doc, attributes=True)
    assert str(table.schema).splitlines() == [
        "@id: large_string",
        "author: large_list<item: large_string>",
        "  child 0, item: large_string",
        "title: large_string",
    ]
    assert table.to_arrow().to_pylist() == [{"@id": "1", "author": ["A", "B"], "title": "T"}]


DOC = '<r><x id="1"><b>1</b><b>2</b><c><d>"q"</d>t</c></x><x id="2"><c>,</c></x></r>'


@pytest.mark.parametrize(
    ("fmt", "expected"),
    [
        (
            "jsonl",
            '{"@id": "1", "b": ["1", "2"], "c": {"d": "\\"q\\"", "#text": "t"}}\n'
            '{"@id": "2", "b": [], "c": {"#text": ","}}\n',
        ),
        (
            "csv",
            '@id,b,c\r\n1,"[""1"", ""2""]","{""d"": ""\\""q\\"""", ""#text"": ""t""}"\r\n2,[],"{""#text"": "",""}"\r\n',
        ),
    ],
)
def test_text_outputs_write_nested_values(fmt, expected):
    out = io.BytesIO()
    table = read(DOC, attributes=True)
    assert (table.write_jsonl if fmt == "jsonl" else table.write_csv)(out) == 2
    assert out.getvalue().decode() == expected
    if fmt == "jsonl":
        assert [json.loads(line) for line in expected.splitlines()][0]["b"] == ["1", "2"]


def test_parquet_pandas_polars_duckdb_take_nested_types():
    table = read(DOC, attributes=True)
    expected = table.to_arrow()
    out = io.BytesIO()
    assert table.write_parquet(out) == 2
    pq = pytest.importorskip("pyarrow.parquet")
    assert pq.read_table(io.BytesIO(out.getvalue())).equals(expected)
    frame = table.to_pandas()
    assert list(frame["b"][0]) == ["1", "2"] and frame["c"][1] == {"d": None, "#text": ","}
    pl = pytest.importorskip("polars")
    assert pl.from_arrow(expected).explode("b")["b"].to_list()[:2] == ["1", "2"]
    duckdb = pytest.importorskip("duckdb")
    assert duckdb.sql("select unnest(b) as v from expected").fetchall() == [("1",), ("2",)]


def test_pieces_shapes_merge_as_the_whole_files():
    first = b"<r><x><a>1</a></x><x><b>2</b><b>3</b></x></r>"
    second = b'<r><x><c k="v">t</c><a><i>4</i></a></x></r>'
    whole = b"<r>" + first[3:-4] + second[3:-4] + b"</r>"
    a = _native.discover_nested(first, attributes=True)[0]
    b = _native.discover_nested(second, attributes=True)[0]
    assert _native.merge_shapes(a, b) == _native.discover_nested(whole, attributes=True)[0]
    merged = quelbrand.NestedTable(first, attributes=True, shape=_native.merge_shapes(a, b)).to_arrow()
    assert merged.column_names == ["a", "b", "c"]
    assert merged.to_pylist()[1] == {"a": None, "b": ["2", "3"], "c": None}


@pytest.mark.parametrize(
    "later",
    [
        b"<r><x><z>new</z></x></r>",  # an element the shape lacks
        b"<r><x><a>1</a><a>2</a></x></r>",  # repeated where the shape has one
        b"<r><x><a><i>1</i></a></x></r>",  # children where the shape has a leaf
    ],
)
def test_a_file_that_changed_since_its_shape_was_found_fails(later):
    shape = _native.discover_nested(b"<r><x><a>1</a></x></r>")[0]
    with pytest.raises(ValueError, match="did the file change"):
        quelbrand.NestedTable(later, shape=shape).to_arrow()


@pytest.mark.parametrize("bad", [b"", b"QKN1", b"QKN1\x00\x00\x00\xff\xff\xff\xff", b"nope"])
def test_shapes_that_are_not_shapes_are_refused(bad):
    with pytest.raises(ValueError, match="not a shape"):
        _native.nested_schema(bad)


def test_options_that_do_not_apply_are_refused():
    with pytest.raises(ValueError, match="nested=True"):
        quelbrand.read_xml(b"<r/>", text_of=["a"])
    with pytest.raises(TypeError, match="single string"):
        quelbrand.read_xml(b"<r/>", nested=True, text_of="a")


# ---- Split reading ---------------------------------------------------------------------


def big_document(rng):
    """A random document of many records, for splitting into small blocks."""
    records = [random_document(rng)[len(f"<root {NS}>") : -len("</root>")] for _ in range(60)]
    return f"<root {NS}>" + "\n".join(records) + "</root>"


@pytest.mark.parametrize("types", [False, True])
def test_split_reads_equal_whole_reads(rng, write_xml, types):
    from quelbrand.split import survey

    for i in range(4):
        data = big_document(rng).encode()
        path = write_xml(data, name="nested.xml")
        options = {"attributes": rng.random() < 0.6, "text_of": rng.sample(["a", "c"], rng.randint(0, 1))}
        whole = quelbrand.read_xml(path, nested=True, types=types, **options)
        expected = whole.to_arrow()
        for blocksize in (300, 1000):
            found = survey(path, blocksize, nested=True, types=types, **options)
            assert len(found.ranges) > len(data) // blocksize // 4
            # Pieces' shapes merged in file order are the whole file's.
            assert found.shape == whole.shape, (i, blocksize, data)
            batches = [
                pa.record_batch(b)
                for part in found.ranges
                for b in part.open_nested(2, found.shape, types=types, **options)
            ]
            got = pa.Table.from_batches(batches, schema=expected.schema)
            assert got.equals(expected), (i, blocksize, data)
            assert found.records == expected.num_rows


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_convert_in_ranges_writes_what_one_reading_writes(rng, write_xml, tmp_path, fmt):
    from quelbrand.convert import convert

    path = write_xml(big_document(rng), name="nested.xml")
    outs = []
    for jobs in (1, 3):
        out = tmp_path / f"out{jobs}.{fmt}"
        options = {"attributes": True, "types": True, "record_column": "kind"}
        convert(path, str(out), nested=True, jobs=jobs, blocksize=500, **options)
        outs.append(out.read_bytes())
    assert outs[0] == outs[1]


@pytest.mark.parametrize(("depth", "fails"), [(31, False), (32, True), (100000, True)])
def test_nesting_is_bounded(depth, fails):
    # Every level repeated: a list and a struct each, the deepest Arrow takes.
    doc = "<r><x>" + "<a>" * depth + "v" + "</a>" * depth + "<a/></x></r>"
    doc = doc.replace("<a><a>", "<a><a/><a>")
    if fails:
        with pytest.raises(ValueError, match="nested deeper than 32"):
            read(doc).to_arrow()
        # Inside a whole-text element depth costs nothing.
        assert read(doc, text_of=["a"]).to_arrow().to_pylist() == [{"a": ["v", None]}]
    else:
        table = read(doc).to_arrow()
        table.validate(full=True)
        assert "'v'" in str(table.to_pylist())


def test_records_chosen_by_name_are_nested_rows():
    doc = "<rss><channel><title>c</title><item><t>1</t><t>2</t></item><item><t>3</t></item></channel></rss>"
    assert read(doc, record="item").to_arrow().to_pylist() == [{"t": ["1", "2"]}, {"t": ["3"]}]


DBLP = (
    '<dblp><article key="a"><author>A</author><author>B</author></article><www key="w"><title>H</title></www>'
    + '<inproceedings key="p"><author>C</author><title>T</title></inproceedings></dblp>'
)


def test_the_record_name_column_comes_first_with_each_records_name():
    table = read(DBLP, record=["article", "inproceedings"], record_column="kind", attributes=True)
    assert table.column_names == ["kind", "@key", "author", "title"]
    assert table.to_arrow().to_pylist() == [
        {"kind": "article", "@key": "a", "author": ["A", "B"], "title": None},
        {"kind": "inproceedings", "@key": "p", "author": ["C"], "title": "T"},
    ]
    flat = quelbrand.read_xml(DBLP.encode(), record=["article", "inproceedings"], record_column="kind")
    assert flat.to_arrow().column("kind").to_pylist() == table.to_arrow().column("kind").to_pylist()
    # An element of that name in the records would share its column.
    with pytest.raises(ValueError, match="record-name column"):
        read(DBLP, record_column="title").to_arrow()


def test_bytes_read_follows_the_reading(write_xml):
    path = write_xml("<r>" + "<x><a>1</a></x>" * 100 + "</r>")
    table = quelbrand.read_xml(path, nested=True)
    assert table.bytes_read == 0
    table.to_arrow()
    assert table.bytes_read > 1000


def test_a_large_file_finds_its_shape_in_pieces_at_once(rng, write_xml, monkeypatch):
    import quelbrand.nested

    monkeypatch.setattr(quelbrand.nested, "PARALLEL_SHAPE_BYTES", 0)
    monkeypatch.setattr(quelbrand.nested, "PIECE_BYTES_MIN", 200)
    data = big_document(rng).encode()
    path = write_xml(data, name="nested.xml")
    table = quelbrand.read_xml(path, nested=True, attributes=True, threads=3)
    assert table.shape == _native.discover_nested(path, attributes=True)[0]
    # The ranges it was found in are read at once as well.
    whole = table.to_arrow()
    assert len(table._ranges) > 3
    assert whole.to_pylist() == reference_rows(data, attributes=True)
    assert whole.equals(quelbrand.read_xml(path, nested=True, attributes=True, threads=1).to_arrow())


@pytest.mark.parametrize("types", [False, True])
def test_a_large_files_batches_on_several_threads_are_those_of_one(rng, write_xml, monkeypatch, types):
    import quelbrand.nested

    monkeypatch.setattr(quelbrand.nested, "PARALLEL_SHAPE_BYTES", 0)
    monkeypatch.setattr(quelbrand.nested, "PIECE_BYTES_MIN", 200)
    path = write_xml(big_document(rng), name="nested.xml")
    got = []
    for threads in (1, 3):
        table = quelbrand.read_xml(path, nested=True, types=types, batch_rows=7, threads=threads)
        batches = list(table)
        table.write_jsonl(path + ".jsonl")
        with open(path + ".jsonl", "rb") as f:
            got.append(([len(b) for b in batches], pa.Table.from_batches(batches), f.read(), table.bytes_read))
    (sizes, one, text, done), (sizes3, three, text3, done3) = got
    assert sizes3 == sizes and set(sizes[:-1]) == {7}
    assert three.equals(one) and text3 == text and done3 == done == os.path.getsize(path)


@pytest.mark.parametrize(
    "late",
    [
        None,
        "<x><a>1</a><b><c>2</c></b><n>new</n></x>",  # a path the first records lack
        "<x><a>1</a><a>2</a><b><c>3</c></b></x>",  # a repetition
        "<x><a>1</a><b>text<c>2</c></b></x>",  # text beside children
        "<x><a k='v'>1</a><b><c>2</c></b></x>",  # an attribute
        "<x><a><d>1</d></a><b><c>2</c></b></x>",  # a leaf with children
        "<x><a>1</a><b><c>2</c></x>",  # a fault, raised as one thread raises it
    ],
    ids=["fits", "new path", "repetition", "text beside", "attribute", "leaf with children", "fault"],
)
@pytest.mark.parametrize("how", ["to_arrow", "write_parquet"])
def test_a_large_file_is_read_once_with_its_first_records_shape(write_xml, tmp_path, monkeypatch, late, how):
    import quelbrand.nested
    import quelbrand.parallel

    monkeypatch.setattr(quelbrand.nested, "PARALLEL_SHAPE_BYTES", 0)
    monkeypatch.setattr(quelbrand.nested, "SAMPLE_BYTES", 300)
    monkeypatch.setattr(quelbrand.nested, "SAMPLE_RECORDS", 1)
    monkeypatch.setattr(quelbrand.parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(quelbrand.parallel, "MIN_STREAM_PIECE", 256)
    records = ["<x><a>%d</a><b><c>%d</c></b></x>" % (i, -i) for i in range(600)]
    if late is not None:
        records[450] = late
    path = write_xml("<r>" + "\n".join(records) + "</r>", name="late.xml")
    outputs = tmp_path / "out"
    outputs.mkdir()
    passes = []
    discover = _native.discover_nested

    def counted(*args, **kw):
        passes.append(kw.get("until"))
        return discover(*args, **kw)

    def result(threads):
        table = quelbrand.read_xml(path, threads=threads, nested=True, attributes=True, batch_rows=50)
        if how == "to_arrow":
            return table, table.to_arrow()
        out = outputs / f"{threads}.parquet"
        table.write_parquet(out, row_group_rows=64)
        return table, out.read_bytes()

    monkeypatch.setattr(_native, "discover_nested", counted)
    if late is not None and "</b>" not in late:
        assert_fails_alike(result, outputs)
        return
    table, got = result(2)
    # Only the first records' shape is found (and that of their first half,
    # to see it settled) unless a later record has no place in it; then the
    # whole file's is.
    assert passes[:2] == [300, 150] and (len(passes) == 2) == (late is None)
    one, want = result(1)
    assert got == want
    assert table.schema == one.schema and table.shape == one.shape


def test_one_pass_readings_are_those_of_two(rng, write_xml, monkeypatch):
    import quelbrand.nested
    import quelbrand.parallel

    monkeypatch.setattr(quelbrand.nested, "PARALLEL_SHAPE_BYTES", 0)
    monkeypatch.setattr(quelbrand.parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(quelbrand.parallel, "MIN_STREAM_PIECE", 256)
    monkeypatch.setattr(quelbrand.nested, "SAMPLE_RECORDS", 1)
    for i in range(8):
        data = big_document(rng).encode()
        path = write_xml(data, name="nested.xml")
        options = {"attributes": rng.random() < 0.6, "text_of": rng.sample(["a", "c"], rng.randint(0, 1))}
        # From a sample that misses much of the shape (read again with the
        # whole file's) to the whole file (read once).
        monkeypatch.setattr(quelbrand.nested, "SAMPLE_BYTES", [200, len(data) // 2, len(data)][i % 3])
        got = quelbrand.read_xml(path, nested=True, threads=3, **options).to_arrow()
        assert got.to_pylist() == reference_rows(data, **options), (i, data)
        assert got.schema == quelbrand.read_xml(path, nested=True, threads=1, **options).schema
        # Written in pieces given in order as they settle: one thread's bytes.
        written = []
        for threads in (3, 1):
            out = f"{path}.{threads}.parquet"
            quelbrand.read_xml(path, nested=True, threads=threads, batch_rows=5, **options).write_parquet(out)
            with open(out, "rb") as f:
                written.append(f.read())
        assert written[0] == written[1], (i, data)
