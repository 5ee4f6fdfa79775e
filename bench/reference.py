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


def cpu_class() -> str:
    """The processor, named by its class where known: benchmark figures
    differ so much between classes that every table names it."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        return "unknown CPU"
    vendor, family, model = fields.get("vendor_id", ""), int(fields.get("cpu family", 0)), int(fields.get("model", 0))
    name = fields.get("model name", "unknown CPU")
    if vendor == "AuthenticAMD" and family == 25:
        zen = "Zen 4" if 0x10 <= model <= 0x1F or 0x60 <= model <= 0xAF else "Zen 3"
        label = f"AMD {zen}"
    elif vendor == "AuthenticAMD" and family == 26:
        label = "AMD Zen 5"
    elif vendor == "GenuineIntel" and family == 6 and model in (143, 207):
        label = "Intel Xeon, Sapphire Rapids class"
    else:
        label = vendor or "unknown vendor"
    return f"{label} ({name}, family {family} model {model})"


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


# Skewed inputs as real columns hold them, for sort() (any integer, float or
# time dtype): heavy-tailed counts, sizes, keys of few distinct values or a
# small range, prices, clustered timestamps, floats with NaN and -0.0,
# nearly sorted input.
SKEWED = ["zipf_1.2", "zipf_2_signed", "zipf_3", "lognormal", "random_width", "distinct4", "distinct16",
          "small_range", "prices", "timestamps", "nan_zeros", "nearly_sorted"]


def _as(values: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """Numbers as `dtype`: integers wrap into the type's width, times count
    nanoseconds, floats round."""
    if dtype.kind in "Mm":
        return values.astype(np.int64).view(dtype)
    if dtype.kind in "iu":
        return values.astype(np.int64).astype(dtype)
    return values.astype(dtype)


def skewed(name: str, dtype: np.dtype, n: int, rng: np.random.Generator) -> np.ndarray:
    dtype = np.dtype(dtype)
    base = np.dtype(np.int64) if dtype.kind in "Mm" else dtype  # times as their int64 counts
    if name.startswith("zipf_"):
        exponent = float(name.split("_")[1])
        a = rng.zipf(exponent, n).astype(np.float64)
        if name.endswith("_signed"):
            a *= rng.choice([-1.0, 1.0], n)
        return _as(np.minimum(a, 2.0**62), dtype)
    if name == "lognormal":
        return _as(rng.lognormal(0.0, 2.0, n) * (1.0 if dtype.kind == "f" else 1000.0), dtype)
    if name == "random_width":
        bits = 8 * dtype.itemsize
        full = rng.integers(0, 2**63, n, dtype=np.uint64) if bits == 64 else rng.integers(0, 2**bits, n, dtype=np.uint64)
        width = rng.integers(0, bits + 1, n).astype(np.uint64)
        kept = np.where(width >= 64, full, full & ((np.uint64(1) << np.minimum(width, 63)) - np.uint64(1)))
        return kept.astype(f"u{dtype.itemsize}").view(dtype) if dtype.kind != "f" else _as(kept, dtype)
    if name.startswith("distinct"):
        values = uniform(base, int(name[len("distinct"):]), rng)
        return values[rng.integers(0, len(values), n)].view(dtype)
    if name == "small_range":
        return _as(rng.integers(0, 1000, n) + 5000, dtype)
    if name == "prices":
        cents = np.round(rng.lognormal(7.0, 1.5, n))
        return _as(cents / 100.0, dtype) if dtype.kind == "f" else _as(cents, dtype)
    if name == "timestamps":
        # Events a second apart, arriving up to a minute out of order.
        seconds = 1_700_000_000 + np.arange(n, dtype=np.int64) + rng.integers(-60, 60, n)
        return _as(seconds * (10**9 if dtype.itemsize == 8 else 1), dtype)
    if name == "nan_zeros":
        a = rng.standard_normal(n)
        if dtype.kind == "f":
            a[rng.random(n) < 0.01] = np.nan
            a[rng.random(n) < 0.01] = -0.0
            return a.astype(dtype)
        return _as(a * 1e6, dtype)
    if name == "nearly_sorted":
        # Sorted, then one element in a hundred swapped with another.
        a = reference_sorted(uniform(base, n, rng))
        swaps = rng.integers(0, n, (max(1, n // 200), 2))
        a[swaps[:, 0]], a[swaps[:, 1]] = a[swaps[:, 1]], a[swaps[:, 0]].copy()
        return a.view(dtype)
    raise ValueError(f"unknown distribution {name!r}")


def distribution(name: str, dtype: np.dtype, n: int, rng: np.random.Generator) -> np.ndarray:
    dtype = np.dtype(dtype)
    if name in SKEWED:
        return skewed(name, dtype, n, rng)
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
