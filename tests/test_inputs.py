"""Every kind of input: paths, bytes, file objects, pipes and stdin, plain or
compressed. Each must give exactly the table of the plain file by path."""

import bz2
import gzip
import io
import json
import lzma
import os
import pathlib
import random
import subprocess
import sys

import pytest

import quelbrand
from quelbrand import ConversionError, MissingExtraError

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

try:
    import zstandard
except ImportError:
    zstandard = None

needs_zstd = pytest.mark.skipif(zstandard is None, reason="zstandard is not installed")

# A late column (only in the last record), missing values, and enough records
# that a small batch size makes many batches.
DOC = (
    b'<?xml version="1.0"?>\n<r>\n'
    + b"".join(
        b"<row><id>%d</id>%s<t>v%d &amp; \xc3\xa9</t></row>\n" % (i, b"<opt>o</opt>" if i % 3 == 0 else b"", i)
        for i in range(3000)
    )
    + b"<row><late>z</late></row>\n</r>\n"
)

# Attributes, and columns that take types.
ATTRIBUTED = b"<r>" + b"".join(b'<row id="%d" n="%d.5"><t k="x">v</t></row>' % (i, i) for i in range(500)) + b"</r>"

COMPRESS = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda data: zstandard.ZstdCompressor().compress(data),
}


def codecs(*names):
    return [pytest.param(n, marks=needs_zstd) if n == "zstd" else n for n in names]


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    path = tmp_path_factory.mktemp("inputs") / "doc.xml"
    path.write_bytes(DOC)
    return path


@pytest.fixture(scope="module")
def expected(plain):
    return quelbrand.read_xml(str(plain), batch_rows=256).to_arrow()


class ReadOnly:
    """A non-seekable object with only read(), giving short reads."""

    def __init__(self, data, most=1000, raise_at=None, exc=None):
        self._data, self._at, self._most = data, 0, most
        self._raise_at, self._exc = raise_at, exc
        self.name = "<read-only>"

    def read(self, n=-1):
        if self._raise_at is not None and self._at >= self._raise_at:
            raise self._exc
        n = self._most if n < 0 else min(n, self._most)
        out = self._data[self._at : self._at + n]
        self._at += len(out)
        return out


class RandomReads(io.RawIOBase):
    """A non-seekable raw stream whose readinto returns a random amount."""

    def __init__(self, data, rng):
        self._data, self._at, self._rng = data, 0, rng

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._rng.randint(1, 70000), len(self._data) - self._at)
        buffer[:n] = self._data[self._at : self._at + n]
        self._at += n
        return n


# ---------------------------------------------------------------------------
# Every input kind gives the table of the plain file, on every pass


def _sources(tmp, plain):
    gz = tmp / "doc.xml.gz"

    def gzipped():
        gz.write_bytes(gzip.compress(DOC))
        return gz

    return {
        "str path": lambda: str(plain),
        "pathlib path": lambda: plain,
        "bytes": lambda: DOC,
        "bytearray": lambda: bytearray(DOC),
        "memoryview": lambda: memoryview(DOC),
        "BytesIO": lambda: io.BytesIO(DOC),
        "open file": lambda: open(plain, "rb"),
        "unbuffered open file": lambda: open(plain, "rb", buffering=0),
        "gzip.open object": lambda: gzip.open(gzipped()),
        "open .gz file": lambda: open(gzipped(), "rb"),
        "gzip bytes": lambda: gzip.compress(DOC),
        "read-only object": lambda: ReadOnly(DOC),
        "compressed read-only object": lambda: ReadOnly(bz2.compress(DOC)),
    }


# Listing the kinds writes nothing: a source is made only when called.
SOURCE_KINDS = list(_sources(pathlib.Path("unused"), pathlib.Path("unused")))


@pytest.mark.parametrize("kind", SOURCE_KINDS)
def test_every_input_reads_as_the_plain_file(kind, tmp_path, plain, expected):
    table = quelbrand.read_xml(_sources(tmp_path, plain)[kind](), batch_rows=256)
    assert table.column_names == expected.column_names
    assert table.to_arrow().equals(expected)
    # A second pass reads the input again (or its spool) to the same table.
    assert table.to_arrow().equals(expected)


@pytest.mark.parametrize("codec", codecs("gzip", "bzip2", "xz", "zstd"))
@pytest.mark.parametrize("name", ["doc.xml.{ext}", "doc.xml", "no-extension"])
def test_compressed_files_are_known_by_their_bytes_not_their_name(codec, name, tmp_path, expected):
    ext = {"gzip": "gz", "bzip2": "bz2", "xz": "xz", "zstd": "zst"}[codec]
    path = tmp_path / name.format(ext=ext)
    raw = COMPRESS[codec](DOC)
    path.write_bytes(raw)
    table = quelbrand.read_xml(path, batch_rows=256)
    assert table.to_arrow().equals(expected)
    # Progress counts the compressed bytes against the compressed size.
    assert (table.input_size, table.bytes_read) == (len(raw), len(raw))


def test_several_gzip_members_and_zstd_frames_are_one_document(tmp_path, expected):
    half = DOC.index(b"<row><id>1500<")
    parts = [gzip.compress(DOC[:half]) + gzip.compress(DOC[half:])]
    if zstandard is not None:
        z = zstandard.ZstdCompressor()
        parts.append(z.compress(DOC[:half]) + z.compress(DOC[half:]))
    for data in parts:
        assert quelbrand.read_xml(data, batch_rows=256).to_arrow().equals(expected)


def test_a_seekable_object_is_read_from_where_it_stood(expected):
    junk = b"not part of the document"
    file = io.BytesIO(junk + DOC)
    file.seek(len(junk))
    table = quelbrand.read_xml(file, batch_rows=256)
    assert table.to_arrow().equals(expected)
    assert table.to_arrow().equals(expected)


def test_an_open_file_finds_its_columns_beside_the_batches_without_moving_the_callers_offset(plain, expected):
    # The file is opened again for the columns; the caller's object is the
    # one the batches come from.
    with open(plain, "rb") as file:
        table = quelbrand.read_xml(file, batch_rows=256)
        batches = list(table)
        assert pa.Table.from_batches(batches).equals(expected)
        assert file.tell() == len(DOC)


@pytest.mark.parametrize("seed", [random.randrange(2**32) for _ in range(3)])
def test_reads_of_any_size_give_the_same_table(seed, expected):
    print(f"seed={seed}")
    rng = random.Random(seed)
    table = quelbrand.read_xml(io.BufferedReader(RandomReads(DOC, rng)), batch_rows=rng.randint(1, 700))
    assert table.to_arrow().equals(expected)


def test_a_read_once_table_with_columns_given_is_read_straight_through(expected):
    table = quelbrand.read_xml(ReadOnly(DOC), batch_rows=256, columns=expected.column_names)
    assert pa.Table.from_batches(list(table)).equals(expected)
    with pytest.raises(ConversionError, match="read only once"):
        list(table)


def test_a_file_objects_table_is_an_arrow_stream(expected):
    assert pa.table(quelbrand.read_xml(io.BytesIO(DOC), batch_rows=256)).equals(expected)


# ---------------------------------------------------------------------------
# Failures


class Custom(Exception):
    pass


@pytest.mark.parametrize("columns", [None, ["id", "opt", "t", "late"]])
@pytest.mark.parametrize("seekable", [False, True])
def test_the_objects_own_exception_comes_through_unchanged(columns, seekable):
    raised = Custom("the disk went away")
    source = ReadOnly(DOC, most=4096, raise_at=20000, exc=raised)
    if seekable:
        source.seekable, source.tell, source.seek = (lambda: True), (lambda: source._at), (lambda n: None)
    with pytest.raises(Custom) as caught:
        quelbrand.read_xml(source, batch_rows=100, columns=columns).to_arrow()
    assert caught.value is raised


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: io.StringIO(DOC.decode()), "should return bytes, not str"),
        (lambda: type("R", (), {"read": lambda self, n: 42})(), "should return bytes, not int"),
        (lambda: type("R", (), {"readinto": lambda self, b: None})(), "returned None"),
    ],
)
def test_a_read_that_does_not_give_bytes_is_a_type_error(make, message):
    with pytest.raises(TypeError, match=message):
        quelbrand.read_xml(make(), columns=["id"]).to_arrow()


def test_an_object_that_cannot_be_read_is_a_type_error():
    with pytest.raises(TypeError, match="readable binary file object"):
        _ = quelbrand.read_xml(42).column_names


@pytest.mark.parametrize("codec", codecs("gzip", "bzip2", "xz", "zstd"))
@pytest.mark.parametrize("as_path", [False, True])
def test_a_truncated_stream_is_an_error_not_a_short_table(codec, as_path, tmp_path):
    data = COMPRESS[codec](DOC)
    cut = data[: len(data) * 2 // 3]
    source = cut
    if as_path:
        source = tmp_path / "cut.xml.z"
        source.write_bytes(cut)
    with pytest.raises(ConversionError, match=f"cannot decompress .*\\({codec}\\)"):
        quelbrand.read_xml(source, batch_rows=256).to_arrow()


def test_a_parse_error_in_a_file_object_gives_the_byte_only():
    bad = b"<r><row><a>1</b></row></r>"
    with pytest.raises(ValueError, match=r"failed to parse XML file '<BytesIO>': .* at byte 12$"):
        quelbrand.read_xml(io.BytesIO(bad)).to_arrow()
    with pytest.raises(ValueError, match=r"'<bytes>': .* at line 1, byte 12$"):
        quelbrand.read_xml(bad).to_arrow()


def test_zstd_without_its_package_names_it(monkeypatch, tmp_path):
    path = tmp_path / "doc.zst"
    path.write_bytes(b"\x28\xb5\x2f\xfd" + b"\0" * 20)
    monkeypatch.setitem(sys.modules, "zstandard", None)
    with pytest.raises(MissingExtraError, match="zstandard"):
        quelbrand.read_xml(path).to_arrow()


@pytest.mark.parametrize("codec", codecs("gzip", "xz"))
def test_progress_of_a_compressed_file_counts_its_compressed_bytes(codec, tmp_path, monkeypatch):
    from quelbrand.convert import convert
    from quelbrand.progress import Phase

    raw = COMPRESS[codec](DOC)
    path = tmp_path / "doc.xml.z"
    path.write_bytes(raw)
    seen = []
    update = Phase.update
    monkeypatch.setattr(
        Phase, "update", lambda bar, done, rows=None: (seen.append((bar.total, done)), update(bar, done, rows))
    )
    convert(path, tmp_path / "out.parquet", batch_rows=100, progress=io.StringIO())
    assert {total for total, _ in seen} == {len(raw)}
    assert max(done for _, done in seen) == len(raw)
    # Before the final update, batch by batch, the bar already reached the end.
    assert seen[-2][1] == len(raw)


# ---------------------------------------------------------------------------
# The command


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quelbrand", *args], input=stdin, capture_output=True, timeout=120, check=False
    )


@pytest.mark.parametrize("fmt", ["parquet", "csv", "jsonl"])
@pytest.mark.parametrize(
    ("compress", "doc", "flags"),
    [
        ("none", DOC, ()),
        ("gzip", DOC, ()),
        ("xz", DOC, ()),
        ("gzip", ATTRIBUTED, ("--types", "--attributes")),
    ],
)
def test_the_command_converts_stdin(fmt, compress, doc, flags, tmp_path):
    plain = tmp_path / "plain.xml"
    plain.write_bytes(doc)
    data = doc if compress == "none" else COMPRESS[compress](doc)
    out, reference = tmp_path / f"out.{fmt}", tmp_path / f"ref.{fmt}"
    result = run("convert", "-", "--to", str(out), *flags, stdin=data)
    assert result.returncode == 0, result.stderr.decode()
    assert run("convert", str(plain), "--to", str(reference), *flags).returncode == 0
    if fmt == "parquet":
        assert pq.read_table(out).equals(pq.read_table(reference))
    elif fmt == "jsonl":
        lines = [json.loads(line) for line in out.read_text().splitlines()]
        assert lines == [json.loads(line) for line in reference.read_text().splitlines()]
    else:
        assert out.read_bytes() == reference.read_bytes()


@pytest.mark.parametrize("codec", codecs("gzip", "bzip2", "zstd"))
def test_the_command_converts_and_counts_a_compressed_file(codec, tmp_path, expected):
    path = tmp_path / "doc.bin"
    path.write_bytes(COMPRESS[codec](DOC))
    out = tmp_path / "out.parquet"
    result = run("convert", str(path), "--to", str(out), "--force-progress")
    assert result.returncode == 0, result.stderr.decode()
    assert pq.read_table(out).equals(expected)
    assert run("count", str(path)).stdout.strip() == str(expected.num_rows).encode()
    assert run("count", "-", stdin=COMPRESS[codec](DOC)).stdout.strip() == str(expected.num_rows).encode()


@pytest.mark.parametrize("via_stdin", [False, True])
def test_the_command_reports_a_truncated_file_and_writes_nothing(via_stdin, tmp_path):
    data = gzip.compress(DOC)
    cut = data[: len(data) // 2]
    path = tmp_path / "cut.xml.gz"
    path.write_bytes(cut)
    out = tmp_path / "out.parquet"
    if via_stdin:
        result = run("convert", "-", "--to", str(out), stdin=cut)
    else:
        result = run("convert", str(path), "--to", str(out))
    err = result.stderr.decode()
    assert result.returncode == 1, err
    assert "Traceback" not in err
    assert err.startswith("quelbrand: cannot decompress") and "(gzip)" in err
    assert not out.exists()
    assert os.listdir(tmp_path) == ["cut.xml.gz"]


@pytest.mark.parametrize("url", ["file://{plain}", "memory://inputs/doc.xml"])
def test_an_fsspec_file_reads_as_the_plain_file(url, plain, expected):
    fsspec = pytest.importorskip("fsspec")
    if url.startswith("memory"):
        fsspec.filesystem("memory").pipe("/inputs/doc.xml", DOC)
    with fsspec.open(url.format(plain=plain), "rb") as file:
        assert quelbrand.read_xml(file, batch_rows=256).to_arrow().equals(expected)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda path, data: data, id="bytes"),
        pytest.param(lambda path, data: io.BytesIO(data), id="seekable"),
        pytest.param(lambda path, data: ReadOnly(data), id="read-once"),
        pytest.param(lambda path, data: gzip.compress(data), id="gzip-bytes"),
        pytest.param(lambda path, data: open(path, "rb"), id="open-file"),  # noqa: SIM115
    ],
)
def test_types_and_attributes_read_alike_from_every_input(tmp_path, make):
    path = tmp_path / "a.xml"
    path.write_bytes(ATTRIBUTED)
    options = dict(batch_rows=64, types=True, attributes=True)
    expected = quelbrand.read_xml(str(path), **options)
    table = quelbrand.read_xml(make(path, ATTRIBUTED), **options)
    assert table.column_types == expected.column_types == ["int64", "float64", "string", "string"]
    assert table.to_arrow().equals(expected.to_arrow())
