"""Replays the fuzz corpus (seeds and crash regressions) through the module.

Each corpus file holds two parameter bytes for the native fuzz target and then
the document; only the document is used here.
"""

import pathlib

import pytest

import quelbrand_kernels as qk
from quelbrand import _native

CORPUS = pathlib.Path(__file__).parent / "data" / "fuzz-corpus"
INPUTS = sorted(p for p in CORPUS.rglob("*") if p.is_file())


def stream(path, batch_rows):
    """Rows delivered and whether any step raised; only ValueError may be raised.

    A batch without columns does not show its row count unless batch_rows
    makes every batch one row; the rows are then None (unknown).
    """
    it = qk.stream_xml_file(path, batch_rows)
    rows, failed, known = 0, False, True
    seen = {}
    # An error does not end the iteration, but every step consumes input, so
    # the steps are bounded by the document's size.
    for _ in range(pathlib.Path(path).stat().st_size + 16):
        try:
            names, columns = next(it)
        except StopIteration:
            return (rows if known else None), failed, list(seen)
        except ValueError:
            failed = True
            continue
        assert len(names) == len(set(names)) == len(columns)
        seen.update(dict.fromkeys(names))
        n = {len(c) for c in columns}
        assert len(n) <= 1 and 0 not in n
        assert all(v is None or isinstance(v, str) for c in columns for v in c)
        if n:
            rows += n.pop()
        elif batch_rows <= 1:
            rows += 1
        else:
            known = False
    pytest.fail("the iterator did not finish")


def test_corpus_present():
    assert len(INPUTS) >= 30


@pytest.mark.parametrize("batch_rows", [0, 1, 7, 1000])
@pytest.mark.parametrize("case", INPUTS, ids=lambda p: str(p.relative_to(CORPUS)))
def test_replay(case, batch_rows, tmp_path):
    doc = tmp_path / "doc.xml"
    doc.write_bytes(case.read_bytes()[2:])
    rows, failed, columns = stream(str(doc), batch_rows)
    if not failed:
        # Discovery reads names alone, by shortcuts of its own; it ends
        # strictly, so only where it does not fail is there anything to compare.
        for check_text in (True, False):
            try:
                found = _native.discover(str(doc), check_text=check_text)
            except ValueError:
                continue
            assert list(found.columns) == columns
    try:
        count = qk.count_xml_records(str(doc))
    except ValueError:
        assert failed, "counting failed where iterating did not"
        return
    if not failed and rows is not None:
        assert count == rows
