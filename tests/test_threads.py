"""Long work runs without the interpreter lock, so other threads progress."""
import sys
import threading
import time

import numpy as np
import pytest

import quelbrand_kernels as qk


@pytest.fixture(scope="module")
def big_xml(tmp_path_factory):
    path = tmp_path_factory.mktemp("xml") / "big.xml"
    rec = b"".join(b"<rec><id>%d</id><v>value %d</v><g><a>x</a></g></rec>" % (i, i)
                   for i in range(1000))
    path.write_bytes(b"<r>" + rec * 1200 + b"</r>")  # about 70 MB: long enough to observe
    return str(path)


def progress_during(call):
    """How often another Python thread ran while `call` ran.

    The last stretch is left out: after a call that held the lock returns,
    the waiting spinner gets its turn before the caller can read the clock.
    On a loaded machine that turn can come late and count, so a call that
    holds the lock may slip through, but one that releases it never fails."""
    stamps, stop, started = [], threading.Event(), threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            stamps.append(time.perf_counter())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    t = threading.Thread(target=spin)
    t.start()
    started.wait()
    try:
        t0 = time.perf_counter()
        call()
        t1 = time.perf_counter()
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(interval)
    assert t1 - t0 > 0.05, "the call is too short to tell"
    return sum(t0 < s < t1 - 0.02 for s in stamps)


@pytest.mark.parametrize("name", ["inv_norm_cdf", "keyed_hash", "keyed_uniforms", "count",
                                  "next"])
def test_long_calls_release_the_lock(name, big_xml):
    u = np.random.default_rng(1).random(3 * 10**7)
    keys = np.arange(4 * 10**7, dtype=np.uint64)
    calls = {
        "inv_norm_cdf": lambda: qk.inv_norm_cdf(u),
        "keyed_hash": lambda: qk.keyed_hash(1, "t", keys, 0),
        "keyed_uniforms": lambda: qk.keyed_uniforms(1, "t", keys, 0),
        "count": lambda: qk.count_xml_records(big_xml),
        "next": lambda: next(qk.stream_xml_file(big_xml, 300_000)),
    }
    # The spinning thread gets the lock only if the call lets go of it.
    assert progress_during(calls[name]) > 0


def test_threads_get_the_same_results_as_one(tmp_path):
    small_xml = tmp_path / "small.xml"
    small_xml.write_bytes(b"<r>" + b"".join(b"<rec><id>%d</id><g><a>%d</a></g></rec>" % (i, i % 7)
                                            for i in range(20000)) + b"</r>")
    small_xml = str(small_xml)
    rng = np.random.default_rng(7)
    u, keys = rng.random(300_000), rng.integers(0, 2**64 - 1, 300_000, dtype=np.uint64)
    expected = (qk.inv_norm_cdf(u), qk.keyed_hash(3, "x", keys, 1), qk.keyed_uniforms(3, "x", keys, 1),
                list(qk.stream_xml_file(small_xml, 5000)))
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append((qk.inv_norm_cdf(u), qk.keyed_hash(3, "x", keys, 1),
                                qk.keyed_uniforms(3, "x", keys, 1),
                                list(qk.stream_xml_file(small_xml, 5000))))
        except BaseException as e:  # reported below, so a failure is not lost in a thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 24
    for got in results:
        assert all(np.array_equal(g.view(np.uint64), e.view(np.uint64))
                   for g, e in zip(got[:3], expected[:3]))
        assert got[3] == expected[3]
