"""Choosing the records (`record=`, `record_column=`): which elements become
rows, the same for reading, counting, splitting, Dask and the command."""

import json
import subprocess
import sys

import pytest
from test_split import discovered, outcomes, planned

import quelbrand
import quelbrand._native as _native
from quelbrand.convert import convert
from quelbrand.split import Survey, guess, piece, settle

pa = pytest.importorskip("pyarrow")

FEED = """<?xml version="1.0"?>
<rss version="2.0"><channel><title>Feed</title><link>https://example.org/</link>
  <item><title>one</title><guid>1</guid></item>
  <!-- <item><title>commented</title></item> -->
  <item><title>two</title><guid>2</guid></item>
  <other><item><title>elsewhere</title></item></other>
</channel></rss>
"""

DBLP = """<dblp>
<article key="a1"><author>A</author><title>T1</title><journal>J</journal></article>
<www key="w1"><title>Home</title></www>
<inproceedings key="p1"><author>B</author><title>T2</title><booktitle>Conf</booktitle></inproceedings>
<article key="a2"><title>T3</title></article>
</dblp>
"""


def rows(source, **options):
    return quelbrand.read_xml(source.encode(), **options).to_arrow().to_pylist()


@pytest.mark.parametrize(
    "doc, record, expected",
    [
        (
            FEED,
            "item",
            [{"title": "one", "guid": "1"}, {"title": "two", "guid": "2"}, {"title": "elsewhere", "guid": None}],
        ),
        (FEED, "channel/item", [{"title": "one", "guid": "1"}, {"title": "two", "guid": "2"}]),
        (FEED, "/rss/channel/item", [{"title": "one", "guid": "1"}, {"title": "two", "guid": "2"}]),
        (FEED, "/channel/item", []),  # absolute: from the root only
        (
            FEED,
            ["other", "/rss/channel/item"],
            [{"title": "one", "guid": "1"}, {"title": "two", "guid": "2"}, {"title": "elsewhere", "guid": None}],
        ),
        (FEED, "nothing", []),
        # A record named inside a record is part of the outer one.
        (
            "<r><a><item><x>1</x><item><y>2</y></item></item></a><item><x>3</x></item></r>",
            "item",
            [{"x": "1", "y": "2"}, {"x": "3", "y": None}],
        ),
        # By local name, prefix or not; empty-element records; text outside records is not kept.
        (
            '<r xmlns:d="urn:d">stray<g><d:item><v>1</v></d:item>more<item/></g></r>',
            "g/item",
            [{"v": "1"}, {"v": None}],
        ),
        ("<a><b><a><b><v>1</v></b></a></b></a>", "a/b", [{"v": "1"}]),
    ],
)
def test_the_named_elements_are_the_records(doc, record, expected):
    got = rows(doc, record=record)
    assert [{k: r.get(k) for k in expected[0]} for r in got] == expected if expected else got == []
    # Counting follows the same rule.
    assert _native.split(doc.encode(), 1 << 62, record=record)[0] == len(expected)


def test_without_record_the_children_of_the_root_are_the_records():
    assert rows(DBLP) == rows(DBLP, record=None)
    assert len(rows(DBLP)) == 4
    assert rows(FEED, record="/rss/channel") == rows(FEED)


def test_several_names_share_one_table_with_their_names_in_front():
    table = quelbrand.read_xml(
        DBLP.encode(), record=["article", "inproceedings"], record_column="kind", attributes=True
    )
    assert table.column_names[:2] == ["kind", "key"]
    got = table.to_arrow().to_pylist()
    assert [(r["kind"], r["key"], r["title"]) for r in got] == [
        ("article", "a1", "T1"),
        ("inproceedings", "p1", "T2"),
        ("article", "a2", "T3"),
    ]
    # Listed columns get it in front; with types it stays a string column.
    listed = quelbrand.read_xml(DBLP.encode(), record="article", record_column="kind", columns=["title"], types=True)
    assert listed.to_arrow().to_pylist() == [{"kind": "article", "title": "T1"}, {"kind": "article", "title": "T3"}]


@pytest.mark.parametrize("attributes", [False, True])
def test_a_record_column_named_like_a_records_own_column_is_an_error(attributes):
    table = quelbrand.read_xml(DBLP.encode(), record="article", record_column="title", attributes=attributes)
    with pytest.raises(ValueError, match="record-name column"):
        table.to_arrow()
    with pytest.raises(ValueError, match="record-name column"):
        _native.discover(DBLP.encode(), record="article", record_column="title")


@pytest.mark.parametrize(
    "record, error",
    [
        ("", ValueError),
        ("/", ValueError),
        ("a//b", ValueError),
        ("a/", ValueError),
        ("1item", ValueError),
        ("it em", ValueError),
        ("dc:item", ValueError),
        ([], ValueError),
        (["item", ""], ValueError),
        (5, TypeError),
        ([b"item"], TypeError),
    ],
)
def test_bad_names_are_refused_at_call_time(record, error):
    with pytest.raises(error):
        quelbrand.read_xml(FEED.encode(), record=record)
    if error is ValueError:
        with pytest.raises(ValueError):
            _native.split(FEED.encode(), 1 << 62, record=record)


def test_unicode_names_and_paths_are_xml_names():
    doc = "<r><ch><été><v>1</v></été></ch></r>"
    assert rows(doc, record="/r/ch/été") == [{"v": "1"}]


def test_a_split_point_inside_a_chosen_record_is_refused(write_xml):
    body = "".join(f"<g><item><v>{i}</v></item></g>" for i in range(50))
    path = write_xml(f"<r>{body}</r>")
    _, splits = _native.split(path, 1, record="item")  # inside a <g>, between items
    with pytest.raises(ValueError, match="inside a record"):
        _native.open(path, 10, start=splits[0][2], record="g")


# ---- Split reading equals whole reading ---------------------------------------------


def feed_document(rng, n=600):
    """Records at depth 3, of two names, with same-name nesting, comments and
    CDATA that hold their tags, and look-alikes outside the chosen paths."""
    parts = ["<?xml version='1.0'?>\n<rss><channel><title>t</title>\n"]
    for i in range(n):
        kind = rng.choice(["item", "entry", "item", "skip"])
        if kind == "skip":
            parts.append(f"<skip><item><v>{i}</v></item></skip>\n")
        elif rng.random() < 0.2:
            parts.append(f"<{kind}><v>{i}</v><item><w>{i}</w></item><!-- </{kind}> --></{kind}>\n")
        else:
            extra = "<![CDATA[</item>]]>" if rng.random() < 0.1 else ""
            parts.append(f"<{kind} n='{i}'><v>{i}{extra}</v><u>{'x' * rng.randrange(40)}</u></{kind}>\n")
    parts.append("</channel></rss>\n")
    return "".join(parts)


@pytest.mark.parametrize(
    "record", ["item", ("item", "entry"), "/rss/channel/item", "channel/entry", ("skip", "/rss/channel/item")]
)
def test_split_reading_equals_whole_reading(rng, write_xml, record):
    path = write_xml(feed_document(rng))
    options = {"record": record}
    columns, records = discovered(path, False, **options)
    whole = outcomes(path, columns, 7, **options)
    assert records == sum(isinstance(o, dict) for o in whole) > 0
    for blocksize in (1, 500, 5000):
        counted, splits = _native.split(path, blocksize, **options)
        assert counted == records
        found = Survey(columns, records, planned(path, records, splits))
        assert range_outcomes_with(path, found, options) == whole, blocksize
    # Guessed pieces, proved by the readings before them.
    for blocksize in (700, 3000):
        found = guess(path, blocksize, options)
        pieces = [piece(path, start, until, entities=options) for start, until in found.tasks()]
        settled = settle(found, pieces, lambda start, until: piece(path, start, until, entities=options), options)
        assert (settled.columns, settled.records) == (columns, records)
        assert len(settled.ranges) > 3
        got = []
        for part in settled.ranges:
            got.extend(pa.record_batch(b).to_pylist() for b in part.open(7, columns))
        assert [r for batch in got for r in batch] == whole


def range_outcomes_with(path, found, options):
    out = []
    for part in found.ranges:
        out.extend(
            outcomes(
                path,
                found.columns,
                7,
                start=part.start,
                records=None if part.end is None else part.count,
                end=part.end,
                **options,
            )
        )
    return out


def test_convert_in_ranges_writes_the_whole_reading(rng, write_xml, tmp_path):
    path = write_xml(feed_document(rng, 3000))
    options = {"record": ["item", "entry"], "record_column": "tag"}
    one, many = tmp_path / "one.csv", tmp_path / "many.csv"
    rows_one = convert(path, str(one), jobs=1, **options)
    rows_many = convert(path, str(many), jobs=2, blocksize=4000, **options)
    assert rows_one == rows_many > 0
    assert one.read_bytes() == many.read_bytes()
    assert one.read_bytes().startswith(b"tag,")


def test_dask_reads_the_chosen_records(rng, write_xml):
    qdask = pytest.importorskip("quelbrand.dask")
    path = write_xml(feed_document(rng, 2000))
    options = {"record": "/rss/channel/item", "record_column": "tag"}
    whole = quelbrand.read_xml(path, **options).to_pandas()
    lazy = qdask.read_xml([path], blocksize=3000, **options)
    assert lazy.npartitions > 1
    assert lazy.compute().reset_index(drop=True).equals(whole)
    bag = qdask.read_xml_bag([path], blocksize=3000, record="/rss/channel/item").compute()
    assert len(bag) == len(whole)


# ---- The command --------------------------------------------------------------------


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "quelbrand", *args], capture_output=True, text=True)


def test_the_command_counts_and_converts_the_chosen_records(write_xml, tmp_path):
    path = write_xml(DBLP)
    counted = run_cli("count", path, "--record", "article", "--record", "inproceedings")
    assert counted.returncode == 0 and counted.stdout.strip() == "3"
    out = tmp_path / "out.jsonl"
    done = run_cli(
        "convert",
        path,
        "--to",
        str(out),
        "--quiet",
        "--record",
        "article",
        "--record",
        "inproceedings",
        "--record-column",
        "kind",
    )
    assert done.returncode == 0, done.stderr
    second = json.loads(out.read_text().splitlines()[1])
    assert second == {"kind": "inproceedings", "author": "B", "title": "T2", "booktitle": "Conf"}
    bad = run_cli("count", path, "--record", "a//b")
    assert bad.returncode == 2 and "empty step" in bad.stderr


@pytest.mark.parametrize(
    "encoding, name",
    [("iso-8859-1", "Größe"), ("windows-1251", "Запись"), ("shift_jis", "記録"), ("utf-16", "Größe")],
)
def test_names_match_and_are_named_in_utf8_whatever_the_encoding(write_xml, encoding, name):
    # Element names arrive in the document's own bytes; the chosen names,
    # and the record-name column, are UTF-8.
    label = {"utf-16": "UTF-16"}.get(encoding, encoding)
    text = f'<?xml version="1.0" encoding="{label}"?><r><{name}><a>1</a></{name}><x><{name}><a>2</a></{name}></x></r>'
    path = write_xml(text.encode(encoding))
    got = quelbrand.read_xml(path, record=f"x/{name}", record_column="k").to_arrow().to_pylist()
    assert got == [{"k": name, "a": "2"}]
    assert quelbrand.read_xml(path, record_column="k").to_arrow().column("k").to_pylist() == [name, "x"]
    assert _native.split(path, 1 << 62, record=name)[0] == 2
