"""Every sort function against a reference sort, bit-exact, at sizes on both
sides of every size bound, over a catalogue of distributions, with guard
zones around the sorted slice."""

import zlib

import numpy as np
import pytest

from conftest import ELEMENT_TYPES, assert_same_bits, total_order_sorted

# Sizes at which every type is checked, and the bounds of each type's own
# tiers (floats are sorted as unsigned keys of their width).
COMMON_SIZES = [0, 1, 2, 3, 128, 129, 256, 257, 65536, 65537, 128000, 128001]
OWN_SIZES = {
    "u32": [199, 200, 99999, 100000],
    "i32": [899, 900, 1999999, 2000000],
    "u64": [349, 350],
    "i64": [7000, 7001],
}
OWN_SIZES["f32"] = OWN_SIZES["u32"]
OWN_SIZES["f64"] = OWN_SIZES["u64"]

GUARD = 16


def _uniform(etype, n, rng):
    if etype.is_float:
        return (rng.standard_normal(n) * 10.0 ** rng.integers(-30, 30, n)).astype(etype.dtype)
    info = np.iinfo(etype.dtype)
    return rng.integers(info.min, info.max, n, dtype=etype.dtype, endpoint=True)


def _sorted(etype, n, rng):
    return total_order_sorted(_uniform(etype, n, rng))


def _two_sorted_halves(etype, n, rng):
    values = _uniform(etype, n, rng)
    half = n // 2
    return np.concatenate([total_order_sorted(values[:half]), total_order_sorted(values[half:])])


def _mixed_signs(etype, n, rng):
    values = rng.integers(-1000, 1000, n)
    if etype.is_float:
        values = values.astype(etype.dtype) / 7
        values[::5] = -0.0
        values[1::5] = 0.0
        return values
    # Unsigned types wrap: small values and values just below the maximum.
    return values.astype(etype.dtype)


def _organ_pipe(etype, n, rng):
    i = np.arange(n)
    return np.minimum(i, n - 1 - i).astype(etype.dtype)


DISTRIBUTIONS = {
    "uniform": _uniform,
    "small8": lambda etype, n, rng: rng.integers(0, 1 << 8, n).astype(etype.dtype),
    "small16": lambda etype, n, rng: rng.integers(0, 1 << 16, n).astype(etype.dtype),
    "all_equal": lambda etype, n, rng: np.full(n, 42, etype.dtype),
    "sorted": _sorted,
    "reversed": lambda etype, n, rng: _sorted(etype, n, rng)[::-1].copy(),
    "two_sorted_halves": _two_sorted_halves,
    "few_distinct": lambda etype, n, rng: rng.choice(_uniform(etype, 5, rng), n),
    "mixed_signs": _mixed_signs,
    "sawtooth": lambda etype, n, rng: (np.arange(n) % 257).astype(etype.dtype),
    "organ_pipe": _organ_pipe,
}


def sort_with_guards(etype, values):
    """Sorts a copy of `values` that lies between two guard zones, checks the
    guards and returns the sorted copy."""
    n = len(values)
    sentinel = np.array([0x5A] * etype.dtype.itemsize, np.uint8).view(etype.dtype)[0]
    buffer = np.full(n + 2 * GUARD, sentinel, etype.dtype)
    target = buffer[GUARD:GUARD + n]
    target[:] = values
    etype.sort(target)
    guards = np.concatenate([buffer[:GUARD], buffer[GUARD + n:]]).view(etype.bits)
    assert (guards == sentinel.view(etype.bits)).all(), "a sort wrote outside its slice"
    return target


def cases():
    for etype in ELEMENT_TYPES:
        for n in sorted(COMMON_SIZES + OWN_SIZES[etype.suffix]):
            for dist in DISTRIBUTIONS:
                yield pytest.param(etype, n, dist, id=f"{etype}-{n}-{dist}")


@pytest.mark.parametrize("etype, n, dist", cases())
def test_against_reference(etype, n, dist):
    rng = np.random.default_rng(zlib.crc32(f"{etype}-{n}-{dist}".encode()))
    values = DISTRIBUTIONS[dist](etype, n, rng)
    assert values.dtype == etype.dtype and len(values) == n
    result = sort_with_guards(etype, values)
    assert_same_bits(result, total_order_sorted(values))


def float_specials(etype):
    """Bit patterns of every kind of float: zeros, infinities, quiet and
    signalling NaNs of both signs with payloads, subnormals, extremes."""
    if etype.dtype.itemsize == 4:
        patterns = [0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00000,
                    0x7F800001, 0xFF800001, 0x7FBFFFFF, 0xFFBFFFFF, 0x7FC12345, 0xFFFFFFFF,
                    0x7FFFFFFF, 0x00000001, 0x80000001, 0x007FFFFF, 0x807FFFFF, 0x00800000,
                    0x80800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x3F800000, 0xBF800000]
    else:
        patterns = [0x0, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000,
                    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                    0xFFF0000000000001, 0x7FF7FFFFFFFFFFFF, 0x7FF8DEADBEEF0001,
                    0xFFFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF, 0x1, 0x8000000000000001,
                    0x000FFFFFFFFFFFFF, 0x800FFFFFFFFFFFFF, 0x0010000000000000,
                    0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF, 0x3FF0000000000000,
                    0xBFF0000000000000]
    return np.array(patterns, dtype=etype.bits)


FLOAT_TYPES = [t for t in ELEMENT_TYPES if t.is_float]


@pytest.mark.parametrize("etype", FLOAT_TYPES, ids=str)
@pytest.mark.parametrize("n", [2, 23, 129, 257, 1000, 65537, 200001])
def test_float_bit_patterns_survive(etype, n):
    rng = np.random.default_rng(n)
    specials = float_specials(etype)
    info = np.iinfo(etype.bits)
    bits = rng.integers(0, info.max, n, dtype=etype.bits, endpoint=True)
    # Half the elements come from the special patterns, with many duplicates.
    chosen = rng.random(n) < 0.5
    bits[chosen] = rng.choice(specials, int(chosen.sum()))
    values = bits.view(etype.dtype)
    result = sort_with_guards(etype, values)
    assert_same_bits(result, total_order_sorted(values))


@pytest.mark.parametrize("etype", FLOAT_TYPES, ids=str)
def test_float_total_order(etype):
    values = float_specials(etype).view(etype.dtype).copy()
    etype.sort(values)
    signs = np.signbit(values)
    nan = np.isnan(values)
    # Negative NaNs, negative numbers, -0.0, +0.0, positive numbers, positive NaNs.
    order = np.select([nan & signs, signs, ~nan], [0, 1, 2], 3)
    assert (np.diff(order) >= 0).all()
    zeros = np.flatnonzero(values == 0)
    assert signs[zeros[0]] and not signs[zeros[-1]]
    finite = values[~nan]
    assert (finite[:-1] <= finite[1:]).all()
