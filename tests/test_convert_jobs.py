"""convert with several jobs: the ranges of one file read at once give the
same output, byte for byte, as one job."""

import gzip
import os
import subprocess
import sys
import warnings

import pytest
from conftest import FAULT_ORDERS, assert_fails_alike, assert_first_fault

import quelbrand
import quelbrand.convert
import quelbrand.nested
import quelbrand.reader
from quelbrand.convert import convert
from quelbrand.errors import FlatteningWarning
from quelbrand.split import guess, survey

pytest.importorskip("pyarrow")


@pytest.fixture(autouse=True)
def small_row_groups(monkeypatch):
    # Small row groups let a small file have many, cut across ranges.
    monkeypatch.setattr(quelbrand.convert, "PARQUET_ROW_GROUP_ROWS", 20)


def document(records=700):
    """Records whose columns change along the file (so a batch's own columns
    differ from its neighbours'), with attributes, numbers, records without
    values, and markup that holds the row tag."""
    parts = ['<?xml version="1.0"?>\n<t>']
    for i in range(records):
        if i % 97 == 0:
            parts.append("<row/>")
        elif i % 13 == 0:
            parts.append(f'<row id="{i}"><late>{i * 0.5}</late><!-- <row> --></row>')
        elif i % 7 == 0:
            parts.append(f"<row><b>yes{i}</b><a>{i}</a><c><![CDATA[</row>]]></c></row>")
        else:
            parts.append(f'<row k="{i % 3}"><a>{i}</a><flag>{"true" if i % 2 else "false"}</flag></row>')
        parts.append("\n")
    parts.append("</t>\n")
    return "".join(parts)


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
@pytest.mark.parametrize("options", [{}, {"types": True}, {"attributes": True}, {"types": True, "attributes": True}])
def test_two_jobs_write_the_bytes_of_one(tmp_path, fmt, options):
    path = tmp_path / "doc.xml"
    path.write_text(document())
    one, two = tmp_path / f"one.{fmt}", tmp_path / f"two.{fmt}"
    rows = convert(path, one, batch_rows=7, **options)
    assert convert(path, two, batch_rows=7, jobs=2, blocksize=500, **options) == rows == 700
    assert two.read_bytes() == one.read_bytes()
    # The file was really read in ranges, from guessed pieces that end
    # anywhere, whatever the format.
    assert len(guess(str(path), 500).offsets) > 10
    assert len(survey(str(path), 500).ranges) > 10
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".")]


def test_parquet_row_groups_span_ranges_as_one_reading_makes_them(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "doc.xml"
    path.write_text(document(3000))
    one, two = tmp_path / "one.parquet", tmp_path / "two.parquet"
    convert(path, one, batch_rows=3)
    convert(path, two, batch_rows=3, jobs=2, blocksize=100)
    assert two.read_bytes() == one.read_bytes()
    meta = pq.ParquetFile(two).metadata
    assert meta.num_rows == 3000 and meta.num_row_groups == -(-3000 // 20)
    assert {meta.row_group(i).num_rows for i in range(meta.num_row_groups)} == {20}


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
def test_a_fault_in_a_later_range_fails_as_one_job_does(tmp_path, fmt):
    path = tmp_path / "doc.xml"
    path.write_text(document().replace("<a>652</a>", "<a>&bad;</a>"))
    out = tmp_path / f"out.{fmt}"
    with pytest.raises(ValueError) as one:
        convert(path, out, batch_rows=7)
    with pytest.raises(ValueError) as two:
        convert(path, out, batch_rows=7, jobs=2, blocksize=300)
    assert str(two.value) == str(one.value) and "line 654" in str(two.value)
    assert os.listdir(tmp_path) == ["doc.xml"]


@pytest.mark.parametrize(
    ("how", "fmt"),
    [
        ("convert", "parquet"),
        ("convert", "csv"),
        ("convert", "jsonl"),
        ("convert nested", "parquet"),
        ("convert nested", "jsonl"),
        ("write_parquet", "parquet"),
        ("write_csv", "csv"),
        ("write_jsonl", "jsonl"),
        ("nested write_jsonl", "jsonl"),
    ],
)
@pytest.mark.parametrize("attributes", [False, True])
@pytest.mark.parametrize(
    ("sample", "fault"), [(10**6, None), (300, None), (10**6, "<a>&bad;</a>"), (300, "<a>1</a></row></row>")]
)
def test_a_large_file_in_one_pass_with_its_first_records_columns(
    tmp_path, monkeypatch, how, fmt, attributes, sample, fault
):
    import quelbrand.parallel

    monkeypatch.setattr(quelbrand.parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(quelbrand.parallel, "MIN_STREAM_PIECE", 256)
    monkeypatch.setattr(quelbrand.convert, "RANGE_BYTES_MIN", 256)
    monkeypatch.setattr(quelbrand.reader, "SAMPLE_BYTES", sample)
    monkeypatch.setattr(quelbrand.nested, "SAMPLE_BYTES", sample)
    for module in (quelbrand.reader, quelbrand.nested):
        monkeypatch.setattr(module, "SAMPLE_RECORDS", 1)
    surveys = []
    for module in (quelbrand.convert, quelbrand.reader):
        monkeypatch.setattr(module, "survey", lambda *a, **kw: surveys.append(1) or survey(*a, **kw))
    path = tmp_path / "doc.xml"
    # A repeated element in every other record: flat reading loses values.
    text = document(3000).replace("<flag>true</flag>", "<flag>true</flag><flag>2</flag><flag>3</flag>")
    path.write_text(text if fault is None else text.replace("<a>2651</a>", fault))
    outputs = tmp_path / "out"
    outputs.mkdir()
    losses = []

    def write(jobs):
        out = outputs / f"{jobs}.{fmt}"
        if how.startswith("convert"):
            nested = how == "convert nested"
            kw = {"batch_rows": 30, "attributes": attributes, "on_loss": losses.append, "nested": nested}
            rows = convert(path, out, jobs=jobs, **kw)
        else:
            nested = how.startswith("nested")
            table = quelbrand.read_xml(path, batch_rows=30, attributes=attributes, threads=jobs, nested=nested)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", FlatteningWarning)
                if fmt == "parquet":
                    rows = table.write_parquet(out, row_group_rows=64)
                else:
                    rows = getattr(table, f"write_{fmt}")(out)
                    assert table.lost == (0, 0) if nested else table.lost[0] > 0
            losses.extend(str(w.message) for w in caught if w.category is FlatteningWarning)
        return rows, out.read_bytes()

    if fault is not None:
        assert_fails_alike(write, outputs)
        return
    surveys.clear()
    assert write(2) == write(1) and write(1)[0] == 3000
    # Nested reading loses nothing.
    assert len(losses) == (0 if "nested" in how else 3) and losses[:1] == losses[1:2]
    # The columns are surveyed only where a later record has one the first
    # records lack (a sample of the whole file has them all).
    assert surveys == ([] if sample > len(text) else [1])


@pytest.mark.parametrize(
    ("records", "late", "guessed"), [(1, None, True), (10**6, None, False), (1, 2500, False), (1, 1000, True)]
)
def test_columns_are_guessed_only_from_a_head_that_has_settled(tmp_path, monkeypatch, records, late, guessed):
    import quelbrand.parallel

    monkeypatch.setattr(quelbrand.parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(quelbrand.parallel, "MIN_STREAM_PIECE", 256)
    monkeypatch.setattr(quelbrand.convert, "RANGE_BYTES_MIN", 256)
    monkeypatch.setattr(quelbrand.reader, "SAMPLE_RECORDS", records)
    tries = []
    pieces = quelbrand.reader.pieces_in_order
    monkeypatch.setattr(quelbrand.reader, "pieces_in_order", lambda *a, **kw: tries.append(1) or pieces(*a, **kw))
    rows = [f"<row><a>{i}</a><b>{-i}</b></row>\n" for i in range(3000)]
    if late is not None:
        rows[late] = "<row><a>1</a><new>2</new></row>\n"
    path = tmp_path / "doc.xml"
    path.write_text("<t>" + "".join(rows) + "</t>")
    # The head is the whole file; its first half ends near record 1500.
    monkeypatch.setattr(quelbrand.reader, "SAMPLE_BYTES", path.stat().st_size)
    one, two = tmp_path / "one.parquet", tmp_path / "two.parquet"
    assert convert(path, two, jobs=2) == convert(path, one) == 3000
    assert two.read_bytes() == one.read_bytes()
    assert bool(tries) == guessed


def test_input_that_cannot_be_split_is_read_as_one_range(tmp_path):
    path = tmp_path / "doc.xml.gz"
    path.write_bytes(gzip.compress(document().encode()))
    one, two = tmp_path / "one.csv", tmp_path / "two.csv"
    convert(path, one, batch_rows=7)
    convert(path, two, batch_rows=7, jobs=2, blocksize=300)
    assert two.read_bytes() == one.read_bytes()
    with pytest.raises(ValueError, match="jobs"):
        convert(path, two, jobs=0)


def test_the_command_takes_jobs(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text(document())
    outputs = []
    for flag, jobs in (("--threads", "1"), ("--jobs", "2"), ("--threads", "2")):
        out = tmp_path / f"out{flag}{jobs}.jsonl"
        cmd = [sys.executable, "-m", "quelbrand", "convert", str(path), "--to", str(out), flag, jobs]
        result = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1] == outputs[2]
    cmd = [sys.executable, "-m", "quelbrand", "convert", str(path), "--to", str(tmp_path / "x.csv"), "--jobs", "0"]
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and "--threads" in result.stderr


@pytest.mark.parametrize("order", FAULT_ORDERS, ids="-".join)
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
@pytest.mark.parametrize("jobs", [1, 2, 3])
@pytest.mark.parametrize("existing", [False, True])
def test_the_first_fault_fails_every_job_count_and_writes_nothing(tmp_path, faulty_xml, order, fmt, jobs, existing):
    path, expected = faulty_xml(order)
    out = tmp_path / f"out.{fmt}"
    if existing:
        out.write_bytes(b"before")
    with pytest.raises(ValueError) as info:
        convert(path, out, batch_rows=50, jobs=jobs, blocksize=8000)
    assert_first_fault(info.value, expected)
    # Nothing half-written: the file there before is as it was.
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(path)] + ["out." + fmt] * existing)
    if existing:
        assert out.read_bytes() == b"before"


@pytest.mark.parametrize("jobs", [1, 2])
def test_an_unsupported_encoding_is_named_in_a_range_read_from_a_split_point(tmp_path, jobs):
    body = "".join(f"<a><b>{i}</b></a>\n" for i in range(2000)).encode()
    path = tmp_path / "doc.xml"
    path.write_bytes(
        b'<?xml version="1.0" encoding="IBM855"?>\n<r>\n' + body + b"<a><b>\xad</b></a>\n" + body + b"</r>"
    )
    with pytest.raises(ValueError) as info:
        convert(path, tmp_path / "out.csv", jobs=jobs, blocksize=2000)
    assert (
        "the document declares encoding 'IBM855', which is not supported; it was read as UTF-8: invalid UTF-8"
        in str(info.value)
    )
    assert "at line 2003," in str(info.value)
