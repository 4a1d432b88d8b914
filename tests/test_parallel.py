"""A whole table read in pieces on several threads is the one-thread
reading's, value for value, error for error."""

import gzip
import os
import warnings

import pytest
from test_split import big_document
from test_xml_random import random_document

import quelbrand
import quelbrand._native as _native
import quelbrand.parallel as parallel
from quelbrand import FlatteningWarning
from quelbrand.records import record_options

pa = pytest.importorskip("pyarrow")


@pytest.fixture
def small_pieces(monkeypatch):
    """Pieces of a few hundred bytes, so that small files are cut often."""
    monkeypatch.setattr(parallel, "MIN_PIECE", 256)


def both(path, **options):
    """The table read on one thread and on two, or each one's error text."""
    out = []
    for threads in (1, 2):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", FlatteningWarning)
                out.append(quelbrand.read_xml(path, threads=threads, **options).to_arrow())
        except ValueError as e:
            out.append(str(e))
    return out


def pieces_read(monkeypatch):
    """Counts the pieces the next readings open."""
    opened = []
    real = parallel.read_pieces

    def counting(path, threads, open_piece, reader=None):
        def counted(**where):
            opened.append(where)
            return open_piece(**where)

        return real(path, threads, counted, reader)

    monkeypatch.setattr("quelbrand.reader.read_pieces", counting)
    return opened


@pytest.mark.parametrize(
    "options",
    [{}, {"attributes": True}, {"columns": ["v", "id", "nope"]}, {"record": "row", "record_column": "kind"}],
)
def test_big_documents_read_in_pieces_as_on_one_thread(rng, write_xml, small_pieces, monkeypatch, options):
    # Comments, CDATA sections and nested same names make guesses that must
    # be read again; later top-level elements resume in another state.
    path = write_xml(big_document(rng, 1500))
    opened = pieces_read(monkeypatch)
    one, two = both(path, **options)
    assert len(opened) > 4
    assert two.schema == one.schema
    assert two.equals(one)


def test_random_documents_read_in_pieces_as_on_one_thread(rng, write_xml, small_pieces, monkeypatch):
    monkeypatch.setattr(parallel, "MIN_PIECE", 16)
    for i in range(150):
        path = write_xml(random_document(rng), name="random.xml")
        one, two = both(path)
        if isinstance(one, str):
            assert two == one, i
        else:
            assert two.equals(one) and two.schema == one.schema, i


def test_the_first_error_in_the_file_is_raised(write_xml, small_pieces):
    # A later piece meets its fault first on its own thread: only the first
    # in the file counts.
    rows = [f"<row><v>{i}</v></row>" for i in range(30000)]
    rows[12000] = "<row><v>&bad;</v></row>"
    rows[25000] = "<row><v>1</w></row>"
    path = write_xml("<t>\n" + "\n".join(rows) + "\n</t>\n")
    _, two = both(path)
    assert isinstance(two, str) and "`bad`" in two and "line 12002" in two


def test_lost_values_warn_once_with_the_whole_files_counts(write_xml, small_pieces):
    path = write_xml("<t>" + "<r><a>1</a><a>2</a><a>3</a><b>x</b></r>" * 2000 + "</t>")
    counts = []
    for threads in (1, 2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            table = quelbrand.read_xml(path, threads=threads)
            table.to_arrow()
        assert [type(w.message) for w in caught] == [FlatteningWarning]
        counts.append((str(caught[0].message), table.lost))
    assert counts[0] == counts[1]


def test_what_is_not_cut_is_read_on_one_thread(tmp_path, write_xml, small_pieces, monkeypatch):
    opened = pieces_read(monkeypatch)
    body = "<t>" + "<r><v>1</v></r>" * 3000 + "</t>"
    packed = tmp_path / "t.xml.gz"
    packed.write_bytes(gzip.compress(body.encode()))
    assert quelbrand.read_xml(packed, threads=2).to_arrow().num_rows == 3000
    assert quelbrand.read_xml(body.encode(), threads=2).to_arrow().num_rows == 3000
    assert quelbrand.read_xml(write_xml(body), threads=2, types=True).to_arrow().num_rows == 3000
    assert opened == []
    assert quelbrand.read_xml(write_xml(body), threads=2).to_pandas().shape == (3000, 1)
    assert opened


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError), (True, TypeError), ("2", TypeError)])
def test_threads_must_be_a_positive_count(threads, error):
    with pytest.raises(error):
        quelbrand.read_xml(b"<t/>", threads=threads)


@pytest.mark.parametrize("record", [None, "row", ["row", "id"]])
def test_records_counted_in_pieces_are_those_counted_whole(rng, write_xml, small_pieces, record):
    path = write_xml(big_document(rng, 1500))
    kw = record_options(record, None)
    whole = _native.split(path, 1 << 62, **kw)[0]
    assert parallel.count_records(path, 1, kw) is None
    assert parallel.count_records(path, 2, kw) == whole


# ---- Streams: the schema first, then ranges read a few at once ------------------------


@pytest.fixture
def small_stream_pieces(monkeypatch):
    monkeypatch.setattr(parallel, "MIN_PIECE", 256)
    monkeypatch.setattr(parallel, "MIN_STREAM_PIECE", 300)
    opened = []
    real = parallel.BatchTask.open

    def counted(self, *args, **kwargs):
        opened.append(self.pass_over)
        return real(self, *args, **kwargs)

    monkeypatch.setattr(parallel.BatchTask, "open", counted)
    return opened


def streamed(path, threads, **options):
    """What each consumer of a stream gets: the batches' sizes and rows,
    the Arrow stream's table, the CSV text and the lost counts; or the error."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FlatteningWarning)
            table = quelbrand.read_xml(path, threads=threads, batch_rows=7, **options)
            batches = list(table)
            whole = pa.table(quelbrand.read_xml(path, threads=threads, batch_rows=7, **options))
            text = quelbrand.read_xml(path, threads=threads, **options)
            csv = path + f".{threads}.csv"
            text.write_csv(csv)
            with open(csv, "rb") as f:
                written = f.read()
        return [len(b) for b in batches], pa.Table.from_batches(batches), whole, written, table.lost
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize(
    "options",
    [{}, {"types": True}, {"attributes": True}, {"columns": ["v", "id", "nope"]}, {"record": "row"}],
)
def test_streams_on_two_threads_are_those_of_one(rng, write_xml, small_stream_pieces, options):
    path = write_xml(big_document(rng, 1500))
    one = streamed(path, 1, **options)
    assert not small_stream_pieces
    two = streamed(path, 2, **options)
    # Batches that begin inside a range pass over its records before them.
    assert len(small_stream_pieces) > 4 and any(small_stream_pieces)
    sizes, batches, whole, written, lost = two
    assert sizes == one[0] and set(sizes[:-1]) == {7}
    assert batches.equals(one[1]) and whole.equals(one[2]) and whole.schema == one[2].schema
    assert written == one[3] and lost == one[4]


def test_a_stream_raises_the_first_fault_of_the_file(write_xml, small_stream_pieces):
    rows = [f"<row><v>{i}</v></row>" for i in range(30000)]
    rows[12000] = "<row><v>&bad;</v></row>"
    path = write_xml("<t>\n" + "\n".join(rows) + "\n</t>\n")
    one, two = (streamed(path, threads) for threads in (1, 2))
    assert isinstance(two, str) and two == one and "line 12002" in two


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads by /proc")
def test_one_thread_reads_on_the_calling_thread_alone(tmp_path):
    # With the columns given no pass finds them, and no worker builds a
    # batch ahead: the process runs no thread beyond those it had.
    path = tmp_path / "doc.xml"
    path.write_text("<r>" + "".join(f"<x><a>{i}</a></x>" for i in range(1000)) + "</r>")
    before = len(os.listdir("/proc/self/task"))
    seen = set()
    for batch in quelbrand.read_xml(path, threads=1, columns=["a"], batch_rows=100):
        seen.add(len(os.listdir("/proc/self/task")))
        assert batch.num_rows == 100
    assert seen == {before}
