"""What the flat reading loses, counted and reported: the native reader's
`lost`, XmlTable.lost, one FlatteningWarning per reading, and the command's
note. Generated documents are checked against a reference built on the
model in xml_model.py."""

import io
import os
import random
import subprocess
import sys
import warnings

import pytest
from xml_model import WHITE_SPACE, _Decoder, _events, flatten, local_name, resolve_references

import quelbrand
import quelbrand_kernels as qk
from quelbrand.convert import convert

pa = pytest.importorskip("pyarrow")

# ---- The reference ----------------------------------------------------------------


def model_records(data):
    """Each record of a well-formed document as a [name, text, children] tree."""
    decoder, depth, stack, records = _Decoder(), 0, [], []
    for kind, raw in _events(data, decoder):
        if kind == "start":
            if depth >= 1:
                stack.append([local_name(raw), "", []])
            depth += 1
        elif kind == "end":
            depth -= 1
            if depth >= 1:
                node = stack.pop()
                (records if depth == 1 else stack[-1][2]).append(node)
        elif kind == "empty" and depth >= 1:
            (records if depth == 1 else stack[-1][2]).append([local_name(raw), "", []])
        elif kind in ("text", "cdata") and stack:
            text = decoder.decode(raw)
            stack[-1][1] += resolve_references(text) if kind == "text" else text
    return records


def sources(node, record=True):
    """Values the record holds: non-blank leaf texts, and the non-blank text
    of every element with children and of the record element."""
    name, text, children = node
    own = 1 if text.strip(WHITE_SPACE) else 0
    if not children and not record:
        return own
    return own + sum(sources(child, False) for child in children)


def expected_loss(data):
    """(values lost, records with loss): what a record holds less what its
    flat row keeps."""
    per_record = []
    for node in model_records(data):
        _, values = flatten(node)
        per_record.append(sources(node) - sum(v is not None for v in values))
    return sum(per_record), sum(1 for n in per_record if n), len(per_record)


# ---- Generated documents ------------------------------------------------------------

NAMES = ["a", "b", "c", "p:a", "a_b"]
TEXTS = ["1", " 2 ", "", "   ", "x y", "&lt;", "&#32;", "\u3000", "<![CDATA[ ]]>", "<![CDATA[z]]>"]


def random_document(rng, repeats=True):
    """A well-formed document whose records nest, repeat names and hold text
    beside child elements; without `repeats`, flat records of distinct names
    with only blank text beside them."""
    counter = iter(range(10**6))

    def name():
        return rng.choice(NAMES) if repeats else f"n{next(counter)}"

    def element(depth):
        tag = name()
        if depth > 3 or rng.random() < 0.55 or not repeats:
            return f"<{tag}>{rng.choice(TEXTS)}</{tag}>"
        parts = []
        for _ in range(rng.randint(1, 4)):
            parts.append(rng.choice(["", "", "\n  ", rng.choice(TEXTS), "<!-- c -->"]))
            parts.append(element(depth + 1))
        parts.append(rng.choice(["", "\n", rng.choice(TEXTS)]))
        return f"<{tag}>" + "".join(parts) + f"</{tag}>"

    records = []
    for _ in range(rng.randint(1, 30)):
        around = rng.choice(["", "\n  ", "t", "&#65;"]) if repeats else "\n  "
        children = "".join(around + element(1) for _ in range(rng.randint(0, 6)))
        records.append(f"<rec>{children}{around}</rec>")
    return ("<root>" + "\n".join(records) + "</root>").encode()


def read_all(data, **options):
    """The table's rows and its loss, the warnings of the reading recorded."""
    table = quelbrand.read_xml(data, **options)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = table.to_arrow().num_rows
    flattening = [w for w in caught if issubclass(w.category, quelbrand.FlatteningWarning)]
    return rows, table.lost, flattening


@pytest.mark.parametrize("seed", [11, 12, 13, 14, 15, 16, 17, 18])
# Projection and choosing records by name change nothing counted.
@pytest.mark.parametrize(
    "options", [{"batch_rows": 1}, {"batch_rows": 7}, {}, {"record": "rec"}, {"columns": ["a", "zz"]}]
)
def test_generated_documents_count_what_the_model_loses(seed, options):
    print("seed", seed)
    data = random_document(random.Random(seed))
    values, records, total = expected_loss(data)
    rows, lost, caught = read_all(data, **options)
    assert rows == total
    assert lost == (values, records)
    assert len(caught) == (1 if values else 0)
    if values:
        text = str(caught[0].message)
        assert f"dropped {values:,} value" in text and f"in {records:,} of {total:,} records" in text
        assert "nested=True" in text


@pytest.mark.parametrize("seed", [31, 32, 33])
@pytest.mark.parametrize("attributes", [False, True])
def test_documents_without_repeats_lose_nothing_and_say_nothing(seed, attributes):
    print("seed", seed)
    data = random_document(random.Random(seed), repeats=False)
    assert expected_loss(data)[:2] == (0, 0)
    rows, lost, caught = read_all(data, attributes=attributes)
    assert lost == (0, 0) and caught == []


# ---- Every way of reading, once --------------------------------------------------------

LOSSY = b"<root>" + b"".join(b"<rec><id>%d</id><v>1</v><v>2</v><v>3</v></rec>" % i for i in range(40)) + b"</root>"


class _Pipe(io.RawIOBase):
    """A read-once input: its table is spooled."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        return self._data.readinto(b)


@pytest.mark.parametrize(
    "read",
    [
        lambda t: t.to_arrow(),
        lambda t: list(t),
        lambda t: t.write_csv(io.BytesIO()),
        lambda t: t.write_jsonl(io.BytesIO()),
        lambda t: t.write_parquet(io.BytesIO()),
    ],
    ids=["to_arrow", "iter", "csv", "jsonl", "parquet"],
)
@pytest.mark.parametrize("source", ["bytes", "pipe"])
def test_every_reading_warns_once_at_its_end(read, source):
    table = quelbrand.read_xml(LOSSY if source == "bytes" else _Pipe(LOSSY), batch_rows=7)
    assert table.lost is None
    with pytest.warns(quelbrand.FlatteningWarning, match=r"dropped 40 values in 40 of 40 records") as caught:
        read(table)
    assert len([w for w in caught if w.category is quelbrand.FlatteningWarning]) == 1
    assert table.lost == (40, 40)


@pytest.mark.parametrize("jobs, blocksize", [(1, None), (2, 300), (3, 1000)])
def test_convert_sums_its_ranges_into_one_warning(tmp_path, jobs, blocksize):
    path = tmp_path / "in.xml"
    path.write_bytes(LOSSY)
    with pytest.warns(quelbrand.FlatteningWarning) as caught:
        assert convert(str(path), str(tmp_path / "out.csv"), jobs=jobs, blocksize=blocksize) == 40
    assert [str(w.message) for w in caught if w.category is quelbrand.FlatteningWarning] == [
        quelbrand.errors.loss_message(40, 40, 40)
    ]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_command_ends_with_one_note_naming_nested(tmp_path, jobs):
    path = tmp_path / "in.xml"
    path.write_bytes(LOSSY)
    proc = subprocess.run(
        [sys.executable, "-m", "quelbrand", "convert", str(path), "--to", str(tmp_path / "o.jsonl"), "--jobs", jobs],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONWARNINGS="always"),
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and "FlatteningWarning" not in proc.stderr
    assert "dropped 40 values in 40 of 40 records" in lines[0] and "--nested" in lines[0]


def test_kernels_stay_silent(tmp_path):
    path = str(tmp_path / "in.xml")
    (tmp_path / "in.xml").write_bytes(LOSSY)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert sum(len(values[0]) for _, values in qk.stream_xml_file(path, 7)) == 40
        assert qk.count_xml_records(path) == 40


def test_dask_warns_once_per_lossy_partition(tmp_path):
    qdask = pytest.importorskip("quelbrand.dask")
    paths = []
    for i, data in enumerate([LOSSY, b"<r><rec><v>1</v></rec></r>", LOSSY]):
        paths.append(str(tmp_path / f"{i}.xml"))
        (tmp_path / f"{i}.xml").write_bytes(data)
    frame = qdask.read_xml(paths, blocksize=None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert len(frame.compute(scheduler="sync")) == 81
    assert len([w for w in caught if w.category is quelbrand.FlatteningWarning]) == 2
