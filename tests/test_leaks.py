"""Every entry point, called thousands of times on its success path and on
each of its error paths, must leave nothing behind: no Python objects, no
references on its arguments, no native memory."""

import ctypes
import gc
import os
import pathlib
import sys

import numpy as np
import pytest

import quelbrand_kernels as qk

# Under AddressSanitizer freed memory sits in a quarantine, so resident and
# malloc figures say nothing there; object and reference counts still do.
SANITIZED = os.environ.get("QK_SANITIZED") == "1"
CALLS = 2000
WARM_UP = 300


# ---- Measuring ---------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _malloc_in_use():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # glibc before 2.33
        return lambda: 0
    fn.restype = MallInfo2
    return lambda: (lambda m: m.uordblks + m.hblkhd)(fn())


malloc_in_use = _malloc_in_use()


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def footprint():
    gc.collect()
    # Container objects, then every block of Python's small-object allocator
    # (leaked str and int objects show up only there), then the C heap the
    # native code allocates from, then the whole process.
    return (len(gc.get_objects()), sys.getallocatedblocks(), malloc_in_use(), resident())


def repeat(call, expected, n):
    for _ in range(n):
        if expected is None:
            call()
            continue
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"{call} did not raise {expected.__name__}")


ROUNDS = 3


# How much each measure of footprint() may grow over CALLS calls. One leaked
# object per call would show as CALLS; the slack absorbs caches the
# interpreter fills once. Under the sanitizers only the first two mean anything.
SLACK = {"objects": 10, "blocks": 200, "heap": 64 * 1024, "rss": 2 * 2**20}


def growth_beyond_slack(before, after):
    """The measures that grew past their slack: name -> (before, after)."""
    checked = list(SLACK)[:2] if SANITIZED else list(SLACK)
    return {name: (b, a) for name, b, a in zip(checked, before, after) if a - b > SLACK[name]}


def assert_flat(call, expected):
    # A leak grows in every round of CALLS calls. Growth that happens once
    # (a cache or an allocator arena filled late, pages of another thread's
    # stack) shows in one round at most, so one flat round is enough, and a
    # leak fails every round.
    repeat(call, expected, WARM_UP)
    grown = []
    for _ in range(ROUNDS):
        before = footprint()
        repeat(call, expected, CALLS)
        over = growth_beyond_slack(before, footprint())
        if not over:
            return
        grown.append(over)
    pytest.fail(f"grew in every round of {CALLS} calls (before, after): {grown}")


# ---- Inputs ------------------------------------------------------------------


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IndexTypeErrorWithCause:
    cause = KeyError("root")

    def __index__(self):
        raise TypeError("inner") from self.cause


U = np.linspace(0.01, 0.99, 1000)
KEYS = np.arange(1000, dtype=np.uint64)
STRIDED = np.arange(2000, dtype=np.uint64)[::-2]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    docs = {
        "good": "<r>" + "".join(f"<rec><id>{i}</id><g><v>é{i}</v></g><e/></rec>" for i in range(50)) + "</r>",
        "empty": "",
        "cut": "<r><rec><v>1</v></rec><rec><v",
        "bad_entity": "<r><rec><v>&nbsp;</v></rec><rec><v>2</v></rec></r>",
        "wrong_end": "<r><rec><a>1</b></rec></r>",
    }
    paths = {}
    for name, doc in docs.items():
        (d / f"{name}.xml").write_text(doc)
        paths[name] = str(d / f"{name}.xml")
    paths["dir"] = str(d)
    paths["missing"] = str(d / "missing.xml")
    (d / "bad_bytes.xml").write_bytes(b"<r><rec><v>\xff</v></rec></r>")
    paths["bad_bytes"] = str(d / "bad_bytes.xml")
    return paths


def exhausted(path):
    it = qk.stream_xml_file(path, 100)
    list(it)
    return it


def drop_mid_file(path, batch_rows):
    it = qk.stream_xml_file(path, batch_rows)
    next(it)  # partly read, then dropped with the file open and a batch pending


def fail_then_drop(path):
    it = qk.stream_xml_file(path, 10)
    next(it)  # raises; the broken iterator is dropped with its file open


# name -> (call(files), exception expected or None)
CASES = {
    # Success paths.
    "inv_norm_cdf": (lambda f: qk.inv_norm_cdf(U), None),
    "keyed_hash": (lambda f: qk.keyed_hash(2**63 + 5, "ns", KEYS, 7), None),
    "keyed_hash_keywords": (lambda f: qk.keyed_hash(draw=1, keys=STRIDED, namespace="n", seed=3), None),
    "keyed_uniforms_index_scalars": (lambda f: qk.keyed_uniforms(np.uint64(3), "n", KEYS, np.int8(1)), None),
    "keyed_empty_array": (lambda f: qk.keyed_uniforms(1, "", KEYS[:0], 0), None),
    "iterate_all": (lambda f: list(qk.stream_xml_file(f["good"], 7)), None),
    "drop_unread": (lambda f: qk.stream_xml_file(f["good"], 1), None),
    "drop_mid_file": (lambda f: drop_mid_file(f["good"], 3), None),
    "count": (lambda f: qk.count_xml_records(f["good"]), None),
    "iter_self": (lambda f: iter(qk.stream_xml_file(f["good"], 1)), None),
    # Binding.
    "missing_args": (lambda f: qk.keyed_hash(1), TypeError),
    "too_many_positional": (lambda f: qk.inv_norm_cdf(U, U), TypeError),
    "too_many_with_keywords": (lambda f: qk.count_xml_records("a", "b", path="c"), TypeError),
    "duplicate_keyword": (lambda f: qk.inv_norm_cdf(U, u=U), TypeError),
    "unknown_keyword": (lambda f: qk.stream_xml_file(path="a", rows=1), TypeError),
    "unencodable_keyword": (lambda f: qk.keyed_hash(**{"seed\ud800": 1}), TypeError),
    # Scalar conversion.
    "seed_float": (lambda f: qk.keyed_hash(1.5, "n", KEYS, 0), TypeError),
    "seed_negative": (lambda f: qk.keyed_hash(-1, "n", KEYS, 0), OverflowError),
    "draw_huge": (lambda f: qk.keyed_hash(0, "n", KEYS, 2**64), OverflowError),
    "draw_index_type_error_with_cause": (lambda f: qk.keyed_hash(0, "n", KEYS, IndexTypeErrorWithCause()), TypeError),
    "seed_index_raises": (lambda f: qk.keyed_uniforms(IndexRaises(ValueError("x")), "n", KEYS, 0), ValueError),
    "namespace_surrogate": (lambda f: qk.keyed_hash(0, "\ud800", KEYS, 0), UnicodeEncodeError),
    "namespace_bytes": (lambda f: qk.keyed_hash(0, b"n", KEYS, 0), TypeError),
    "path_surrogate": (lambda f: qk.count_xml_records("\udcff.xml"), UnicodeEncodeError),
    "path_object": (lambda f: qk.stream_xml_file(pathlib.Path(f["good"]), 1), TypeError),
    "batch_rows_negative": (lambda f: qk.stream_xml_file(f["good"], -1), OverflowError),
    "batch_rows_none": (lambda f: qk.stream_xml_file(f["good"], None), TypeError),
    # Arrays.
    "array_dtype": (lambda f: qk.keyed_hash(0, "n", U, 0), TypeError),
    "array_byte_order": (lambda f: qk.inv_norm_cdf(U.astype(">f8")), TypeError),
    "array_ndim": (lambda f: qk.inv_norm_cdf(U.reshape(10, 100)), TypeError),
    "array_zero_dim": (lambda f: qk.inv_norm_cdf(np.array(0.5)), TypeError),
    "array_list": (lambda f: qk.inv_norm_cdf([0.5]), TypeError),
    # Opening.
    "open_missing": (lambda f: qk.stream_xml_file(f["missing"], 1), ValueError),
    "count_missing": (lambda f: qk.count_xml_records(f["missing"]), ValueError),
    "open_nul": (lambda f: qk.count_xml_records("a\0b"), ValueError),
    "directory_next": (lambda f: next(qk.stream_xml_file(f["dir"], 1)), ValueError),
    "count_directory": (lambda f: qk.count_xml_records(f["dir"]), ValueError),
    # Parsing.
    "next_cut_tag": (lambda f: fail_then_drop(f["cut"]), ValueError),
    "next_bad_entity": (lambda f: fail_then_drop(f["bad_entity"]), ValueError),
    "next_bad_bytes": (lambda f: fail_then_drop(f["bad_bytes"]), ValueError),
    "next_wrong_end": (lambda f: fail_then_drop(f["wrong_end"]), ValueError),
    "count_cut_tag": (lambda f: qk.count_xml_records(f["cut"]), ValueError),
    # The end of iteration.
    "stop_empty_file": (lambda f: next(qk.stream_xml_file(f["empty"], 1)), StopIteration),
}


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_leave_nothing_behind(name, files):
    call, expected = CASES[name]
    assert_flat(lambda: call(files), expected)


def test_exhausted_iterator_leaves_nothing_behind(files):
    it = exhausted(files["good"])
    assert_flat(lambda: next(it), StopIteration)
    assert_flat(lambda: iter(it), None)


# ---- References on arguments -------------------------------------------------


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def args_for(files):
    ns = "".join(["name", "space"])  # made at run time: not shared with constants
    path = "".join([files["good"]])
    missing = "".join([files["missing"]])
    seed, draw, rows = 2**64 - 3, 2**63 + 11, 10**12 + 1
    keys = np.arange(100, dtype=np.uint64)
    bad = IndexTypeErrorWithCause()
    return {
        "keyed_hash": ((seed, ns, keys, draw), lambda a: qk.keyed_hash(*a), None),
        "keyed_uniforms_keywords": (
            (seed, ns, keys, draw),
            lambda a: qk.keyed_uniforms(seed=a[0], namespace=a[1], keys=a[2], draw=a[3]),
            None,
        ),
        "keyed_draw_fails": ((seed, ns, keys, bad, bad.cause), lambda a: qk.keyed_hash(*a[:4]), TypeError),
        "inv_norm_cdf": ((U,), lambda a: qk.inv_norm_cdf(*a), None),
        "stream": ((path, rows), lambda a: list(qk.stream_xml_file(*a)), None),
        "stream_missing": ((missing, rows), lambda a: qk.stream_xml_file(*a), ValueError),
        "count": ((path,), lambda a: qk.count_xml_records(*a), None),
        "count_missing": ((missing,), lambda a: qk.count_xml_records(*a), ValueError),
        "iterator_type": ((qk.XmlBatchIter, path), lambda a: qk.stream_xml_file(a[1], 1), None),
    }


@pytest.mark.parametrize(
    "name",
    [
        "keyed_hash",
        "keyed_uniforms_keywords",
        "keyed_draw_fails",
        "inv_norm_cdf",
        "stream",
        "stream_missing",
        "count",
        "count_missing",
        "iterator_type",
    ],
)
def test_arguments_keep_their_reference_counts(name, files):
    args, call, expected = args_for(files)[name]
    repeat(lambda: call(args), expected, 10)
    before = refcounts(args)
    repeat(lambda: call(args), expected, 500)
    assert refcounts(args) == before


def test_iter_returns_the_object_without_keeping_a_reference(files):
    it = qk.stream_xml_file(files["good"], 1)
    before = sys.getrefcount(it)
    for _ in range(500):
        assert iter(it) is it
    assert sys.getrefcount(it) == before
