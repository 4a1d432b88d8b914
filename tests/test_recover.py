"""on_error="skip": faults injected at random records of generated documents
must each be reported once with their true byte range, and every other
record kept exactly as the same document without the faulty ones gives it,
whatever the batch size, thread count, job count or block size."""

import json
import subprocess
import sys

import pytest

from quelbrand import parallel as parallel_module
from quelbrand import read_xml
from quelbrand.convert import convert

NAMES = ["a", "b", "id", "name", "p:x", "data"]
TEXTS = ["1", " 2 ", "", "Ann", "&lt;&amp;", "&#65;", "é", "x y"]
# Each kind of fault as a fragment of a record, after its good children.
FAULTS = {
    "entity": b"<f>x&nbsp;y</f>",
    "reference": b"<f>&#0;</f>",
    "byte": b"<f>\xff\xfe</f>",
    "mismatch": b"<f>1</g>",
    "markup": b"<f><!bogus></f>",
    "unterminated": b"<f>a &amp b</f>",
    "attribute": b'<f a="1" a="2">x</f>',  # only attributes=True parses attributes
}


def good_record(rng, i):
    parts = [f"<id>{i}</id>"]
    for _ in range(rng.randrange(4)):
        name = rng.choice(NAMES)
        if rng.random() < 0.2:
            parts.append(f"<{name}><in>{rng.choice(TEXTS)}</in></{name}>")
        elif rng.random() < 0.1:
            parts.append(f"<{name}><![CDATA[</rec> <]]></{name}>")
        elif rng.random() < 0.1:
            parts.append(f'<{name} k="v"/>')
        else:
            parts.append(f"<{name}>{rng.choice(TEXTS)}</{name}>")
    if rng.random() < 0.1:
        parts.append("<!-- a comment -->")
    return ("<rec>" + "".join(parts) + "</rec>").encode()


def faulty_record(rng, i, kind):
    head = good_record(rng, i)[: -len(b"</rec>")]
    # A closing tag in a comment after the fault: no place to resume.
    trap = b"<!-- </rec> -->" if rng.random() < 0.3 else b""
    return head + FAULTS[kind] + trap + b"</rec>"


def generated(rng, records, kinds, truncate):
    """(document with faults, the same with only its good records, expected
    spans as (start, end, element))."""
    faulty, clean = [b'<?xml version="1.0"?>\n<root>\n'], [b'<?xml version="1.0"?>\n<root>\n']
    spans = []
    at = len(faulty[0])
    for i in range(records):
        r = rng.random()
        if r < 0.04:
            bad = b"<!bogus>"  # malformed markup between records
            spans.append((at, at + len(bad), None))
            faulty.append(bad)
            at += len(bad)
        if r < 0.12:
            rec = faulty_record(rng, i, rng.choice(kinds))
            spans.append((at, at + len(rec), "rec"))
        else:
            rec = good_record(rng, i)
            clean.append(rec + b"\n")
        faulty.append(rec + b"\n")
        at += len(rec) + 1
    faulty.append(b"</root>\n")
    clean.append(b"</root>\n")
    doc = b"".join(faulty)
    if truncate:
        # Cut inside a last record, which is then the last reject.
        last = good_record(rng, records)
        cut = doc[: -len(b"</root>\n")] + last[: rng.randrange(6, len(last) - 1)]
        spans.append((len(doc) - len(b"</root>\n"), len(cut), "rec"))
        doc = cut
    return doc, b"".join(clean), spans


def rows_of(table):
    return [{k: v for k, v in row.items() if v is not None} for row in table.to_pylist()]


def triples(rejects):
    return [(r.start, r.end, r.element) for r in rejects]


@pytest.fixture
def small_pieces(monkeypatch):
    monkeypatch.setattr(parallel_module, "MIN_PIECE", 256)


@pytest.mark.parametrize("attributes", [False, True])
def test_injected_faults_are_each_rejected_once_and_every_good_record_kept(rng, write_xml, small_pieces, attributes):
    kinds = [k for k in FAULTS if attributes or k != "attribute"]
    for _ in range(12):
        truncate = rng.random() < 0.2
        doc, clean, spans = generated(rng, rng.randrange(1, 120), kinds, truncate)
        path, clean_path = write_xml(doc, name="faulty.xml"), write_xml(clean, name="clean.xml")
        expected = rows_of(read_xml(clean_path, attributes=attributes).to_arrow())
        if not expected and spans:
            continue  # nothing kept: an error of its own, tested below
        for threads in (1, 2, 3):
            batch_rows = rng.choice([1, 2, 7, 1000])
            table = read_xml(path, on_error="skip", attributes=attributes, threads=threads, batch_rows=batch_rows)
            if truncate:
                with pytest.raises(ValueError, match=r"truncated\?$"):
                    table.to_arrow()
                assert triples(table.rejects) == spans
                continue
            assert rows_of(table.to_arrow()) == expected, (threads, batch_rows)
            assert triples(table.rejects) == spans
            for reject in table.rejects:
                assert reject.line == doc.count(b"\n", 0, reject.start) + 1
        if truncate:
            continue
        # Streamed batch by batch, and split into ranges by convert and Dask.
        streamed = read_xml(path, on_error="skip", attributes=attributes, batch_rows=3)
        assert sum(b.num_rows for b in streamed) == len(expected)
        assert triples(streamed.rejects) == spans
        outputs = set()
        for jobs in (1, 2, 4):
            out = write_xml(b"", name=f"out{jobs}.jsonl")
            found = []
            blocksize = rng.choice([64, 300, 5000])
            convert(
                path,
                out,
                on_error="skip",
                jobs=jobs,
                blocksize=blocksize,
                attributes=attributes,
                on_reject=found.append,
            )
            assert triples(found) == spans, (jobs, blocksize)
            outputs.add(open(out, "rb").read())
        assert len(outputs) == 1
        assert [json.loads(line) for line in outputs.pop().splitlines()] == expected


def test_dask_reads_the_same_records_and_rejects(rng, write_xml):
    dask_xml = pytest.importorskip("quelbrand.dask")
    doc, clean, spans = generated(rng, 150, list(FAULTS)[:-1], False)
    path, clean_path = write_xml(doc, name="faulty.xml"), write_xml(clean, name="clean.xml")
    expected = rows_of(read_xml(clean_path).to_arrow())
    for blocksize in (200, 1000, None):
        found = []
        frame = dask_xml.read_xml([path], blocksize=blocksize, on_error="skip", on_reject=found.append).compute()
        got = [{k: v for k, v in row.items() if v is not None and v == v} for row in frame.to_dict("records")]
        assert got == expected
        assert triples(found) == spans


def test_nested_reading_skips_the_same_records(rng, write_xml):
    doc, clean, spans = generated(rng, 80, list(FAULTS)[:-1], False)
    path, clean_path = write_xml(doc, name="faulty.xml"), write_xml(clean, name="clean.xml")
    table = read_xml(path, nested=True, on_error="skip")
    assert table.to_arrow().to_pylist() == read_xml(clean_path, nested=True).to_arrow().to_pylist()
    assert triples(table.rejects) == spans


def test_the_rejects_report_goes_to_a_file_and_a_callback(write_xml, tmp_path):
    path = write_xml(b"<r>\n<rec><a>1</a></rec>\n<rec><a>&x;</a></rec>\n<rec><a>3</a></rec>\n</r>")
    report, seen = tmp_path / "rejects.jsonl", []
    table = read_xml(path, on_error="skip", rejects=report, on_reject=seen.append)
    assert table.to_arrow().column("a").to_pylist() == ["1", "3"]
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    assert lines == [r.as_dict() for r in seen] == [r.as_dict() for r in table.rejects]
    assert lines[0] | {"error": ""} == {"start": 24, "end": 45, "line": 3, "error": "", "element": "rec"}
    assert "unrecognized entity `x`" in lines[0]["error"]


@pytest.mark.parametrize(
    ("doc", "match"),
    [
        (b"<r><rec>&x;</rec><rec>&y;</rec></r>", "more than 1 records rejected"),
        (b"<r><rec>&x;</rec></r>", "no record could be read"),
        (b"not xml at all", "no XML element"),
        (b"", "no XML element"),
    ],
)
def test_skipping_still_fails_where_nothing_is_a_table(write_xml, doc, match):
    with pytest.raises(ValueError, match=match):
        read_xml(write_xml(doc), on_error="skip", max_errors=1).to_arrow()


@pytest.mark.parametrize("skip", [False, True])
def test_a_cut_off_document_raises_after_its_complete_records(write_xml, skip):
    path = write_xml(b"<r><rec><a>1</a></rec><rec><a>2</a></rec><rec><a>3")
    table = read_xml(path, on_error="skip" if skip else "raise", batch_rows=10)
    rows = []
    with pytest.raises(ValueError, match=r"ends inside <r> at line 1, byte 50; truncated\?$"):
        for batch in table:
            rows += batch.column("a").to_pylist()
    assert rows == ["1", "2"]
    if skip:
        assert triples(table.rejects) == [(41, 50, "rec")]


def test_options_of_skipping_need_it():
    with pytest.raises(ValueError, match="need on_error='skip'"):
        read_xml(b"<r/>", max_errors=3)
    with pytest.raises(ValueError, match="on_error must be"):
        read_xml(b"<r/>", on_error="ignore")


def test_the_command_skips_counts_and_reports(write_xml, tmp_path):
    path = write_xml(b"<r><rec><a>1</a></rec><rec><a>&x;</a></rec><rec><a>3</a></rec></r>")
    out, report = tmp_path / "out.csv", tmp_path / "rejects.jsonl"
    run = [sys.executable, "-m", "quelbrand"]
    done = subprocess.run(
        [*run, "convert", path, "--to", str(out), "--on-error", "skip", "--rejects", str(report)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == f"quelbrand: 2 rows written, 1 records rejected; report in {report}\n"
    assert out.read_bytes() == b"a\r\n1\r\n3\r\n"
    assert json.loads(report.read_text())["start"] == 22
    counted = subprocess.run([*run, "count", path, "--on-error", "skip"], capture_output=True, text=True)
    assert counted.stdout == "2\n"
    failed = subprocess.run(
        [*run, "convert", path, "--to", str(out), "--on-error", "skip", "--max-errors", "0"],
        capture_output=True,
        text=True,
    )
    assert failed.returncode == 1 and "more than 0 records rejected" in failed.stderr
    cut = write_xml(b"<r><rec><a>1</a></rec><rec>", name="cut.xml")
    counted = subprocess.run([*run, "count", cut], capture_output=True, text=True)
    assert counted.returncode == 1 and "truncated?" in counted.stderr
