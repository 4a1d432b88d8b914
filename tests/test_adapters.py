"""quelbrand.arrow: per-batch columns lined up into Arrow batches and one
pandas frame."""

import os
import pathlib
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from quelbrand import MissingExtraError  # noqa: E402
from quelbrand.arrow import discover_columns, record_batches, sized_batches, to_pandas  # noqa: E402

# Columns come and go: b and c appear in the second record, `x` only holds
# None, d arrives late, and the bare <e/> records have no values at all, so
# a batch made of them alone has no columns.
DOC = """<r>
  <rec><a>1</a><b>2</b></rec>
  <rec><b>3</b><c>é, "q"</c></rec>
  <e/>
  <rec><x/></rec>
  <rec><d>4</d></rec>
  <e/>
</r>"""
COLUMNS = ["a", "b", "c", "x", "d"]
ROWS = [
    {"a": "1", "b": "2"},
    {"b": "3", "c": 'é, "q"'},
    {},
    {},
    {"d": "4"},
    {},
]


def full(row):
    return {name: row.get(name) for name in COLUMNS}


BATCH_ROWS = [0, 1, 2, 3, 4, 100]


@pytest.mark.parametrize("batch_rows", BATCH_ROWS)
def test_batches_keep_their_own_columns(write_xml, batch_rows):
    path = write_xml(DOC)
    got = list(record_batches(pathlib.Path(path), batch_rows))
    rows = [row for batch in got for row in batch.to_pylist()]
    assert [{k: v for k, v in row.items() if v is not None} for row in rows] == ROWS
    for batch in got:
        assert all(field.type == pa.string() for field in batch.schema)
    # A batch has exactly the columns its own records produced.
    if batch_rows == 2:
        assert [b.schema.names for b in got] == [["a", "b", "c"], ["x"], ["d"]]


@pytest.mark.parametrize("batch_rows", BATCH_ROWS)
def test_fixed_columns_fill_absent_ones_with_nulls(write_xml, batch_rows):
    path = write_xml(DOC)
    assert discover_columns(path, batch_rows) == COLUMNS
    got = list(record_batches(path, batch_rows, columns=COLUMNS))
    assert all(b.schema.names == COLUMNS for b in got)
    assert [row for b in got for row in b.to_pylist()] == [full(r) for r in ROWS]


@pytest.mark.parametrize("batch_rows", [n for n in BATCH_ROWS if n > 0])
def test_to_pandas_is_the_same_whatever_the_batch_size(write_xml, batch_rows):
    frame = to_pandas(write_xml(DOC), batch_rows)
    assert list(frame.columns) == COLUMNS
    assert all(dtype == pd.StringDtype("pyarrow") for dtype in frame.dtypes)
    assert frame.isna().values.tolist() == [[v is None for v in full(r).values()] for r in ROWS]
    assert frame.loc[1, "c"] == 'é, "q"'
    assert frame.loc[2, "a"] is pd.NA


def test_to_pandas_with_columns_keeps_their_order(write_xml):
    frame = to_pandas(write_xml(DOC), 2, columns=list(reversed(COLUMNS)))
    assert list(frame.columns) == list(reversed(COLUMNS))
    assert frame["d"].tolist()[4] == "4"


@pytest.mark.parametrize("doc", ["", "  ", "text, no element"])
def test_no_element_at_all_is_an_error(write_xml, doc):
    path = write_xml(doc)
    for read in (lambda: list(record_batches(path)), lambda: to_pandas(path)):
        with pytest.raises(ValueError, match="holds no XML element"):
            read()
    assert discover_columns(path) == []  # the kernels module's own, which ends leniently


@pytest.mark.parametrize("doc", ["<r/>", "<r><!-- none --></r>"])
def test_no_records(write_xml, doc):
    path = write_xml(doc)
    assert list(record_batches(path)) == []
    assert discover_columns(path) == []
    assert to_pandas(path).shape == (0, 0)
    frame = to_pandas(path, columns=["a", "b"])
    assert frame.shape == (0, 2) and all(d == pd.StringDtype("pyarrow") for d in frame.dtypes)


def test_records_without_values_only(write_xml):
    path = write_xml("<r><a/><b/><c/></r>")
    assert to_pandas(path, 2).shape == (3, 0)
    assert [b.num_rows for b in record_batches(path, 2)] == [2, 1]
    assert to_pandas(path, 2, columns=["v"])["v"].isna().tolist() == [True] * 3


@pytest.mark.parametrize(
    "call",
    [
        lambda p: list(record_batches(p, 1)),
        lambda p: to_pandas(p, 1),
        lambda p: discover_columns(p, 1),
    ],
)
def test_parse_error_is_the_modules_value_error(write_xml, call):
    path = write_xml("<r><rec><v>1</v></rec><rec><v>&nbsp;</v></rec></r>")
    with pytest.raises(ValueError, match=r"^failed to parse XML file '.*': "):
        call(path)


def test_duplicate_columns_are_refused(write_xml):
    with pytest.raises(ValueError, match="duplicate names"):
        to_pandas(write_xml(DOC), 2, columns=["a", "a"])


def test_columns_are_a_projection(write_xml):
    frame = to_pandas(write_xml(DOC), 2, columns=["d", "a"])
    assert list(frame.columns) == ["d", "a"]
    assert frame["d"].tolist()[4] == "4"


def test_missing_pyarrow_names_the_extra(write_xml, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    # Refused at the call, before any reading.
    with pytest.raises(MissingExtraError, match=r"quelbrand_kernels\[pyarrow\]"):
        record_batches(write_xml(DOC))


@pytest.mark.parametrize(
    "doc, expected",
    [
        # A batch without columns followed by another batch was a full one.
        ("<r><e/><e/><a><x>1</x></a><e/></r>", [([], [], 2), (["x"], [["1", None]], 2)]),
        ("<r><e/><e/><e/><e/><a><x>1</x></a></r>", [([], [], 2), ([], [], 2), (["x"], [["1"]], 1)]),
        # As the last batch its size cannot be known without reading again.
        ("<r><a><x>1</x></a><e/><e/></r>", [(["x"], [["1", None]], 2), ValueError]),
    ],
)
def test_sized_batches_from_a_pipe(doc, expected):
    # A pipe cannot be read a second time to count records, which must not
    # leave the reader waiting on it or guessing.
    read_end, write_end = os.pipe()
    os.write(write_end, doc.encode())
    os.close(write_end)
    got = []
    try:
        for batch in sized_batches(f"/dev/fd/{read_end}", 2):
            got.append(batch)
    except ValueError as exc:
        assert "pipe" in str(exc)
        got.append(ValueError)
    finally:
        os.close(read_end)
    assert got == expected
