"""Reference orders and input catalogue shared by the demo and the benchmark."""
from __future__ import annotations

import numpy as np

SORT_FUNCTIONS = {
    np.dtype(np.uint32): "numa_sort_u32",
    np.dtype(np.int32): "numa_sort_i32",
    np.dtype(np.uint64): "numa_sort_u64",
    np.dtype(np.int64): "numa_sort_i64",
    np.dtype(np.float32): "numa_sort_f32",
    np.dtype(np.float64): "numa_sort_f64",
}

_UNSIGNED_OF = {4: np.uint32, 8: np.uint64}


def total_order_sorted(a: np.ndarray) -> np.ndarray:
    """Floats sorted in IEEE 754 total order, compared by bit pattern.

    Negative NaNs first, -0.0 before +0.0, positive NaNs last: the order a
    float's key (bits with every bit flipped when negative, else the sign bit
    set) gives as an unsigned integer.
    """
    utype = _UNSIGNED_OF[a.dtype.itemsize]
    bits = a.view(utype)
    top = utype(a.dtype.itemsize * 8 - 1)
    sign = utype(1) << top
    negative = (bits >> top).astype(bool)
    keys = np.where(negative, ~bits, bits | sign)
    keys.sort()
    back = np.where((keys >> top).astype(bool), keys & ~sign, ~keys)
    return back.astype(utype).view(a.dtype)


def reference_sorted(a: np.ndarray) -> np.ndarray:
    if a.dtype.kind == "f":
        return total_order_sorted(a)
    return np.sort(a, kind="stable")


def numpy_order_sorted(a: np.ndarray) -> np.ndarray:
    """The order of sort(): NumPy's (values ascending, NaN and NaT last), and
    where NumPy leaves it open (-0.0 against +0.0, NaNs among themselves) the
    IEEE 754 total order of the bit patterns."""
    if a.dtype.kind not in "fMm":
        return np.sort(a, kind="stable")
    utype = np.dtype(f"u{a.dtype.itemsize}")
    bits = a.view(utype)
    sign = utype.type(1) << utype.type(8 * a.dtype.itemsize - 1)
    if a.dtype.kind == "f":
        keys = np.where(bits & sign != 0, ~bits, bits | sign)
        last = np.isnan(a)
    else:
        keys = bits ^ sign
        last = bits == sign  # NaT
    return a[np.lexsort((keys, last))]


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    utype = np.dtype(f"u{a.dtype.itemsize}")
    return a.shape == b.shape and np.array_equal(a.view(utype), b.view(utype))


def uniform(dtype: np.dtype, n: int, rng: np.random.Generator) -> np.ndarray:
    """Uniform over every bit pattern for integers; finite normal-ish values for floats."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return rng.standard_normal(n, dtype=np.float64).astype(dtype) * dtype.type(1e6)
    utype = _UNSIGNED_OF[dtype.itemsize]
    return rng.integers(0, np.iinfo(utype).max, size=n, dtype=utype, endpoint=True).view(dtype)


def distribution(name: str, dtype: np.dtype, n: int, rng: np.random.Generator) -> np.ndarray:
    dtype = np.dtype(dtype)
    if name == "uniform":
        return uniform(dtype, n, rng)
    if name == "sorted":
        return reference_sorted(uniform(dtype, n, rng))
    if name == "reversed":
        return reference_sorted(uniform(dtype, n, rng))[::-1].copy()
    if name == "two_halves":
        a = uniform(dtype, n, rng)
        h = n // 2
        return np.concatenate([reference_sorted(a[:h]), reference_sorted(a[h:])])
    if name == "distinct256":
        values = uniform(dtype, 256, rng)
        return values[rng.integers(0, 256, size=n)]
    if name == "nan_zeros":
        a = uniform(dtype, n, rng)
        special = np.array([np.nan, -np.nan, 0.0, -0.0, np.inf, -np.inf], dtype=dtype)
        pick = rng.random(n) < 0.1
        a[pick] = special[rng.integers(0, len(special), size=int(pick.sum()))]
        return a
    raise ValueError(f"unknown distribution {name!r}")
