"""Bit-exact values of the numeric kernels, seen from Python."""

import struct

import numpy as np
import pytest

import quelbrand_kernels as qk

NAN_BITS = 0x7FF8000000000000


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# ---- inv_norm_cdf --------------------------------------------------------------

INV_NORM_TABLE = [
    (0.5, 0.0),
    (0.975, 1.959963986120195),
    (0.025, -1.959963986120195),
    (0.1, -1.2815515641401563),
    (0.02425, -1.9729610490848712),
    (0.97575, 1.9729610490848712),
    (0.01, -2.326347874388028),
    (0.99, 2.326347874388028),
    (1e-10, -6.36134089949508),
    (5e-324, -38.46740568497968),
    (0.9999999999999999, 8.209536145151493),
]


def test_inv_norm_cdf_table_is_bit_exact():
    p = np.array([row[0] for row in INV_NORM_TABLE])
    got = qk.inv_norm_cdf(p)
    for (inp, want), g in zip(INV_NORM_TABLE, got):
        assert bits(g) == bits(want), (inp, g, want)
    # One element at a time too, so the scalar remainder path is covered.
    for inp, want in INV_NORM_TABLE:
        assert bits(qk.inv_norm_cdf(np.array([inp]))[0]) == bits(want)


def test_inv_norm_cdf_out_of_range_is_the_positive_quiet_nan():
    bad = [
        0.0,
        -0.0,
        1.0,
        -0.5,
        1.5,
        float("nan"),
        -float("nan"),
        float("-inf"),
        float("inf"),
        struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0],
    ]
    mixed = np.array(bad + [0.5, 0.975] * 40 + bad)
    got = qk.inv_norm_cdf(mixed).view(np.uint64)
    n = len(bad)
    assert all(int(b) == NAN_BITS for b in got[:n]) and all(int(b) == NAN_BITS for b in got[-n:])
    assert not np.isnan(qk.inv_norm_cdf(mixed)[n:-n]).any()


def reference_inv_norm_cdf(p):
    """The element rule, written out in Python's own float arithmetic."""
    import math

    a = [
        -39.69683028665376,
        220.9460984245205,
        -275.9285104469687,
        138.357751867269,
        -30.66479806614716,
        2.506628277459239,
    ]
    b = [-54.47609879822406, 161.5858368580409, -155.6989798598866, 66.80131188771972, -13.28068155288572]
    c = [
        -0.007784894002430293,
        -0.3223964580411365,
        -2.400758277161838,
        -2.549732539343734,
        4.374664141464968,
        2.938163982698783,
    ]
    d = [0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416]

    def cd(q):
        num = ((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]
        den = (((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1
        return num, den

    if not (0 < p < 1):
        return float("nan")
    if p < 0.02425:
        num, den = cd(math.sqrt(math.log(p) * -2))
        return num / den
    if p <= 0.97575:
        q = p + -0.5
        r = q * q
        num = ((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]
        den = ((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1
        return (q * num) / den
    num, den = cd(math.sqrt(math.log(1 - p) * -2))
    return (-num) / den


def test_inv_norm_cdf_matches_the_element_rule_on_random_inputs(rng):
    ps = [rng.random() for _ in range(20000)]
    ps += [rng.random() * 0.03 for _ in range(5000)] + [1 - rng.random() * 0.03 for _ in range(5000)]
    ps += [10.0 ** -rng.uniform(5, 320) for _ in range(2000)]
    ps += [np.nextafter(0.02425, s) for s in (0, 1)] + [np.nextafter(0.97575, s) for s in (0, 1)]
    got = qk.inv_norm_cdf(np.array(ps))
    for p, g in zip(ps, got):
        want = reference_inv_norm_cdf(float(p))
        assert (np.isnan(g) and np.isnan(want)) or bits(g) == bits(want), p


# ---- keyed_hash and keyed_uniforms ------------------------------------------------

KEYED_ROWS = [
    (
        0,
        "",
        [0, 1, 2],
        0,
        [0x037A9CB18A3D7127, 0xE51FD6F43AB028F4, 0x64994FEEA7E08B51],
        [0.013589661926962482, 0.8950170847189731, 0.3929643590598763],
    ),
    (
        42,
        "demo",
        [0, 1, 2, 3],
        7,
        [0x47AB646C1D610C54, 0xF6CF2536C837A6AA, 0x5DBA16C68DD879E9, 0xCD4D52AAFB2816AB],
        [0.2799589885665947, 0.9640982874627455, 0.36612074229728536, 0.801961104148319],
    ),
    (1, "x", [12345], 1, [0x6B0C1078E92DFBAC], [0.4181528372948193]),
]


@pytest.mark.parametrize("seed, ns, keys, draw, hashes, uniforms", KEYED_ROWS)
def test_keyed_worked_examples(seed, ns, keys, draw, hashes, uniforms):
    k = np.array(keys, dtype=np.uint64)
    assert [int(h) for h in qk.keyed_hash(seed, ns, k, draw)] == hashes
    assert [bits(u) for u in qk.keyed_uniforms(seed, ns, k, draw)] == [bits(u) for u in uniforms]


M64 = (1 << 64) - 1


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def model_keyed_hash(seed, namespace, key, draw):
    h = 0xCBF29CE484222325
    for byte in namespace.encode("utf-8"):
        h = ((h ^ byte) * 0x100000001B3) & M64
    base = mix64(h ^ mix64(seed ^ 0x9E3779B97F4A7C15))
    return mix64(mix64(base ^ key) ^ draw)


@pytest.mark.parametrize("namespace", ["", "a", "foobar", "é", "名前空間", "\U0001f600 x", "a" * 1000])
def test_keyed_hash_matches_the_model(namespace, rng):
    keys = [0, 1, M64] + [rng.getrandbits(64) for _ in range(200)]
    seed, draw = rng.getrandbits(64), rng.choice([0, 1, M64, rng.getrandbits(64)])
    got = qk.keyed_hash(seed, namespace, np.array(keys, dtype=np.uint64), draw)
    assert [int(g) for g in got] == [model_keyed_hash(seed, namespace, k, draw) for k in keys]


def unit_double(v):
    return ((int(v) >> 11) + 0.5) * 2.0**-53


@pytest.mark.parametrize(
    "v, want",
    [
        (0x0, 5.551115123125783e-17),
        (0x7FF, 5.551115123125783e-17),
        (0x7FFFFFFFFFFFF800, 0.49999999999999994),
        (0x8000000000000000, 0.5),
        (0x8000000000000800, 0.5000000000000002),
        (0xFFFFFFFFFFFFF000, 0.9999999999999998),
        (0xFFFFFFFFFFFFF800, 1.0),
        (0xFFFFFFFFFFFFFFFF, 1.0),
    ],
)
def test_unit_double_table(v, want):
    # The Python model (float addition rounds to nearest even) agrees with the table...
    assert bits(unit_double(v)) == bits(want)


def test_uniforms_are_unit_double_of_hashes(rng):
    keys = np.array([rng.getrandbits(64) for _ in range(10**6)], dtype=np.uint64)
    seed, draw = rng.getrandbits(64), rng.getrandbits(64)
    h = qk.keyed_hash(seed, "ns", keys, draw)
    u = qk.keyed_uniforms(seed, "ns", keys, draw)
    # ...and the kernel agrees with the model on a million random hashes.
    x = (h >> np.uint64(11)).astype(np.float64)
    want = (x + 0.5) * 2.0**-53
    assert np.array_equal(u.view(np.uint64), want.view(np.uint64))
    assert u.min() >= 2.0**-54 and u.max() <= 1.0


def test_a_keys_value_does_not_depend_on_its_neighbours(rng):
    n = 50_000
    keys = np.array([rng.getrandbits(64) for _ in range(n)], dtype=np.uint64)
    whole_h = qk.keyed_hash(5, "chunks", keys, 3)
    whole_u = qk.keyed_uniforms(5, "chunks", keys, 3)
    start = 0
    while start < n:
        stop = min(n, start + rng.choice([1, 2, 3, 7, 8, 15, 16, 17, 63, 64, 65, 1000, 4099]))
        assert np.array_equal(qk.keyed_hash(5, "chunks", keys[start:stop], 3), whole_h[start:stop])
        assert np.array_equal(
            qk.keyed_uniforms(5, "chunks", keys[start:stop], 3).view(np.uint64), whole_u[start:stop].view(np.uint64)
        )
        start = stop
    assert np.array_equal(qk.keyed_hash(5, "chunks", keys[::-7], 3), whole_h[::-7])
    assert np.array_equal(
        qk.keyed_hash(5, "chunks", np.broadcast_to(keys[9:10], (33,)), 3), np.repeat(whole_h[9:10], 33)
    )
    twice = np.concatenate([keys[:10], keys[:10]])
    out = qk.keyed_hash(5, "chunks", twice, 3)
    assert np.array_equal(out[:10], out[10:])


def test_every_input_matters():
    k = np.arange(8, dtype=np.uint64)
    base = qk.keyed_hash(1, "a", k, 0)
    for other in (
        qk.keyed_hash(2, "a", k, 0),
        qk.keyed_hash(1, "b", k, 0),
        qk.keyed_hash(1, "a", k, 1),
        qk.keyed_hash(1, "a", k + np.uint64(1), 0),
    ):
        assert not np.any(other == base)
