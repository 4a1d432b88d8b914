"""Array arguments and results of the numeric functions."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelbrand_kernels as qk

CALLS = {
    "inv_norm_cdf": (lambda a: qk.inv_norm_cdf(a), "u", np.float64, np.float64),
    "keyed_hash": (lambda a: qk.keyed_hash(3, "ns", a, 1), "keys", np.uint64, np.uint64),
    "keyed_uniforms": (lambda a: qk.keyed_uniforms(3, "ns", a, 1), "keys", np.uint64, np.float64),
}


def sample(dtype, n=64):
    if dtype == np.float64:
        return np.linspace(-0.1, 1.1, n)
    return np.arange(n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize(
    "bad, type_name",
    [
        ([0.5], "list"),
        ((1,), "tuple"),
        (3, "int"),
        (None, "NoneType"),
        (np.zeros(3, np.float32), "ndarray"),
        (np.zeros(3, np.int64), "ndarray"),
        (np.zeros(3, ">f8"), "ndarray"),
        (np.zeros(3, ">u8"), "ndarray"),
        (np.zeros((3, 1)), "ndarray"),
        (np.zeros((3, 1), np.uint64), "ndarray"),
        (np.array(0.5), "ndarray"),
        (np.array(5, np.uint64), "ndarray"),
    ],
)
def test_rejected_arrays(name, bad, type_name):
    call, param, _, _ = CALLS[name]
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == (f"argument '{param}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("name", CALLS)
def test_result_array_properties(name):
    call, _, in_dtype, out_dtype = CALLS[name]
    for n in (0, 1, 5, 1 << 20):  # the last one takes the huge-page allocation
        a = sample(in_dtype, n)
        before = a.copy()
        out = call(a)
        assert type(out) is np.ndarray and out.dtype == out_dtype and out.shape == (n,)
        assert out.flags.writeable and out.flags.c_contiguous and out.flags.aligned
        assert out.strides == (8,) and out.base is not None and not out.flags.owndata
        out[...] = 0
        assert np.array_equal(a, before, equal_nan=True)


@pytest.mark.parametrize("name", CALLS)
def test_any_view_gives_the_elementwise_result_in_logical_order(name):
    call, _, in_dtype, _ = CALLS[name]
    a = sample(in_dtype, 101)
    full = call(a)
    same = lambda x, y: np.array_equal(x.view(np.uint64), y.view(np.uint64))
    assert same(call(a[::-1]), full[::-1])
    assert same(call(a[::2]), full[::2])
    assert same(call(a[::-3]), full[::-3])
    assert same(call(a[5:6]), full[5:6])
    assert same(call(np.broadcast_to(a[7:8], (13,))), np.repeat(full[7:8], 13))
    # An unaligned field of a packed structured array: stride 9.
    packed = np.zeros(101, dtype=[("flag", "u1"), ("v", in_dtype)])
    packed["v"] = a
    assert packed["v"].strides == (9,)
    assert same(call(packed["v"]), full)


@pytest.mark.parametrize("name", CALLS)
def test_readonly_and_subclass_inputs(name, tmp_path):
    call, _, in_dtype, _ = CALLS[name]
    a = sample(in_dtype, 17)
    ro = a.copy()
    ro.flags.writeable = False
    assert np.array_equal(call(ro), call(a), equal_nan=True)
    mm = np.memmap(tmp_path / "m.bin", dtype=in_dtype, mode="w+", shape=(17,))
    mm[:] = a
    out = call(mm)
    assert type(out) is np.ndarray
    assert np.array_equal(out, call(a), equal_nan=True)


def test_result_outlives_input_and_views():
    out = qk.inv_norm_cdf(np.full(1000, 0.3))
    view = out[10:20]
    del out
    assert np.all(view == view[0])


def test_without_numpy_the_module_imports_and_numeric_calls_panic(tmp_path):
    blocker = tmp_path / "numpy"
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ImportError('numpy is blocked for this test')\n")
    code = textwrap.dedent("""
        import quelbrand_kernels as qk
        print(qk.count_xml_records.__name__)
        try:
            qk.inv_norm_cdf([0.5])
        except Exception as e:
            print("caught as Exception", e)
        except BaseException as e:
            print(type(e).__name__, type(e).__mro__[1].__name__, str(e))
    """)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "count_xml_records"
    assert lines[1].startswith("PanicException BaseException Failed to access NumPy array API capsule: "), lines
    assert "numpy is blocked" in lines[1]


def test_an_interrupt_while_numpy_loads_passes_through_and_the_load_is_retried():
    # Loading NumPy's table runs Python code, where Ctrl-C can land: that is
    # the user's KeyboardInterrupt, not an internal fault, and nothing broken
    # may be kept for the next call.
    code = textwrap.dedent("""
        import sys, types
        import numpy as np
        import numpy.lib
        import quelbrand_kernels as qk
        real = sys.modules["numpy.lib"]
        fake = types.ModuleType("numpy.lib")
        def interrupted(name):
            raise KeyboardInterrupt
        fake.__getattr__ = interrupted
        sys.modules["numpy.lib"] = fake
        try:
            qk.inv_norm_cdf(np.array([0.5]))
        except BaseException as e:
            print(type(e).__name__)
        sys.modules["numpy.lib"] = real
        print(qk.inv_norm_cdf(np.array([0.5]))[0])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.stdout.split() == ["KeyboardInterrupt", "0.0"], out.stderr


@pytest.mark.parametrize("length", [2**40, 2**59])
@pytest.mark.parametrize("name", CALLS)
def test_memory_exhaustion_is_memory_error(name, length):
    call, _, in_dtype, _ = CALLS[name]
    huge = np.broadcast_to(sample(in_dtype, 1), (length,))
    with pytest.raises(MemoryError):
        call(huge)


@pytest.mark.parametrize("name", ["keyed_hash", "keyed_uniforms"])
def test_keys_are_copied_before_later_arguments_run_python_code(name):
    fn = getattr(qk, name)
    keys = sample(np.uint64, 2 * 10**6)  # large enough to be unmapped when freed
    expected = fn(3, "ns", keys.copy(), 0)

    class ShrinksKeys:
        def __index__(self):
            keys.resize(1, refcheck=False)
            return 0

    got = fn(3, "ns", keys, ShrinksKeys())
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))
