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


def _steps(path, batch_rows):
    """Every outcome of iterating `path`: batches and error messages, in order."""
    out, it = [], qk.stream_xml_file(path, batch_rows)
    while True:
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except ValueError as e:
            out.append(str(e))


def test_threads_on_their_own_data_match_one_thread(tmp_path):
    # Each thread has its own arrays, encoding, record shape, batch size and
    # an erroneous file, so state leaking between concurrent calls shows up
    # as a difference from the single-threaded run.
    letters = {"utf-8": "ж€", "utf-16": "\U0001f600é", "iso-8859-1": "éü", "windows-1251": "жд"}
    jobs = []
    for i, enc in enumerate(list(letters) * 2):
        rng = np.random.default_rng(100 + i)
        recs = "".join(f"<rec><id>{j}</id><c{i}>{letters[enc][j % 2] * (j % 5)}</c{i}>"
                       f"<g><c{i}>{j}</c{i}></g></rec>" for j in range(6000 + 500 * i))
        good = tmp_path / f"good{i}.xml"
        good.write_bytes(f'<?xml version="1.0" encoding="{enc}"?><r>{recs}</r>'.encode(enc))
        bad = tmp_path / f"bad{i}.xml"
        bad.write_text(f"<r>{recs[:2000]}<rec><v>&bad{i};</v></rec>{recs[:900]}<rec><x")
        jobs.append((rng.random(50_000), rng.integers(0, 2**64 - 1, 50_000, dtype=np.uint64),
                     str(good), str(bad), 1 + 97 * i, f"ns{i}"))

    def work(u, keys, good, bad, batch_rows, ns):
        return (qk.inv_norm_cdf(u).tobytes(), qk.keyed_hash(len(ns), ns, keys, 2).tobytes(),
                qk.keyed_uniforms(len(ns), ns, keys, 3).tobytes(), qk.count_xml_records(good),
                _steps(good, batch_rows), _steps(bad, batch_rows))

    expected = [work(*job) for job in jobs]
    assert all(isinstance(e[5][-1], str) and len(e[4]) > 1 for e in expected)
    got, errors = {}, []

    def run(i):
        try:
            got[i] = [work(*jobs[i]) for _ in range(4)]
        except BaseException as e:  # reported below, so a failure is not lost in a thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i, want in enumerate(expected):
        assert all(g == want for g in got[i]), i
