"""Module registration, argument binding and scalar conversion."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import quelbrand_kernels as qk

FUNCTIONS = ["keyed_hash", "keyed_uniforms", "inv_norm_cdf", "stream_xml_file", "count_xml_records"]
SIGNATURES = {
    "keyed_hash": "(seed, namespace, keys, draw)",
    "keyed_uniforms": "(seed, namespace, keys, draw)",
    "inv_norm_cdf": "(u)",
    "stream_xml_file": "(path, batch_rows)",
    "count_xml_records": "(path)",
}
KEYS = np.arange(3, dtype=np.uint64)
U = np.array([0.5])


class NulNamed:
    pass


NulNamed.__qualname__ = "Nul\0Named"  # messages must keep the name whole


def test_built_against_the_stable_abi():
    assert qk.__file__.endswith(".abi3.so"), qk.__file__


def test_module_surface():
    assert qk.__all__ == FUNCTIONS + ["XmlBatchIter"]
    assert qk.__doc__ == ""
    for name, sig in SIGNATURES.items():
        fn = getattr(qk, name)
        assert fn.__text_signature__ == sig
        assert fn.__doc__ is None
        assert fn.__module__ == "quelbrand_kernels"
        assert fn.__self__ is qk
    assert not hasattr(qk, "PanicException")


def test_init_twice_returns_the_cached_module():
    import ctypes

    init = ctypes.PyDLL(qk.__file__).PyInit_quelbrand_kernels
    init.restype = ctypes.py_object
    assert init() is qk


def test_sub_interpreter_is_refused():
    code = (
        "import quelbrand_kernels, _xxsubinterpreters as s\n"
        "i = s.create()\n"
        "try:\n"
        "    s.run_string(i, 'import quelbrand_kernels')\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    if "No module named '_xxsubinterpreters'" in out.stderr:
        pytest.skip("no sub-interpreter module in this Python")
    assert "ImportError" in out.stdout and "sub-interpreters" in out.stdout, out


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qk.inv_norm_cdf(), "inv_norm_cdf() missing 1 required positional argument: 'u'"),
        (
            lambda: qk.keyed_hash(1),
            "keyed_hash() missing 3 required positional arguments: 'namespace', 'keys', and 'draw'",
        ),
        (
            lambda: qk.stream_xml_file(),
            "stream_xml_file() missing 2 required positional arguments: 'path' and 'batch_rows'",
        ),
        (lambda: qk.inv_norm_cdf(U, U), "inv_norm_cdf() takes 1 positional arguments but 2 were given"),
        (lambda: qk.inv_norm_cdf(U, U, x=1), "inv_norm_cdf() takes 1 positional arguments but 2 were given"),
        (lambda: qk.inv_norm_cdf(U, u=U), "inv_norm_cdf() got multiple values for argument 'u'"),
        (lambda: qk.inv_norm_cdf(x=U), "inv_norm_cdf() got an unexpected keyword argument 'x'"),
        (lambda: qk.keyed_hash(1, "a", draw=1), "keyed_hash() missing 1 required positional argument: 'keys'"),
        (lambda: qk.keyed_hash(**{"seed\ud800": 1}), "keyed_hash() got an unexpected keyword argument 'seed\ud800'"),
        (
            lambda: qk.count_xml_records(pathlib.Path("x")),
            "argument 'path': 'PosixPath' object cannot be converted to 'PyString'",
        ),
        (lambda: qk.count_xml_records(b"x"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (
            lambda: qk.count_xml_records(NulNamed()),
            "argument 'path': 'Nul\0Named' object cannot be converted to 'PyString'",
        ),
        (
            lambda: qk.inv_norm_cdf(NulNamed()),
            "argument 'u': 'Nul\0Named' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: qk.keyed_hash(1.5, "a", KEYS, 0),
            "argument 'seed': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: qk.keyed_hash(1.5, b"a", KEYS, 0),  # the first failure wins
            "argument 'seed': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: qk.keyed_hash(0, "a", KEYS, "7"), "argument 'draw': 'str' object cannot be interpreted as an integer"),
        (
            lambda: qk.stream_xml_file("x", None),
            "argument 'batch_rows': 'NoneType' object cannot be interpreted as an integer",
        ),
    ],
)
def test_binding_and_conversion_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_prefixed_error_keeps_the_original_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as e:
                raise TypeError("inner") from e

    with pytest.raises(TypeError) as info:
        qk.keyed_hash(Bad(), "", KEYS, 0)
    assert str(info.value) == "argument 'seed': inner"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_pass_through_unprefixed():
    class Boom:
        def __index__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="^nope$"):
        qk.keyed_hash(Boom(), "", KEYS, 0)
    with pytest.raises(UnicodeEncodeError):
        qk.keyed_hash(0, "\ud800", KEYS, 0)
    with pytest.raises(UnicodeEncodeError):
        qk.count_xml_records("\udcff.xml")


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
@pytest.mark.parametrize("param", ["seed", "draw"])
def test_u64_out_of_range_is_overflow_error(value, param):
    args = {"seed": 0, "namespace": "", "keys": KEYS, "draw": 0, param: value}
    with pytest.raises(OverflowError) as info:
        qk.keyed_hash(**args)
    assert "argument" not in str(info.value)


def test_u64_accepts_full_range_and_index_objects():
    ref = qk.keyed_hash(1, "n", KEYS, 0)
    assert np.array_equal(qk.keyed_hash(True, "n", KEYS, False), ref)
    assert np.array_equal(qk.keyed_hash(np.uint64(1), "n", KEYS, np.int8(0)), ref)
    qk.keyed_hash(2**64 - 1, "n", KEYS, 2**64 - 1)


def test_keywords_in_any_order(write_xml):
    p = write_xml("<r><a/></r>")
    assert qk.count_xml_records(path=p) == qk.count_xml_records(p) == 1
    assert np.array_equal(qk.keyed_hash(draw=3, keys=KEYS, namespace="z", seed=9), qk.keyed_hash(9, "z", KEYS, 3))
    assert qk.stream_xml_file(batch_rows=1, path=p) is not None


# ---- Random calls -----------------------------------------------------------------


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("from __index__")


class BigIndex:
    def __index__(self):
        return 2**70


def random_value(rng, tmp_file):
    """Something a confused caller might pass: right and wrong types alike."""
    kinds = [
        lambda: rng.choice([0, 1, -1, 2**64 - 1, 2**64, True, 10**30]),
        lambda: rng.random() * 2 - 0.5,
        lambda: rng.choice(["", "ns", "\udcff", "é" * 3, tmp_file, "/no/such", "a\0b"]),
        lambda: rng.choice(
            [
                b"x",
                None,
                [0.5],
                (1,),
                {},
                object(),
                BadIndex(),
                BigIndex(),
                np.uint64(7),
                np.float64(0.5),
                pathlib.Path(tmp_file),
            ]
        ),
        lambda: np.arange(
            rng.randrange(0, 40), dtype=rng.choice([np.uint64, np.float64, np.int64, np.float32, ">f8", ">u8"])
        ),
        lambda: np.linspace(0, 1, rng.randrange(1, 40))[:: rng.choice([1, 2, -1, -3])],
        lambda: np.zeros((rng.randrange(0, 4), rng.randrange(0, 4)), dtype=np.float64),
        lambda: np.broadcast_to(np.uint64(3), (rng.randrange(0, 9),)),
    ]
    return rng.choice(kinds)()


def test_random_arguments_raise_only_documented_errors(rng, write_xml):
    # Every combination of arity, keywords and values must end in a result or
    # one of the documented exception types: never a crash or another type.
    path = write_xml("<r><a><b>1</b></a><a/></r>")
    allowed = (TypeError, OverflowError, UnicodeEncodeError, ValueError, ZeroDivisionError)
    params = {
        "keyed_hash": ["seed", "namespace", "keys", "draw"],
        "keyed_uniforms": ["seed", "namespace", "keys", "draw"],
        "inv_norm_cdf": ["u"],
        "stream_xml_file": ["path", "batch_rows"],
        "count_xml_records": ["path"],
    }
    for _ in range(3000):
        name = rng.choice(FUNCTIONS)
        names = params[name]
        npos = rng.randrange(0, len(names) + 2)
        args = [random_value(rng, path) for _ in range(npos)]
        kwargs = {k: random_value(rng, path) for k in rng.sample(names + ["bogus"], rng.randrange(0, len(names) + 1))}
        try:
            out = getattr(qk, name)(*args, **kwargs)
            if isinstance(out, qk.XmlBatchIter):
                list(out)
        except allowed:
            pass
