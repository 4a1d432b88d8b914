"""Attributes read as values: read_xml(attributes=True) and convert --attributes.

The rule is that each attribute acts as a leaf child of its element, placed
before the element's children, and that an element with attributes and no
child elements keeps its own text as a leaf named after itself. The random
differential below checks exactly that: a document read with attributes
equals the same document rewritten with those leaves as elements, read
without."""

from __future__ import annotations

import os
import random
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import quelbrand
import quelbrand_kernels as qk

pa = pytest.importorskip("pyarrow")


def _write(tmp_path, doc: str | bytes, name: str = "doc.xml") -> str:
    path = tmp_path / name
    path.write_bytes(doc.encode() if isinstance(doc, str) else doc)
    return str(path)


def _rows(path: str, attributes: bool = True, batch_rows: int = 65536) -> list[dict]:
    return quelbrand.read_xml(path, attributes=attributes, batch_rows=batch_rows).to_arrow().to_pylist()


WORKED = [
    (
        '<posts><row Id="1" Score="5" Body="&lt;p&gt;hi&lt;/p&gt;"/></posts>',
        [{"Id": "1", "Score": "5", "Body": "<p>hi</p>"}],
    ),
    (
        '<r><rec id="7"><name>A</name><price currency="EUR"> 12 </price></rec></r>',
        [{"id": "7", "name": "A", "currency": "EUR", "price": "12"}],
    ),
    (
        '<osm><node id="1" lat="5.1"><tag k="amenity" v="cafe"/><tag k="name" v="X"/></node></osm>',
        [{"id": "1", "lat": "5.1", "k": "amenity", "v": "cafe", "tag_k": "name", "tag_v": "X"}],
    ),
]

CASES = [
    # An attribute and a child of the same name collide as two leaves would.
    ('<r><row id="1"><id>2</id></row></r>', [{"id": "1", "row_id": "2"}]),
    # Namespace declarations are not data; a prefixed name keeps its local part.
    (
        '<r xmlns="u"><row xmlns:p="v" p:code="9" xml:lang="en"><a>1</a></row></r>',
        [{"code": "9", "lang": "en", "a": "1"}],
    ),
    # Only namespace declarations: an ordinary leaf, text and all.
    ('<r><row><a xmlns:p="v"> t </a></row></r>', [{"a": "t"}]),
    # Values are trimmed, and an empty one is null; blank own text makes no leaf.
    ('<r><row a="  x y  " b="" c=" "><d e="1">   </d></row></r>', [{"a": "x y", "b": None, "c": None, "e": "1"}]),
    # References of every kind, in either quote.
    ("<r><row a='&quot;&#65;&#x42;&amp;&apos;' b=\"it's\"/></r>", [{"a": "\"AB&'", "b": "it's"}]),
    # The record element's own text, beside its attributes.
    ('<r><row n="1">hello</row><row n="2"> </row></r>', [{"n": "1", "row": "hello"}, {"n": "2", "row": None}]),
    # An element with attributes and children drops its own text, as a branch does.
    ('<r><row><a k="1">lost<b>2</b></a></row></r>', [{"k": "1", "b": "2"}]),
    # White space around '=' and between attributes, and '>' inside a value.
    ("<r><row a = \"1\"\n\tb\t='x>y'/></r>", [{"a": "1", "b": "x>y"}]),
    # A record without attributes or values still makes its row.
    ('<r><row/><row a="1"/></r>', [{"a": None}, {"a": "1"}]),
]


@pytest.mark.parametrize(("doc", "expected"), WORKED + CASES)
def test_attributes_become_leaves(tmp_path, doc, expected):
    path = _write(tmp_path, doc)
    assert _rows(path) == expected
    table = quelbrand.read_xml(path, attributes=True)
    assert table.column_names == list(expected[0]) if expected else []


def test_attributes_stay_out_unless_asked(tmp_path):
    path = _write(tmp_path, WORKED[1][0])
    assert _rows(path, attributes=False) == [{"name": "A", "price": "12"}]
    # The kernels' reader keeps its behaviour whatever the package does.
    assert list(qk.stream_xml_file(path, 10)) == [(["name", "price"], [["A"], ["12"]])]


@pytest.mark.parametrize(
    ("doc", "message"),
    [
        ("<r><row a=1/></r>", "attribute value not quoted in tag <row> at line 1, byte 3"),
        ('<r><row a="1" a="2"/></r>', "repeated attribute in tag <row>"),
        ("<r><row a/></r>", "attribute without a value"),
        # A control byte ends a name wherever it falls, here both before and
        # after 16 bytes of the tag.
        (b'<r><row a="1" b\x01c="2"/></r>', "attribute without a value"),
        (b'<r><row a="1" b\x01c="2" cccccccccccccccccccccccccc="4"/></r>', "attribute without a value"),
        ('<r><row a="1" ="2"/></r>', "attribute without a name in tag <row>"),
        ('<r><row a="1"b="2"/></r>', "no white space before an attribute"),
        ('<r><row><x a="&bogus;"/></row></r>', "attribute a of <x>: .*bogus.* at line 1, byte 8"),
        (b'<r><row a="\xff"/></r>', "attribute a of <row>: invalid UTF-8 at line 1, byte 3"),
        (b'<?xml version="1.0" encoding="EUC-JP"?><r><row a="\xa4"/></r>', "attribute a of <row>: malformed EUC-JP"),
    ],
)
def test_bad_attributes_are_errors_with_positions(tmp_path, doc, message):
    path = _write(tmp_path, doc)
    with pytest.raises(ValueError, match=message):
        _rows(path)
    # Finding the columns checks them as reading does.
    with pytest.raises(ValueError):
        _ = quelbrand.read_xml(path, attributes=True).column_names


def test_values_are_decoded_from_the_documents_encoding(tmp_path):
    doc = '<?xml version="1.0" encoding="EUC-JP"?><r><row name="日本" note="&#x41;"><v>語</v></row></r>'
    path = _write(tmp_path, doc.encode("euc-jp"))
    assert _rows(path) == [{"name": "日本", "note": "A", "v": "語"}]
    utf16 = _write(tmp_path, ("\ufeff" + doc.replace("EUC-JP", "UTF-16")).encode("utf-16-le"), "doc16.xml")
    assert _rows(utf16) == [{"name": "日本", "note": "A", "v": "語"}]


# ---- The random differential ---------------------------------------------------

NAMES = ["a", "b", "c", "id", "row", "p:a", "q:b"]
WORDS = ["x", "y z", " lead", "trail ", "é", "&amp;", "&lt;", "1", ""]


def _attrs(rng: random.Random) -> str:
    names = rng.sample(["a", "b", "c", "id", "p:a", "p:c", "k"], rng.randint(0, 3))
    declare = ' xmlns:q="urn:other"' if rng.random() < 0.2 else ""
    return "".join(f' {n}="{rng.choice(WORDS)}"' for n in names) + declare


def _element(rng: random.Random, depth: int) -> str:
    name = rng.choice(NAMES)
    attrs = _attrs(rng)
    roll = rng.random()
    if roll < 0.15:
        return f"<{name}{attrs}/>"
    if depth > 2 or roll < 0.6:
        return f"<{name}{attrs}>{rng.choice(WORDS)}</{name}>"
    kids = "".join(_element(rng, depth + 1) for _ in range(rng.randint(1, 3)))
    return f"<{name}{attrs}>{rng.choice(WORDS)}{kids}{rng.choice(WORDS)}</{name}>"


def _document(rng: random.Random) -> str:
    records = []
    for _ in range(rng.randint(1, 12)):
        if rng.random() < 0.3:
            # The shape of attribute-only dumps, read by a shortcut of its own.
            records.append(f"<row{_attrs(rng)}/>")
            continue
        kids = "".join(_element(rng, 1) for _ in range(rng.randint(0, 4)))
        records.append(f"<row{_attrs(rng)}>{kids or rng.choice(WORDS)}</row>")
    return '<root xmlns:p="urn:p" xmlns:q="urn:q">' + "".join(records) + "</root>"


def _local(name: str) -> str:
    return name.rsplit("}", 1)[-1]


def _as_elements(element: ET.Element) -> ET.Element:
    """The element with its attributes (and, when it has no children, its
    own text) turned into leaf elements, the rule being tested."""
    out = ET.Element(_local(element.tag))
    for name, value in element.attrib.items():
        ET.SubElement(out, _local(name)).text = value
    if element.attrib and len(element) == 0 and (element.text or "").strip():
        ET.SubElement(out, _local(element.tag)).text = element.text
    if not element.attrib:
        out.text = element.text
    for child in element:
        out.append(_as_elements(child))
    return out


def test_attributes_read_as_the_elements_they_stand_for(tmp_path):
    seed = random.randrange(2**32)
    print(f"seed={seed}")
    rng = random.Random(seed)
    for n in range(60):
        doc = _document(rng)
        root = ET.fromstring(doc)
        plain = ET.Element("root")
        for record in root:
            plain.append(_as_elements(record))
        original = _write(tmp_path, doc, f"a{n}.xml")
        rewritten = _write(tmp_path, ET.tostring(plain, encoding="unicode"), f"b{n}.xml")
        expected = _rows(rewritten, attributes=False)
        names = quelbrand.read_xml(rewritten).column_names
        for batch_rows in (1, 3, 65536):
            assert _rows(original, batch_rows=batch_rows) == expected, doc
        assert quelbrand.read_xml(original, attributes=True).column_names == names, doc


# ---- The command -------------------------------------------------------------------

CODES = (
    '<iso_3166_entries><iso_3166_entry alpha_2_code="AD" name="Andorra"/>'
    '<iso_3166_entry alpha_2_code="AE" name="United Arab Emirates"/></iso_3166_entries>'
)


def _run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quelbrand", *args],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONWARNINGS": "error"},
    )


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_the_command_reads_attributes_when_asked(tmp_path, fmt):
    source = _write(tmp_path, CODES)
    out = tmp_path / f"out.{fmt}"
    done = _run("convert", source, "--to", str(out), "--attributes")
    assert done.returncode == 0, done.stderr
    assert "--attributes" not in done.stderr
    if fmt == "csv":
        assert out.read_text().splitlines()[1] == "AD,Andorra"
    elif fmt == "jsonl":
        assert out.read_text().splitlines()[0] == '{"alpha_2_code": "AD", "name": "Andorra"}'
    else:
        import pyarrow.parquet as pq

        assert pq.read_table(out).column("name").to_pylist() == ["Andorra", "United Arab Emirates"]


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_the_command_names_the_flag_when_only_attributes_hold_data(tmp_path, fmt):
    source = _write(tmp_path, CODES)
    done = _run("convert", source, "--to", str(tmp_path / f"out.{fmt}"))
    assert done.returncode == 0, done.stderr
    assert "carry attributes; pass --attributes" in done.stderr
    # Records with values of their own get no such note.
    valued = _write(tmp_path, '<r><row a="1"><v>2</v></row></r>', "valued.xml")
    done = _run("convert", valued, "--to", str(tmp_path / f"valued.{fmt}"))
    assert done.returncode == 0 and "--attributes" not in done.stderr


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_attributes_take_types_too(tmp_path, fmt):
    source = _write(tmp_path, '<posts><row Id="1" Score="-5" When="2024-02-29"/><row Id="2" Score="7.5"/></posts>')
    table = quelbrand.read_xml(source, attributes=True, types=True)
    assert table.column_types == ["int64", "float64", "date32"]
    out = tmp_path / f"out.{fmt}"
    done = _run("convert", source, "--to", str(out), "--attributes", "--types")
    assert done.returncode == 0, done.stderr
    if fmt == "jsonl":
        assert out.read_text().splitlines() == [
            '{"Id": 1, "Score": -5, "When": "2024-02-29"}',
            '{"Id": 2, "Score": 7.5}',
        ]
    else:
        import pyarrow.parquet as pq

        assert pq.read_table(out).to_pylist()[1] == {"Id": 2, "Score": 7.5, "When": None}
