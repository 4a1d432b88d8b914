"""Long work runs without the interpreter lock, so other threads progress."""

import gc
import sys
import threading
import time

import numpy as np
import pytest

import quelbrand_kernels as qk

# While a probe runs, a thread waiting for the lock never asks the running
# one to hand it over: this is far longer than any call the probe makes.
VOLUNTARY_ONLY = 1000.0
# How long a call is sized to take, by its own measured speed. The module
# holds the lock while it copies the input and builds the result, so the
# unlocked stretch is a part of this.
TARGET_SECONDS = 0.3
# Calls that miss their chance are repeated, twice as large up to the cap.
ATTEMPTS = 6
# The largest array a call allocates, and the largest XML file written.
MAX_BYTES = 2**30
MAX_FILE_BYTES = 256 * 2**20


def another_thread_ran_inside(call, observers=4):
    """Whether another Python thread ran while `call` was under way.

    With switching left to the threads themselves, the lock changes hands
    only where its holder lets go of it: a blocking wait, or the module's
    unlocked stretch. Observers wait on an event; once it is set they need
    the lock to read where the main thread is. The main thread marks itself
    inside, calls, and marks itself after, running only byte code in
    between, so an observer that reads "inside" ran while `call` had let go
    of the lock. No clock is read: load can only make an observer late, and
    a late one reads "after", so the answer is never a false yes (as long as
    no other thread of the process is busy running Python code); a false no
    is answered by trying again with a longer call. Being descheduled does
    not shorten the chance either: the unlocked stretch lasts until the
    call's own thread has done its work."""
    where, seen = ["before"], []
    go = threading.Event()

    def observe():
        go.wait()
        seen.append(where[0])

    gc.collect()  # no collection, and no finalizer it might run, inside the call
    interval = sys.getswitchinterval()
    sys.setswitchinterval(VOLUNTARY_ONLY)
    threads = [threading.Thread(target=observe, daemon=True) for _ in range(observers)]
    try:
        gc.disable()
        for t in threads:
            t.start()  # each runs until it blocks in go.wait()
        go.set()
        where[0] = "inside"
        try:
            call()
        finally:
            where[0] = "after"
            gc.enable()
    finally:
        go.set()
        for t in threads:
            t.join(timeout=120)  # a hang guard only: each needs the lock once
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads), "an observer never finished"
    return "inside" in seen


def assert_releases_the_lock(make, start, cap):
    """`make(size)` prepares a call of that size (a number of elements, files'
    chunks or batch rows) and returns it; the work it leaves to the unlocked
    stretch grows with the size. The first size comes from the call's own
    speed at `start`; a size that shows no overlap is doubled up to `cap`
    and tried again, since a module that lets go of the lock shows overlap
    once the call outlasts the delay before an observer is scheduled, and
    one that never does never shows it."""
    call = make(start)
    t0 = time.perf_counter()
    call()
    per_unit = max(time.perf_counter() - t0, 1e-6) / start  # for sizing only
    size = int(min(cap, max(start, TARGET_SECONDS / per_unit)))
    tried = []
    for _ in range(ATTEMPTS):
        if another_thread_ran_inside(make(size)):
            return
        tried.append(size)
        size = min(2 * size, cap)
    pytest.fail(f"no other thread ran during any call; sizes tried: {tried}")


# ---- The probe itself -----------------------------------------------------------


@pytest.mark.parametrize(
    "call, releases",
    [
        # A C loop that keeps the lock, and one byte-code loop that never
        # blocks: the probe must not take these for releases.
        (lambda n: lambda: sum(range(n)), False),
        (lambda n: lambda: [i for i in range(n // 10)], False),
        # A sleep lets go of the lock for its whole length.
        (lambda n: lambda: time.sleep(n / 10**8), True),
    ],
)
def test_the_probe_tells_holding_from_letting_go(call, releases):
    n = 2 * 10**7  # a fraction of a second either way
    if releases:
        assert_releases_the_lock(call, n, 16 * n)
    else:
        assert not any(another_thread_ran_inside(call(n)) for _ in range(3))


# ---- The module's long calls ------------------------------------------------------

CHUNK = b"".join(b"<rec><id>%d</id><v>value %d</v><g><a>x</a></g></rec>" % (i, i) for i in range(1000))


def xml_file(directory, chunks):
    """A file of `chunks` times 1000 records, written once per size."""
    path = directory / f"big{chunks}.xml"
    if not path.exists():
        with open(path, "wb") as f:
            f.write(b"<r>")
            for _ in range(chunks):
                f.write(CHUNK)
            f.write(b"</r>")
    return str(path)


def constant_array(value, dtype, n):
    # Read-only and zero-strided: the module copies it into the buffer it
    # computes in, so only that buffer takes memory.
    return np.broadcast_to(np.array(value, dtype=dtype), (n,))


@pytest.mark.parametrize("name", ["inv_norm_cdf", "keyed_hash", "keyed_uniforms", "count", "next"])
def test_long_calls_release_the_lock(name, tmp_path):
    most_elements = MAX_BYTES // 8
    most_chunks = MAX_FILE_BYTES // len(CHUNK)
    rows_file = None

    def make_next(rows):
        nonlocal rows_file
        if rows_file is None:  # enough records for the largest batch
            rows_file = xml_file(tmp_path, most_chunks // 4)
        it = qk.stream_xml_file(rows_file, rows)  # opened outside the probe
        return lambda: next(it)

    cases = {
        "inv_norm_cdf": (
            lambda n: lambda u=constant_array(0.3, np.float64, n): qk.inv_norm_cdf(u),
            2**20,
            most_elements,
        ),
        "keyed_hash": (
            lambda n: lambda k=constant_array(7, np.uint64, n): qk.keyed_hash(1, "t", k, 0),
            2**20,
            most_elements,
        ),
        "keyed_uniforms": (
            lambda n: lambda k=constant_array(7, np.uint64, n): qk.keyed_uniforms(1, "t", k, 0),
            2**20,
            most_elements,
        ),
        "count": (lambda chunks: lambda p=xml_file(tmp_path, chunks): qk.count_xml_records(p), 16, most_chunks),
        "next": (make_next, 20_000, most_chunks // 4 * 1000),
    }
    try:
        assert_releases_the_lock(*cases[name])
    finally:
        for path in tmp_path.glob("big*.xml"):  # hundreds of MB; pytest keeps tmp dirs
            path.unlink()


def test_threads_get_the_same_results_as_one(tmp_path):
    small_xml = tmp_path / "small.xml"
    small_xml.write_bytes(
        b"<r>" + b"".join(b"<rec><id>%d</id><g><a>%d</a></g></rec>" % (i, i % 7) for i in range(20000)) + b"</r>"
    )
    small_xml = str(small_xml)
    rng = np.random.default_rng(7)
    u, keys = rng.random(300_000), rng.integers(0, 2**64 - 1, 300_000, dtype=np.uint64)
    expected = (
        qk.inv_norm_cdf(u),
        qk.keyed_hash(3, "x", keys, 1),
        qk.keyed_uniforms(3, "x", keys, 1),
        list(qk.stream_xml_file(small_xml, 5000)),
    )
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(
                    (
                        qk.inv_norm_cdf(u),
                        qk.keyed_hash(3, "x", keys, 1),
                        qk.keyed_uniforms(3, "x", keys, 1),
                        list(qk.stream_xml_file(small_xml, 5000)),
                    )
                )
        except BaseException as e:  # reported below, so a failure is not lost in a thread
            errors.append(e)

    threads = [threading.Thread(target=work, daemon=True) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)  # a hang guard only
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    assert not errors
    assert len(results) == 24
    for got in results:
        assert all(np.array_equal(g.view(np.uint64), e.view(np.uint64)) for g, e in zip(got[:3], expected[:3]))
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
        recs = "".join(
            f"<rec><id>{j}</id><c{i}>{letters[enc][j % 2] * (j % 5)}</c{i}><g><c{i}>{j}</c{i}></g></rec>"
            for j in range(6000 + 500 * i)
        )
        good = tmp_path / f"good{i}.xml"
        good.write_bytes(f'<?xml version="1.0" encoding="{enc}"?><r>{recs}</r>'.encode(enc))
        bad = tmp_path / f"bad{i}.xml"
        bad.write_text(f"<r>{recs[:2000]}<rec><v>&bad{i};</v></rec>{recs[:900]}<rec><x")
        jobs.append(
            (
                rng.random(50_000),
                rng.integers(0, 2**64 - 1, 50_000, dtype=np.uint64),
                str(good),
                str(bad),
                1 + 97 * i,
                f"ns{i}",
            )
        )

    def work(u, keys, good, bad, batch_rows, ns):
        return (
            qk.inv_norm_cdf(u).tobytes(),
            qk.keyed_hash(len(ns), ns, keys, 2).tobytes(),
            qk.keyed_uniforms(len(ns), ns, keys, 3).tobytes(),
            qk.count_xml_records(good),
            _steps(good, batch_rows),
            _steps(bad, batch_rows),
        )

    expected = [work(*job) for job in jobs]
    assert all(isinstance(e[5][-1], str) and len(e[4]) > 1 for e in expected)
    got, errors = {}, []

    def run(i):
        try:
            got[i] = [work(*jobs[i]) for _ in range(4)]
        except BaseException as e:  # reported below, so a failure is not lost in a thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)  # a hang guard only
    assert not any(t.is_alive() for t in threads), "a thread never finished"
    assert not errors
    for i, want in enumerate(expected):
        assert all(g == want for g in got[i]), i
