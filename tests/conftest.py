import os
import random
import shutil
import tempfile

import pytest


@pytest.fixture
def rng(request):
    """A seeded random generator whose seed is printed, so failures replay."""
    seed = int(os.environ.get("QK_TEST_SEED", random.randrange(2**32)))
    print(f"random seed for {request.node.name}: {seed}")
    return random.Random(seed)


@pytest.fixture
def write_xml(tmp_path):
    """Writes bytes (or text, as UTF-8) to a fresh file and returns its path as str."""
    counter = iter(range(10**9))

    def write(content, name=None):
        path = tmp_path / (name or f"doc{next(counter)}.xml")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # Every test's tmp_path lies in one folder made for this run and removed
    # after it, so a run leaves nothing in the temporary folder (pytest
    # otherwise keeps the last three runs' files). --basetemp keeps them.
    if config.option.basetemp is None:
        config.quelbrand_basetemp = tempfile.mkdtemp(prefix="quelbrand-tests-")
        config.option.basetemp = os.path.join(config.quelbrand_basetemp, "tmp")
        # Dask's workers keep their scratch files there too (they inherit
        # the environment), beside the folder pytest empties as it starts.
        os.environ.setdefault("DASK_TEMPORARY_DIRECTORY", os.path.join(config.quelbrand_basetemp, "dask"))


def pytest_unconfigure(config):
    made = getattr(config, "quelbrand_basetemp", None)
    if made is not None:
        shutil.rmtree(made, ignore_errors=True)


# Faults of three kinds, as a record, and the words that report each: one in
# text, one in bytes, one in markup (which a pass that skims text meets too).
FAULTS = {
    "entity": (b"<row><id>e</id><name>a &undeclared; b</name></row>\n", "unrecognized entity `undeclared`"),
    "bytes": (b"<row><id>u</id><name>a \xff\xfe b</name></row>\n", "invalid UTF-8 in text"),
    "tag": (b"<row><id>t</id><name>a</nome></row>\n", "expected `</name>`, found `</nome>`"),
}
# Each kind first once, the others after it in both orders between them.
FAULT_ORDERS = [("entity", "bytes", "tag"), ("bytes", "tag", "entity"), ("tag", "entity", "bytes")]


@pytest.fixture
def faulty_xml(write_xml):
    """make(order, records): a document of `records` rows (one a line, after
    the root's) with the faults of `order` spread along it, in that order.
    Returns the path and what the first fault's report must hold: its words
    and its line."""

    def make(order, records=3000):
        lines = [b"<row><id>%d</id><name>n%d</name></row>\n" % (i, i) for i in range(records)]
        for k, kind in enumerate(order):
            lines[records * (k + 1) // (len(order) + 1)] = FAULTS[kind][0]
        path = write_xml(b"<rows>\n" + b"".join(lines) + b"</rows>\n")
        line = records // (len(order) + 1) + 2
        return path, (FAULTS[order[0]][1], f"at line {line}, byte ")

    return make


def assert_first_fault(error, expected):
    """The error reports the fault `expected` (from faulty_xml) holds."""
    words, where = expected
    assert words in str(error) and where in str(error), str(error)


def assert_fails_alike(write, outputs):
    """write(2) (two threads) fails as write(1) does, and neither leaves
    anything in the folder `outputs`."""
    with pytest.raises(ValueError) as two:
        write(2)
    with pytest.raises(ValueError) as one:
        write(1)
    assert str(two.value) == str(one.value)
    assert list(outputs.iterdir()) == []
