"""URLs read through fsspec against real servers on 127.0.0.1: an
S3-compatible one, an HTTP server that answers range requests and one that
ignores them. Every reading must be the local file's, value for value."""

import bz2
import contextlib
import gzip
import http.server
import io
import os
import sys
import threading

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("fsspec", reason="the remote extra (fsspec) is not installed")
pytest.importorskip("s3fs", reason="the remote extra (s3fs) is not installed")
pytest.importorskip("aiohttp", reason="the remote extra (aiohttp) is not installed")
moto_server = pytest.importorskip("moto.server", reason="moto[server] is not installed")

import quelbrand  # noqa: E402
from quelbrand import ConversionError, MissingExtraError, remote  # noqa: E402
from quelbrand.cli import main  # noqa: E402
from quelbrand.convert import convert  # noqa: E402

BUCKET = "quelbrand-test"

# Comments and CDATA holding the record's tag, a DOCTYPE with an entity,
# records of every size and several top-level elements, as the split tests
# use: a split that trusted the bytes would cut through them.
DOC = (
    '<?xml version="1.0"?>\n<!DOCTYPE r [<!ENTITY e "ent">]>\n<r>'
    + "".join(
        f"<!-- <rec><a>no</a></rec> --><rec><a>{i}</a><b><![CDATA[</rec><rec>]]>&e;</b></rec>\n"
        if i % 5 == 0
        else (f"</r><r><rec><c>{'z' * 900}</c></rec>" if i % 17 == 0 else f"<rec><a>{i}</a><d>{i * 7}</d></rec>\n")
        for i in range(600)
    )
    + "</r>\n"
).encode()

OBJECTS = {
    "doc.xml": DOC,
    "doc.xml.gz": gzip.compress(DOC),
    "doc.xml.bz2": bz2.compress(DOC),
    "more/a.xml": b"<r><rec><a>1</a><b>x</b></rec><rec><a>2</a></rec></r>",
    "more/b.xml": b"<r><rec><c>3</c></rec></r>",
}


@pytest.fixture(scope="session")
def s3():
    """A moto S3 server on a free port, the test objects in a bucket, and
    the storage_options that reach it."""
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    options = {
        "key": "testing",
        "secret": "testing",
        "client_kwargs": {"endpoint_url": f"http://{host}:{port}", "region_name": "eu-west-1"},
        # A fresh client per test session: fsspec caches filesystems by options.
        "skip_instance_cache": True,
    }
    import s3fs

    fs = s3fs.S3FileSystem(**options)
    fs.mkdir(BUCKET)
    for name, data in OBJECTS.items():
        fs.pipe(f"{BUCKET}/{name}", data)
    try:
        yield options
    finally:
        server.stop()


def _handler(files, ranges):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def _send(self, body_wanted):
            data = files.get(self.path.lstrip("/"))
            if data is None:
                self.send_error(404)
                return
            wanted = self.headers.get("Range") if ranges else None
            if wanted and wanted.startswith("bytes="):
                first, _, last = wanted[6:].partition("-")
                lo, hi = int(first), min(int(last) if last else len(data) - 1, len(data) - 1)
                if lo >= len(data):
                    self.send_response(416)
                    self.send_header("Content-Range", f"bytes */{len(data)}")
                    self.end_headers()
                    return
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {lo}-{hi}/{len(data)}")
                data = data[lo : hi + 1]
            else:
                self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Accept-Ranges", "bytes" if ranges else "none")
            self.end_headers()
            if body_wanted:
                self.wfile.write(data)

        def do_GET(self):
            self._send(True)

        def do_HEAD(self):
            self._send(False)

    return Handler


@contextlib.contextmanager
def _http_server(ranges):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _handler(OBJECTS, ranges))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


@pytest.fixture(scope="session")
def http_ranges():
    with _http_server(True) as url:
        yield url


@pytest.fixture(scope="session")
def http_whole():
    """A server that ignores range requests, sending the whole object."""
    with _http_server(False) as url:
        yield url


@pytest.fixture(scope="session")
def local(tmp_path_factory):
    root = tmp_path_factory.mktemp("objects")
    for name, data in OBJECTS.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


def _url(where, s3, http_ranges, http_whole, name):
    if where == "s3":
        return f"s3://{BUCKET}/{name}", s3
    return (http_ranges if where == "http" else http_whole) + "/" + name, None


WHERE = ["s3", "http", "http-no-ranges"]


# ---- read_xml, convert and count -------------------------------------------------------


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("name", ["doc.xml", "doc.xml.gz", "doc.xml.bz2"])
@pytest.mark.parametrize("types", [False, True])
def test_read_xml_of_a_url_is_the_local_files(s3, http_ranges, http_whole, local, where, name, types):
    url, options = _url(where, s3, http_ranges, http_whole, name)
    table = quelbrand.read_xml(url, storage_options=options, types=types, batch_rows=97)
    expected = quelbrand.read_xml(str(local / name), types=types, batch_rows=97).to_arrow()
    assert table.to_arrow().equals(expected)
    # Read again: every pass opens the object anew.
    assert pa.Table.from_batches(list(table), schema=table.schema).equals(expected)
    assert table.input_size == len(OBJECTS[name])
    assert table.bytes_read == len(OBJECTS[name])


@pytest.mark.parametrize("where", ["s3", "http"])
@pytest.mark.parametrize("piece", [700, 5000])
def test_to_arrow_reads_an_object_in_pieces_as_the_local_file(s3, http_ranges, local, monkeypatch, where, piece):
    from quelbrand import parallel

    monkeypatch.setattr(parallel, "MIN_PIECE", piece)
    url, options = _url(where, s3, http_ranges, None, "doc.xml")
    reads = []
    real = remote.RangedFile.__init__

    def counted(self, *args, **kwargs):
        reads.append(kwargs.get("near"))
        real(self, *args, **kwargs)

    monkeypatch.setattr(remote.RangedFile, "__init__", counted)
    got = quelbrand.read_xml(url, storage_options=options, threads=3, batch_rows=50).to_arrow()
    assert got.equals(quelbrand.read_xml(str(local / "doc.xml"), threads=1, batch_rows=50).to_arrow())
    assert len([near for near in reads if near is not None]) > 3  # ranges, each its own reader


@pytest.mark.parametrize("options", [{}, {"types": True}, {"columns": ["d", "a", "nope"]}])
def test_batches_stream_from_an_objects_pieces_as_from_the_local_files(s3, local, monkeypatch, options):
    from quelbrand import parallel

    monkeypatch.setattr(parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(parallel, "MIN_STREAM_PIECE", 300)
    opened = []
    real = parallel.BatchTask.open

    def counted(self, *args, **kwargs):
        opened.append(self.part.path)
        return real(self, *args, **kwargs)

    monkeypatch.setattr(parallel.BatchTask, "open", counted)
    table = quelbrand.read_xml(f"s3://{BUCKET}/doc.xml", storage_options=s3, threads=2, batch_rows=7, **options)
    batches = list(table)
    expected = list(quelbrand.read_xml(str(local / "doc.xml"), threads=1, batch_rows=7, **options))
    assert [len(b) for b in batches] == [len(b) for b in expected]
    assert pa.Table.from_batches(batches).equals(pa.Table.from_batches(expected))
    assert len([p for p in opened if isinstance(p, remote.Remote)]) > 3
    assert table.bytes_read == table.input_size == len(DOC)


@pytest.mark.parametrize("block", [97, 4096, 1 << 20])
def test_ranged_reads_in_any_block_size_give_the_objects_bytes(s3, monkeypatch, block):
    obj = remote.remote_of(f"s3://{BUCKET}/doc.xml", s3)
    for prefetch in (False, True):
        with remote.RangedFile(obj, block=block, prefetch=prefetch) as file:
            pieces = []
            while chunk := file.read(block // 3 + 1):
                pieces.append(chunk)
            assert b"".join(pieces) == DOC
            file.seek(-50, os.SEEK_END)
            assert file.read() == DOC[-50:]
            file.seek(block + 1)
            assert file.read(7) == DOC[block + 1 : block + 8]
    monkeypatch.setattr(remote, "BLOCK", block)
    monkeypatch.setattr(remote.RangedFile.__init__, "__defaults__", (block, True, None))
    got = quelbrand.read_xml(f"s3://{BUCKET}/doc.xml", storage_options=s3, nested=True).to_arrow()
    assert got.equals(quelbrand.read_xml(DOC, nested=True).to_arrow())


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_convert_of_a_url_writes_the_local_files_output(s3, http_ranges, http_whole, local, tmp_path, where, fmt):
    url, options = _url(where, s3, http_ranges, http_whole, "doc.xml.gz")
    progress = io.StringIO()
    rows = convert(url, tmp_path / f"remote.{fmt}", storage_options=options, progress=progress, types=True)
    assert rows == convert(str(local / "doc.xml.gz"), tmp_path / f"local.{fmt}", types=True)
    assert (tmp_path / f"remote.{fmt}").read_bytes() == (tmp_path / f"local.{fmt}").read_bytes()


def test_the_command_takes_storage_options(s3, local, tmp_path, capsys):
    endpoint = s3["client_kwargs"]["endpoint_url"]
    options = ["--storage-option", "key=testing", "--storage-option", "secret=testing"]
    options += ["--storage-option", f'client_kwargs={{"endpoint_url": "{endpoint}"}}']
    assert main(["count", f"s3://{BUCKET}/doc.xml.gz", *options]) == 0
    assert main(["count", (local / "doc.xml").as_uri()]) == 0
    assert main(["count", f"s3://{BUCKET}/doc.xml", "--record", "a", *options]) == 0
    assert main(["count", str(local / "doc.xml"), "--record", "a"]) == 0
    assert main(["count", str(local / "doc.xml")]) == 0
    counted = capsys.readouterr().out.split()
    assert counted[0] == counted[1] == counted[4] and counted[2] == counted[3] and counted[0] != counted[2]
    out = tmp_path / "out.csv"
    assert main(["convert", f"s3://{BUCKET}/doc.xml", "--to", str(out), "--quiet", *options]) == 0
    convert(str(local / "doc.xml"), tmp_path / "local.csv")
    assert out.read_bytes() == (tmp_path / "local.csv").read_bytes()
    # Without credentials the store refuses: a failure naming the URL.
    bare = ["--storage-option", f'client_kwargs={{"endpoint_url": "{endpoint}"}}']
    assert main(["count", f"s3://{BUCKET}/missing.xml", *options]) == 1
    assert "missing.xml" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["count", str(local / "doc.xml"), *bare])


@pytest.mark.parametrize(
    "text, pair",
    [
        ("anon=true", ("anon", True)),
        ("block_size=1048576", ("block_size", 1048576)),
        ("endpoint_url=http://127.0.0.1:9000", ("endpoint_url", "http://127.0.0.1:9000")),
        ('client_kwargs={"region_name": "eu"}', ("client_kwargs", {"region_name": "eu"})),
        ("token=", ("token", "")),
        ("a=b=c", ("a", "b=c")),
    ],
)
def test_storage_option_values_are_json_where_they_parse(text, pair):
    assert remote.parse_storage_option(text) == pair


@pytest.mark.parametrize("text", ["novalue", "=x"])
def test_a_storage_option_needs_a_key_and_a_value(text):
    with pytest.raises(ValueError):
        remote.parse_storage_option(text)


def test_a_missing_object_and_misplaced_options_are_clear_errors(s3, local):
    with pytest.raises(FileNotFoundError, match="no such object"):
        quelbrand.read_xml(f"s3://{BUCKET}/nothing.xml", storage_options=s3).to_arrow()
    with pytest.raises(ValueError, match="only to URLs"):
        quelbrand.read_xml(str(local / "doc.xml"), storage_options=s3).to_arrow()


def test_a_file_url_is_the_local_file(local):
    url = (local / "doc.xml").as_uri()
    assert quelbrand.read_xml(url).to_arrow().equals(quelbrand.read_xml(str(local / "doc.xml")).to_arrow())


def test_an_object_changed_while_read_is_an_error_not_short_data(s3):
    obj = remote.remote_of(f"s3://{BUCKET}/more/b.xml", s3)
    import s3fs

    fs = s3fs.S3FileSystem(**s3)
    fs.pipe(f"{BUCKET}/changed/b.xml", OBJECTS["more/b.xml"])
    copy = remote.remote_of(f"s3://{BUCKET}/changed/b.xml", s3)
    fs.pipe(f"{BUCKET}/changed/b.xml", b"<r/>")
    with pytest.raises(ConversionError, match="changed"):
        copy.fetch(0, copy.size)
    with pytest.raises(ConversionError, match="changed"):
        copy.check()
    obj.check()
    # A table's later pass over an object replaced since its first fails.
    fs.pipe(f"{BUCKET}/changed/b.xml", OBJECTS["more/b.xml"])
    table = quelbrand.read_xml(f"s3://{BUCKET}/changed/b.xml", storage_options=s3)
    assert table.column_names == ["c"]
    fs.pipe(f"{BUCKET}/changed/b.xml", OBJECTS["more/a.xml"])
    with pytest.raises(ConversionError, match="changed"):
        table.to_arrow()


def test_a_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(MissingExtraError, match=r"quelbrand_kernels\[remote\]"):
        quelbrand.read_xml("s3://bucket/doc.xml").to_arrow()


# ---- Dask: ranges read where the data lives ----------------------------------------


@pytest.fixture(scope="module")
def client():
    dask = pytest.importorskip("dask", reason="the dask extra is not installed")
    distributed = pytest.importorskip("distributed", reason="the dask extra is not installed")
    hang = "300s"
    with (
        dask.config.set({"distributed.comm.timeouts.connect": hang, "distributed.comm.timeouts.tcp": hang}),
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as c,
        distributed.Client(c, timeout=hang) as client,
    ):
        yield client


def _frame_rows(frame):
    plain = frame.astype(object).where(frame.notna(), None)
    return list(plain.itertuples(index=False, name=None)), list(frame.index)


@pytest.mark.parametrize("where", ["s3", "http", "http-no-ranges"])
@pytest.mark.parametrize("blocksize", [700, "4KiB", 20000, None])
def test_dask_splits_an_object_as_it_splits_the_local_file(
    client, s3, http_ranges, http_whole, local, where, blocksize
):
    import quelbrand.dask as qd

    url, options = _url(where, s3, http_ranges, http_whole, "doc.xml")
    frame = qd.read_xml([url], blocksize=blocksize, storage_options=options)
    expected = qd.read_xml([str(local / "doc.xml")], blocksize=blocksize)
    if where == "http-no-ranges" or blocksize is None:
        assert frame.divisions == (0, 600)
    else:
        assert frame.npartitions == expected.npartitions > 2
        assert frame.divisions == expected.divisions
    got = frame.compute()
    assert _frame_rows(got) == _frame_rows(expected.compute())
    assert list(got.columns) == list(expected.columns)
    bag = qd.read_xml_bag(url, blocksize=blocksize, storage_options=options)
    assert bag.compute() == qd.read_xml_bag([str(local / "doc.xml")], blocksize=None).compute()


def test_dask_takes_glob_patterns_and_lists_of_urls(client, s3, local):
    import quelbrand.dask as qd

    pattern = qd.read_xml(f"s3://{BUCKET}/more/*.xml", storage_options=s3)
    listed = qd.read_xml([f"s3://{BUCKET}/doc.xml.gz", f"s3://{BUCKET}/more/a.xml"], storage_options=s3, types=True)
    names = ["more/a.xml", "more/b.xml"]
    assert _frame_rows(pattern.compute()) == _frame_rows(qd.read_xml([str(local / n) for n in names]).compute())
    expected = qd.read_xml([str(local / "doc.xml.gz"), str(local / "more/a.xml")], types=True).compute()
    assert _frame_rows(listed.compute()) == _frame_rows(expected)
    with pytest.raises(FileNotFoundError, match="no object matches"):
        qd.read_xml(f"s3://{BUCKET}/none/*.xml", storage_options=s3)


def test_dask_refuses_an_object_changed_since_the_survey(client, s3):
    import s3fs

    import quelbrand.dask as qd

    fs = s3fs.S3FileSystem(**s3)
    fs.pipe(f"{BUCKET}/changing.xml", DOC)
    frame = qd.read_xml([f"s3://{BUCKET}/changing.xml"], blocksize=4000, storage_options=s3)
    fs.pipe(f"{BUCKET}/changing.xml", DOC.replace(b"<a>1</a>", b"<a>9</a>", 1))  # same size, new ETag
    with pytest.raises(ValueError, match="changed since"):
        frame.partitions[1].compute()
