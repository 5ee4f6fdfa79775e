"""sort(arr, *, axis=-1, threads=None): NumPy's types, order, layouts and
errors, against a reference written here."""

import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs

from conftest import assert_same_bits, run_python

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from reference import SKEWED, distribution  # noqa: E402

try:
    from numpy.exceptions import AxisError
except ImportError:  # NumPy before 1.25
    from numpy import AxisError

# Both sides of the narrow types' cut-offs (stack copy, LSD, counting) and of
# the parallel partition's minimum (65536 elements of 8 bytes, 131072 of 4).
SIZES = [0, 1, 2, 63, 64, 255, 256, 32767, 32768, 65535, 65536, 131071, 131072, 300_000]
DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8",
          "M8[ns]", "M8[D]", "m8[us]", np.intc, np.uintc, np.longlong, np.ulonglong, np.short]


def values(dtype, n, rng):
    """Random values of every kind the dtype has, specials included."""
    dtype = np.dtype(dtype)
    bits = rng.integers(0, 256, n * dtype.itemsize, dtype=np.uint8).view(f"u{dtype.itemsize}")
    if dtype.kind == "b":
        return (bits & 1).astype(bool)
    if dtype.kind == "f":
        # Random bit patterns (NaNs of either sign included), a few narrow
        # values so that equal keys meet, and the specials.
        a = bits.view(dtype).copy()
        a[::3] = rng.standard_normal(len(a[::3])).astype(dtype)
        specials = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0], dtype)
        a[::5] = specials[rng.integers(0, len(specials), len(a[::5]))]
        return a
    if dtype.kind in "Mm":
        a = bits.view(np.int64).copy()
        a[::7] = np.iinfo(np.int64).min  # NaT
        return a.view(dtype)
    return bits.view(dtype).copy()


def reference(a, axis=-1):
    """NumPy's order, every bit pattern kept: values ascending, NaN and NaT
    last, -0.0 before +0.0 and NaNs among themselves in IEEE total order."""
    dtype = a.dtype
    if dtype.kind in "biu":
        return np.sort(a, axis=axis, kind="stable")
    unsigned = np.dtype(f"u{dtype.itemsize}")
    bits = a.view(unsigned)
    sign = unsigned.type(1) << unsigned.type(8 * dtype.itemsize - 1)
    if dtype.kind in "Mm":
        keys = bits ^ sign
        last = bits == sign  # NaT
    else:
        keys = np.where(bits & sign != 0, ~bits, bits | sign)
        last = np.isnan(a)
    return np.take_along_axis(a, np.lexsort((keys, last), axis=axis), axis=axis)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_every_dtype_against_the_reference(dtype, threads):
    rng = np.random.default_rng(7)
    for n in SIZES:
        a = values(dtype, n, rng)
        expected = reference(a)
        assert tfs.sort(a, threads=threads) is None
        assert_same_bits(a, expected)


# The benchmark's skewed families, and shapes that stress the partition's
# special cases: presorted runs, one value, one value in most places.
SHAPES = SKEWED + ["sorted", "reversed", "two_halves", "reversed_runs", "one_value", "heavy_value"]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dtype", ["u8", "f8", "i4", "M8[ns]"])
@pytest.mark.parametrize("shape", SHAPES)
def test_skewed_inputs(dtype, shape, threads):
    rng = np.random.default_rng(3)
    n = 300_001  # above the parallel cut-offs; a bucket of half of it is split again
    if shape == "reversed_runs":
        a = np.sort(distribution("small_range", dtype, n, rng))[::-1].copy()
    elif shape in ("one_value", "heavy_value"):
        a = values(dtype, n, rng)
        a[rng.random(n) < (1.0 if shape == "one_value" else 0.7)] = a[1]
    else:
        a = distribution(shape, dtype, n, rng)
    expected = reference(a)
    tfs.sort(a, threads=threads)
    assert_same_bits(a, expected)


LAYOUTS = {
    "strided": lambda base: (base[::3], -1),
    "reversed": lambda base: (base[::-1], 0),
    "2d_axis0": lambda base: (base[:600].reshape(40, 15), 0),
    "2d_axis1": lambda base: (base[:600].reshape(40, 15), 1),
    "fortran_axis1": lambda base: (np.asfortranarray(base[:600].reshape(40, 15)), -1),
    "3d_axis1": lambda base: (base[:840].reshape(7, 8, 15)[:, ::2, :], 1),
    "one_long_lane": lambda base: (base.reshape(1, -1), 1),
    "unaligned": lambda base: (np.frombuffer(bytearray(base.tobytes() + b"\0"), base.dtype,
                                             count=len(base) - 1, offset=1), 0),
    "empty_lanes": lambda base: (base[:0].reshape(0, 5), 0),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
def test_layouts_sort_each_lane(layout, threads):
    for dtype in ["f4", "i8", "u2"]:
        base = values(dtype, 200_000, np.random.default_rng(5))
        view, axis = LAYOUTS[layout](base)
        untouched = base.copy()
        expected = reference(view, axis)
        tfs.sort(view, axis=axis, threads=threads)
        assert_same_bits(view, expected)
        if layout == "strided":  # elements outside the view keep their place
            mask = np.ones(len(base), bool)
            mask[::3] = False
            assert_same_bits(base[mask], untouched[mask])


def read_only():
    a = np.arange(4)
    a.flags.writeable = False
    return a


ERRORS = [
    (lambda: [3, 1, 2], {}, TypeError, "sort() argument 'arr' must be a numpy.ndarray, not list"),
    (lambda: np.ma.masked_array([2, 1]), {}, TypeError,
     "sort() does not take masked arrays; use their own sort()"),
    (read_only, {}, ValueError, "sort array is read-only"),
    (lambda: np.zeros(3, complex), {}, TypeError, "sort() does not take dtype complex128"),
    (lambda: np.array(["b", "a"]), {}, TypeError, "sort() does not take dtype <U1"),
    (lambda: np.zeros(3, ">i8"), {}, TypeError, "sort() does not take non-native byte order: dtype >i8"),
    (lambda: np.zeros(3), {"axis": 1}, AxisError, "axis 1 is out of bounds for array of dimension 1"),
    (lambda: np.array(5.0), {}, AxisError, "axis -1 is out of bounds for array of dimension 0"),
    (lambda: np.zeros(3), {"threads": 0}, ValueError, "threads must be a positive integer or None"),
    (lambda: np.zeros(3), {"threads": 1.5}, TypeError, None),
    (lambda: np.zeros(3), {"axis": None}, TypeError, None),
    (lambda: np.zeros(3), {"order": "x"}, TypeError, None),
]


@pytest.mark.parametrize("make, kwargs, error, message", ERRORS)
def test_errors_leave_the_array_as_it_was(make, kwargs, error, message):
    arr = make()
    before = np.array(arr, copy=True)
    with pytest.raises(error) as raised:
        tfs.sort(arr, **kwargs)
    if message is not None:
        assert str(raised.value) == message
    if isinstance(arr, np.ndarray):
        np.testing.assert_array_equal(np.asarray(arr), before)


def test_is_a_module_attribute_outside_all():
    assert "sort" not in tfs.__all__
    assert tfs.sort.__module__ == "tarvo_fastsort_numa"
    assert tfs.sort.__text_signature__ == "(arr, *, axis=-1, threads=None)"


def test_an_exclusive_borrow_refuses_the_sort(borrow_api):
    a = np.arange(10)[::-1].copy()
    assert borrow_api.acquire_mut(a) == 0
    try:
        with pytest.raises(BufferError, match="^sort array is already borrowed$"):
            tfs.sort(a)
    finally:
        borrow_api.release_mut(a)
    tfs.sort(a)
    assert np.array_equal(a, np.arange(10))


def test_a_writer_thread_during_the_sort():
    """Whatever another thread writes meanwhile, the sort returns (or fails
    with PanicException) and a later sort is correct."""
    rng = np.random.default_rng(11)
    a = rng.integers(0, 2**63, 3_000_000, dtype=np.uint64)
    stop = threading.Event()

    def write():
        r = np.random.default_rng(12)
        while not stop.is_set():
            at = int(r.integers(0, len(a) - 64))
            a[at:at + 64] = r.integers(0, 2**63, 64, dtype=np.uint64)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(5):
            try:
                tfs.sort(a, threads=2)
            except tfs.PanicException:
                pass
    finally:
        stop.set()
        writer.join()
    expected = np.sort(a)
    tfs.sort(a, threads=2)
    assert np.array_equal(a, expected)


def test_without_avx512():
    """TARVO_FASTSORT_SIMD=baseline: the SIMD sort runs its AVX2 or SSE2 code."""
    result = run_python("""
        import numpy as np, tarvo_fastsort_numa as tfs
        rng = np.random.default_rng(2)
        for dtype in ["u4", "i8", "f8"]:
            for n in [100, 5000, 300_000]:
                a = rng.standard_normal(n).astype(dtype) if dtype == "f8" else rng.integers(-2**31, 2**31, n).astype(dtype)
                expected = np.sort(a)
                tfs.sort(a, threads=1)
                assert np.array_equal(a, expected), (dtype, n)
        print("ok")
    """, env={"TARVO_FASTSORT_SIMD": "baseline"})
    assert result.stdout == "ok\n", result.stderr
