"""quelbrand.dask on a LocalCluster of worker processes: XML files as a DataFrame
and a Bag, and the kernels over chunked arrays."""

import bz2
import gzip
import lzma
import os
import re

import pytest

pytest.importorskip("dask.distributed")

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import numpy as np  # noqa: E402
from conftest import FAULT_ORDERS, assert_first_fault  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import quelbrand.dask as qd  # noqa: E402
import quelbrand_kernels as qk  # noqa: E402
from quelbrand.arrow import to_pandas  # noqa: E402

# Starting a worker process imports pandas and pyarrow; on two loaded cores
# that can take many seconds, so the connection timeouts only catch a hang.
HANG = "300s"


@pytest.fixture(scope="module", autouse=True)
def client():
    # Worker processes, so every task's arguments and results really travel.
    # The worker processes take the configuration as it is when they start.
    with (
        dask.config.set({"distributed.comm.timeouts.connect": HANG, "distributed.comm.timeouts.tcp": HANG}),
        LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster,
        Client(cluster, timeout=HANG) as c,
    ):
        yield c


def rows(frame):
    """A frame's rows as tuples with None for a missing value, and its index."""
    plain = frame.astype(object).where(frame.notna(), None)
    return list(plain.itertuples(index=False, name=None)), list(frame.index)


FILES = [
    "<r><rec><a>1</a><b>x</b></rec><rec><a>2</a></rec></r>",
    "<r><rec><c>3</c></rec></r>",
    "<r><rec><b>y</b><a>4</a></rec></r>",
]


# ---- DataFrame --------------------------------------------------------------------


def test_dataframe_is_the_files_in_order(write_xml):
    paths = [write_xml(doc) for doc in FILES]
    frame = qd.read_xml(paths, batch_rows=1)
    assert frame.npartitions == 3
    assert frame.divisions == (0, 2, 3, 4)
    assert list(frame.columns) == ["a", "b", "c"]
    got = frame.compute()
    assert rows(got) == ([("1", "x", None), ("2", None, None), (None, None, "3"), ("4", "y", None)], [0, 1, 2, 3])
    assert (got.dtypes == to_pandas(paths[0]).dtypes["a"]).all()
    assert (frame.dtypes == got.dtypes).all()
    # The divisions are right, so index lookups go to one partition.
    assert rows(frame.loc[2].compute()) == ([(None, None, "3")], [2])
    assert rows(frame.partitions[2].compute()) == ([("4", "y", None)], [3])
    assert rows(frame[["c"]].compute())[0] == [(None,), (None,), ("3",), (None,)]


def test_named_columns_and_an_empty_file(write_xml):
    paths = [write_xml(FILES[0]), write_xml("<r/>"), write_xml(FILES[2])]
    frame = qd.read_xml(paths, columns=["b", "a", "z"])
    assert frame.npartitions == 3
    # An empty file in the middle would repeat a division: left unknown.
    assert not frame.known_divisions
    assert rows(frame.compute()) == ([("x", "1", None), (None, "2", None), ("y", "4", None)], [0, 1, 2])
    # Named columns are a projection, as in read_xml: the others are skipped.
    only = qd.read_xml(paths, columns=["a"]).compute()
    assert list(only.columns) == ["a"] and only["a"].tolist() == ["1", "2", "4"]


def test_parse_errors(write_xml):
    good = write_xml(FILES[0])
    # Malformed markup: the survey meets it while building the frame.
    broken = write_xml("<r><rec><a>1</b></rec></r>")
    with pytest.raises(ValueError, match=f"^failed to parse XML file '{re.escape(broken)}': "):
        qd.read_xml([good, broken])
    with pytest.raises(ValueError, match=f"^failed to parse XML file '{re.escape(broken)}': "):
        qd.read_xml_bag([good, broken]).compute()
    # Undecodable text escapes the counter; with named columns there is no
    # other survey, so the fault shows when the partition is read.
    undecodable = write_xml(b"<r><rec><a>\xe9</a></rec></r>")
    frame = qd.read_xml([good, undecodable], columns=["a", "b"])
    with pytest.raises(ValueError, match=f"^failed to parse XML file '{re.escape(undecodable)}': "):
        frame.compute()


def test_file_grown_since_counted_raises(write_xml):
    path = write_xml(FILES[1])
    frame = qd.read_xml([path])
    with open(path, "w") as f:
        f.write("<r><rec><c>3</c></rec><rec><c>4</c></rec></r>")
    with pytest.raises(ValueError, match="changed since"):
        frame.compute()


# ---- One file in many partitions ---------------------------------------------------

# Comments and CDATA holding the row tag, a DOCTYPE, records of every size and
# several top-level elements: a split made by searching for `<rec>` would
# cut through them.
SPLIT_DOC = (
    '<?xml version="1.0"?>\n<!DOCTYPE r [<!ENTITY e "<rec>">]>\n<r>'
    + "".join(
        f"<!-- <rec><a>no</a></rec> --><rec><a>{i}</a><b><![CDATA[</rec><rec>]]></b></rec>\n"
        if i % 5 == 0
        else (f"</r><r><rec><c>{'z' * 900}</c></rec>" if i % 17 == 0 else f"<rec><a>{i}</a></rec>\n")
        for i in range(300)
    )
    + "</r>\n"
)


@pytest.mark.parametrize("blocksize", [200, "1KiB", 5000, None])
def test_one_file_splits_into_partitions_that_hold_its_records(write_xml, blocksize):
    path = write_xml(SPLIT_DOC)
    whole = to_pandas(path)
    frame = qd.read_xml([path, write_xml(FILES[0])], blocksize=blocksize)
    if blocksize is None:
        assert frame.npartitions == 2
    else:
        assert frame.npartitions > (30 if blocksize == 200 else 3)
    assert frame.known_divisions
    got = frame.compute()
    assert rows(got)[0] == rows(whole)[0] + [("1", "x", None), ("2", None, None)]
    assert rows(got)[1] == list(range(len(whole) + 2))
    assert (got.dtypes == whole.dtypes["a"]).all()
    # Each partition holds the rows its divisions say.
    k = frame.npartitions // 2
    part = frame.partitions[k].compute()
    assert list(part.index) == list(range(frame.divisions[k], frame.divisions[k + 1]))
    bag = qd.read_xml_bag([path], blocksize=blocksize)
    assert bag.compute() == qd.read_xml_bag([path], blocksize=None).compute()


def test_a_compressed_file_is_one_partition(write_xml):
    # xz has no index to enter it by (gzip and bzip2 split: see below).
    packed = write_xml(lzma.compress(SPLIT_DOC.encode()), name="doc.xml.xz")
    frame = qd.read_xml([packed, write_xml(SPLIT_DOC)], blocksize=200)
    whole = to_pandas(write_xml(SPLIT_DOC))
    # The whole compressed file in the first partition, the plain one split.
    assert frame.divisions[1] == len(whole) and frame.npartitions > 30
    assert rows(frame.partitions[0].compute()) == rows(whole)
    bag = qd.read_xml_bag([packed], blocksize=200)
    assert bag.npartitions == 1 and len(bag.compute()) == len(whole)


@pytest.mark.parametrize("codec", ["gzip", "bzip2"])
@pytest.mark.parametrize("blocksize", [300, 2000])
def test_a_gzip_or_bzip2_file_splits_through_its_index(write_xml, codec, blocksize):
    # The workers read the ranges through the index the survey task built.
    pytest.importorskip("rapidgzip" if codec == "gzip" else "indexed_bzip2", reason="the compressed extra")
    pack = gzip.compress if codec == "gzip" else bz2.compress
    packed = write_xml(pack(SPLIT_DOC.encode()), name="doc.xml.gz")
    frame = qd.read_xml([packed], blocksize=blocksize)
    whole = to_pandas(write_xml(SPLIT_DOC))
    assert frame.npartitions > 3 and frame.divisions[-1] == len(whole)
    assert rows(frame.compute()) == rows(whole)


def test_a_fault_is_raised_by_its_partition_alone_with_its_line(write_xml):
    path = write_xml(
        "<r>\n" + "".join(f"<rec><a>{'&bad;' if i == 150 else i}</a></rec>\n" for i in range(300)) + "</r>"
    )
    with pytest.raises(ValueError) as whole:
        to_pandas(path)
    frame = qd.read_xml([path], blocksize=500)  # the survey skims text
    faulty = [k for k in range(frame.npartitions) if frame.divisions[k] <= 150 < frame.divisions[k + 1]]
    (k,) = faulty
    with pytest.raises(ValueError) as part:
        frame.partitions[k].compute()
    assert str(part.value) == str(whole.value) and "line 152" in str(part.value)
    assert len(frame.partitions[k + 1].compute()) == frame.divisions[k + 2] - frame.divisions[k + 1]


def test_file_changed_since_split_raises(write_xml):
    path = write_xml(SPLIT_DOC)
    frame = qd.read_xml([path], blocksize=1000)
    with open(path, "w") as f:
        f.write(SPLIT_DOC.replace("<a>1", "<a>9", 1))  # same size, later modification time
    os.utime(path, ns=(os.stat(path).st_atime_ns, os.stat(path).st_mtime_ns + 10**9))
    with pytest.raises(ValueError, match="changed since"):
        frame.partitions[1].compute()


@pytest.mark.parametrize("blocksize", [0, -5, "0B"])
def test_blocksize_must_be_positive(write_xml, blocksize):
    with pytest.raises(ValueError, match="blocksize"):
        qd.read_xml([write_xml(FILES[0])], blocksize=blocksize)


# ---- Bag ------------------------------------------------------------------------------


def test_bag_is_the_records_in_order(write_xml):
    paths = [write_xml(doc) for doc in FILES] + [write_xml("<r><rec><a/><d>5</d></rec></r>")]
    bag = qd.read_xml_bag(paths, batch_rows=1)
    assert bag.npartitions == 4
    assert bag.compute() == [{"a": "1", "b": "x"}, {"a": "2"}, {"c": "3"}, {"b": "y", "a": "4"}, {"d": "5"}]


@pytest.mark.parametrize("batch_rows", [1, 2, 65536])
def test_records_without_values_are_kept(write_xml, batch_rows):
    # A batch of such records has no columns at all; they must still count.
    path = write_xml("<r><rec><a>1</a></rec><x/><y>t</y><rec><a/></rec></r>")
    assert qd.read_xml_bag([path], batch_rows=batch_rows).compute() == [{"a": "1"}, {}, {}, {}]
    frame = qd.read_xml([path], batch_rows=batch_rows).compute()
    assert rows(frame) == ([("1",), (None,), (None,), (None,)], [0, 1, 2, 3])


# ---- Kernels over chunked arrays -------------------------------------------------------------

N = 1000
CHUNKINGS = [N, 256, (1, 7, 500, 2, 490), (N - 1, 1), (0, 600, 0, 400)]
KERNELS = ["keyed_hash", "keyed_uniforms", "inv_norm_cdf"]


def kernel(module, name, arr, seed=2**64 - 1):
    if name == "inv_norm_cdf":
        return module.inv_norm_cdf(arr)
    return getattr(module, name)(seed, "ns\u00e9", arr, 3)


@pytest.fixture
def keys(rng):
    gen = np.random.default_rng(rng.randrange(2**32))
    out = gen.integers(0, 2**64, size=N, dtype=np.uint64, endpoint=False)
    out[:4] = [0, 1, 2**63, 2**64 - 1]
    return out


@pytest.mark.parametrize("chunks", CHUNKINGS)
@pytest.mark.parametrize("name", KERNELS)
def test_kernels_match_one_call_whatever_the_chunking(keys, chunks, name):
    arr = keys
    if name == "inv_norm_cdf":
        arr = qk.keyed_uniforms(7, "u", keys, 0)
        arr[:6] = [0.0, 1.0, np.nan, 5e-324, 0.02425, 1e-10]
    lazy = kernel(qd, name, da.from_array(arr, chunks=chunks))
    want = kernel(qk, name, arr)
    got = lazy.compute()
    assert lazy.dtype == got.dtype == want.dtype
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize(
    "arr", [np.zeros((2, 2), np.uint64), np.zeros(3, np.int64), np.zeros((), np.float64), np.zeros(3, np.float32)]
)
def test_wrong_arrays_raise_the_modules_error_at_once(name, arr):
    with pytest.raises(TypeError) as want:
        kernel(qk, name, arr)
    with pytest.raises(TypeError, match=f"^{re.escape(str(want.value))}$"):
        kernel(qd, name, da.from_array(arr))


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: qd.keyed_hash(-1, "n", da.zeros(3, dtype=np.uint64), 0), OverflowError),
        (lambda: qd.keyed_uniforms(1, "n", np.zeros(3, np.uint64), 0), TypeError),
        (lambda: qd.inv_norm_cdf(np.zeros(3)), TypeError),
        (lambda: qd.read_xml("one.xml"), TypeError),
        (lambda: qd.read_xml_bag([]), ValueError),
    ],
)
def test_other_argument_errors_raise_at_once(call, error):
    with pytest.raises(error):
        call()


def test_entities_reach_every_partition(write_xml, tmp_path):
    body = "".join(f"<rec><a>&co;{i}</a><b>&eacute;&ouml;</b></rec>" for i in range(400))
    path = write_xml(f'<!DOCTYPE r [<!ENTITY co "Acme &amp; Co">]><r>{body}</r>')
    dtd = tmp_path / "o.dtd"
    dtd.write_text('<!ENTITY ouml "&#246;">')
    frame = qd.read_xml([path], blocksize=2048, entities="html", dtd=str(dtd))
    bag = qd.read_xml_bag([path], blocksize=2048, entities="html", dtd=dtd)
    assert bag.pluck("a").compute() == [f"Acme & Co{i}" for i in range(400)]
    assert frame.npartitions > 2
    got, index = rows(frame.compute())
    assert got == [(f"Acme & Co{i}", "éö") for i in range(400)] and index == list(range(400))


@pytest.mark.parametrize("blocksize", [2000, None])
def test_nested_frames_are_the_files_nested_rows(write_xml, blocksize):
    pad = "<x><d>...................</d></x>\n" * 300
    first = write_xml(f'<r><x id="1"><a>1</a><a>2</a></x>\n<x><b>t<i>z</i></b></x>\n<x><a>3</a></x>\n{pad}</r>')
    second = write_xml("<r><x><c>new</c></x></r>")
    frame = qd.read_xml([first, second], nested=True, attributes=True, blocksize=blocksize)
    if blocksize:
        assert frame.npartitions > 2
    got = frame.compute()
    assert list(got.columns) == ["@id", "a", "b", "d", "c"] and str(frame.dtypes["a"]) == "object"
    assert [list(v) for v in got["a"]] == [["1", "2"], [], ["3"]] + [[]] * 301
    assert got["b"][1] == {"i": "z", "#text": "t"} and got["c"][303] == "new"
    assert list(got.index) == list(range(304))
    with pytest.raises(ValueError, match="nested=True"):
        qd.read_xml([first], text_of=["b"])


@pytest.mark.parametrize("blocksize", [300, None])
def test_flat_frames_take_types_and_attributes_over_every_file(write_xml, blocksize):
    # A column's type is decided over all the files: an integer column that
    # a later file holds a decimal in is float64 in every partition.
    body = "".join(f'<x id="{i}"><n>{i}</n><d>2024-01-{i % 28 + 1:02}</d><t>a{i}</t></x>\n' for i in range(200))
    first = write_xml(f"<r>{body}</r>")
    second = write_xml('<r><x id="7"><n>2.5</n><t>b</t></x></r>')
    frame = qd.read_xml([first, second], types=True, attributes=True, blocksize=blocksize)
    if blocksize:
        assert frame.npartitions > 3
    got = frame.compute()
    assert list(got.columns) == ["id", "n", "d", "t"]
    assert {c: str(t) for c, t in got.dtypes.items()} == {"id": "Int64", "n": "Float64", "d": "object", "t": "string"}
    assert got["n"].tolist()[-2:] == [199.0, 2.5] and got["id"].tolist()[-1] == 7
    assert str(got["d"][0]) == "2024-01-01" and got["d"].tolist()[-1] is None
    assert {c: str(t) for c, t in frame.dtypes.items()} == {c: str(t) for c, t in got.dtypes.items()}


@pytest.mark.parametrize("order", FAULT_ORDERS, ids="-".join)
@pytest.mark.parametrize(
    "build",
    [
        lambda p: qd.read_xml([p], blocksize=8000),
        lambda p: qd.read_xml([p], blocksize=8000, columns=["id"]),
        lambda p: qd.read_xml([p], blocksize=8000, nested=True),
        lambda p: qd.read_xml_bag([p], blocksize=8000),
        lambda p: qd.read_xml([p], blocksize=None),
    ],
    ids=["frame", "named_columns", "nested", "bag", "whole"],
)
def test_the_survey_raises_the_file_s_first_fault(faulty_xml, order, build):
    # The survey skims text: where it fails on markup, an earlier fault in
    # text is raised instead, from this call or from the partition.
    path, expected = faulty_xml(order)
    with pytest.raises(ValueError) as info:
        dask.compute(build(path))
    assert_first_fault(info.value, expected)


@pytest.mark.parametrize("build", [qd.read_xml, qd.read_xml_bag])
def test_a_missing_file_is_file_not_found(tmp_path, build):
    path = str(tmp_path / "no.xml")
    with pytest.raises(FileNotFoundError) as info:
        dask.compute(build([path]))
    assert info.value.filename == path
