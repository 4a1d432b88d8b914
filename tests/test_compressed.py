"""gzip and bzip2 files read by every decompressor, whole and split through
their index: every way gives the plain file's rows, and a cut-off archive
is a clear error."""

import bz2
import gzip
import importlib.util
import io
import os

import pyarrow as pa
import pytest

import quelbrand
import quelbrand._native as _native
from quelbrand import compressed
from quelbrand.convert import convert
from quelbrand.split import survey

FAST = {"gzip": "rapidgzip", "bzip2": "indexed_bzip2"}
OPTIONAL = ("rapidgzip", "indexed_bzip2", "isal.igzip", "isal.isal_zlib")


def installed(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ImportError:
        return False


@pytest.fixture(params=["fast", "isal", "stdlib"])
def decompressor(request, monkeypatch):
    """Each decompressor in turn: the parallel ones, isal for gzip beside the
    standard library's bzip2, and the standard library alone; those not
    wanted are hidden, those missing skip."""
    needed = {"fast": FAST.values(), "isal": ["isal"], "stdlib": []}[request.param]
    if not all(installed(name) for name in needed):
        pytest.skip(f"{', '.join(needed)} not installed (the compressed extra)")
    hidden = {"fast": (), "isal": FAST.values(), "stdlib": OPTIONAL}[request.param]
    real = compressed._module
    monkeypatch.setattr(compressed, "_module", lambda name: None if name in hidden else real(name))
    return request.param


def expected_backend(decompressor, codec):
    if decompressor == "fast":
        return FAST[codec]
    return "isal" if decompressor == "isal" and codec == "gzip" else "stdlib"


def document(rng, records=3000):
    """Records whose markup sometimes hides a closing tag in a comment or a
    CDATA section, so that some guessed starts are wrong."""
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<dump>\n']
    for i in range(records):
        extra = rng.choice(["", "", "<!-- </rec> -->", "<![CDATA[ </rec> <rec> ]]>", "<n><rec>in</rec></n>"])
        text = "".join(rng.choice(["ab", "cd ", "&amp;", "&lt;", "x&gt;"]) for _ in range(rng.randrange(0, 20)))
        parts.append(f'<rec id="{i}"><a>{i}</a><b>{text}</b>{extra}</rec>\n')
    parts.append("</dump>\n")
    return "".join(parts).encode()


def streams(data, rng, codec, count):
    """`data` compressed as `count` independent streams cut anywhere."""
    cuts = sorted(rng.sample(range(1, len(data)), count - 1))
    pack = bz2.compress if codec == "bzip2" else gzip.compress
    return b"".join(pack(data[a:b]) for a, b in zip([0, *cuts], [*cuts, len(data)]))


def packed(tmp_path, data, codec, rng=None, count=1):
    path = tmp_path / f"doc.xml.{'bz2' if codec == 'bzip2' else 'gz'}"
    if count > 1:
        path.write_bytes(streams(data, rng, codec, count))
    else:
        path.write_bytes(bz2.compress(data) if codec == "bzip2" else gzip.compress(data))
    return str(path)


def plain(tmp_path, data):
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    return str(path)


def range_rows(found):
    """The rows of every range of a survey, read through its index."""
    rows = []
    for part in found.ranges:
        rows += [row for batch in part.open(512, found.columns) for row in pa.record_batch(batch).to_pylist()]
    return rows


def whole_rows(path, columns):
    rows = []
    for batch in _native.open(path, 512, columns=columns):
        rows += pa.record_batch(batch).to_pylist()
    return rows


@pytest.mark.parametrize("codec", ["gzip", "bzip2"])
@pytest.mark.parametrize("threads", [1, 2])
def test_a_compressed_file_reads_as_the_plain_one(rng, tmp_path, decompressor, codec, threads):
    data = document(rng, 500)
    path = packed(tmp_path, data, codec)
    assert compressed.backend(codec) == expected_backend(decompressor, codec)
    table = quelbrand.read_xml(path, threads=threads)
    assert table.to_arrow().equals(quelbrand.read_xml(plain(tmp_path, data)).to_arrow())
    # Progress counts the compressed bytes, through to the last.
    assert table.input_size == os.path.getsize(path) == table.bytes_read


@pytest.mark.parametrize("codec,count", [("gzip", 1), ("bzip2", 1), ("bzip2", 7), ("gzip", 5)])
@pytest.mark.parametrize("blocksize", [1500, 9000, 40000])
def test_split_reads_equal_the_whole_read(rng, tmp_path, decompressor, codec, count, blocksize):
    data = document(rng)
    path = packed(tmp_path, data, codec, rng, count)
    found = survey(path, blocksize, threads=2)
    reference = plain(tmp_path, data)
    assert found.records == 3000
    assert found.columns == survey(reference, blocksize).columns
    assert range_rows(found) == whole_rows(reference, found.columns)
    # The parallel decompressors split any file; the standard library only
    # one of several streams.
    split = decompressor == "fast" or count > 1
    assert (len(found.ranges) > 1) == split
    if split:
        assert {part.index.kind for part in found.ranges} == {FAST[codec] if decompressor == "fast" else "streams"}


@pytest.mark.parametrize("codec,count", [("gzip", 1), ("bzip2", 3)])
@pytest.mark.parametrize("jobs", [2, 3])
@pytest.mark.parametrize("fmt,nested", [("csv", False), ("parquet", False), ("jsonl", True)])
def test_convert_in_ranges_writes_what_one_job_writes(rng, tmp_path, decompressor, codec, count, jobs, fmt, nested):
    data = document(rng)
    path = packed(tmp_path, data, codec, rng, count)
    one, many = tmp_path / f"one.{fmt}", tmp_path / f"many.{fmt}"
    assert convert(plain(tmp_path, data), str(one), jobs=1, nested=nested) == 3000
    assert convert(path, str(many), jobs=jobs, blocksize=8000, nested=nested) == 3000
    if fmt != "parquet":
        assert many.read_bytes() == one.read_bytes()
    else:
        import pyarrow.parquet as pq

        assert pq.read_table(many).equals(pq.read_table(one))


@pytest.mark.parametrize("codec", ["gzip", "bzip2"])
@pytest.mark.parametrize("keep", [0.3, 0.7, 0.999])
def test_a_cut_off_archive_is_a_clear_error(rng, tmp_path, decompressor, codec, keep):
    data = document(rng, 2000)
    path = packed(tmp_path, data, codec)
    raw = open(path, "rb").read()
    open(path, "wb").write(raw[: int(len(raw) * keep)])
    with pytest.raises(quelbrand.ConversionError, match="cut off") as caught:
        quelbrand.read_xml(path, threads=2).to_arrow()
    assert path in str(caught.value)
    # The index pass of a split conversion says the same.
    with pytest.raises(quelbrand.ConversionError, match="cut off"):
        convert(path, str(tmp_path / "out.csv"), jobs=2, blocksize=4000)
    assert not (tmp_path / "out.csv").exists()


def test_a_stream_index_seeks_anywhere(rng, tmp_path):
    data = document(rng, 800)
    path = packed(tmp_path, data, "bzip2", rng, 6)
    index = compressed.build_index(path, "bzip2")
    assert index is not None and index.kind in ("streams", "indexed_bzip2") and index.size == len(data)
    with index.open(path) as reading:
        for at in sorted(rng.sample(range(len(data)), 20), reverse=True):
            reading.seek(at)
            assert reading.read(100) == data[at : at + 100]


def test_gzip_bytes_and_file_objects_still_read_as_a_stream(rng, tmp_path):
    data = document(rng, 200)
    expected = quelbrand.read_xml(data).to_arrow()
    assert quelbrand.read_xml(gzip.compress(data)).to_arrow().equals(expected)
    assert quelbrand.read_xml(io.BytesIO(bz2.compress(data))).to_arrow().equals(expected)


@pytest.mark.parametrize("codec", ["gzip", "bzip2"])
@pytest.mark.parametrize("tail", [b"", b"\x00" * 512, b"junk"])
def test_the_end_of_an_archive(tmp_path, decompressor, codec, tail):
    # Zero padding after the last stream is no fault; other bytes are for
    # gzip, whatever reads it, while bzip2 readers pass over them.
    path = packed(tmp_path, b"<r><rec><a>1</a></rec></r>", codec)
    with open(path, "ab") as file:
        file.write(tail)
    table = quelbrand.read_xml(path)
    if tail.strip(b"\x00") and codec == "gzip":
        with pytest.raises(quelbrand.ConversionError, match=os.path.basename(path)):
            table.to_arrow()
    else:
        assert table.to_arrow().to_pylist() == [{"a": "1"}]
