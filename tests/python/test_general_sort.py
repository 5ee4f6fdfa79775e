"""sort(arr, *, axis=-1, threads=None): NumPy's types, order, layouts, errors."""

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import SKEWED, assert_same_bits, distribution, reference, run_python, values

AxisError = getattr(np, "exceptions", np).AxisError  # numpy.AxisError before NumPy 1.25

# Both sides of the narrow types' cut-offs (stack copy, LSD, counting) and of
# the parallel partition's minimum (65536 elements of 8 bytes, 131072 of 4).
SIZES = [0, 1, 2, 63, 64, 255, 256, 32767, 32768, 65535, 65536, 131071, 131072, 300_000]
DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8",
          "M8[ns]", "M8[D]", "m8[us]", np.intc, np.uintc, np.longlong, np.ulonglong, np.short]


# The benchmark's skewed families; presorted runs, one value, one value mostly.
SHAPES = SKEWED + ["sorted", "reversed", "two_halves", "reversed_runs", "one_value", "heavy_value"]


def skewed(shape, dtype, rng, n=300_001):  # a bucket of half of n is split again
    if shape == "reversed_runs":
        return np.sort(distribution("small_range", dtype, n, rng))[::-1].copy()
    if shape in ("one_value", "heavy_value"):
        a = values(dtype, n, rng)
        a[rng.random(n) < (1.0 if shape == "one_value" else 0.7)] = a[1]
        return a
    return distribution(shape, dtype, n, rng)


def few_keys(dtype, n, rng, others):
    """Six keys (floats: both zeros, a NaN of each sign, infinity, 1.5;
    integers: both ends, -1 or the middle, one to three) wherever the sample
    looks, and a share `others` of other values (NaNs of other payloads among
    them) elsewhere: counted from 65,536 elements, given up where the others
    fill more than half a piece."""
    if np.dtype(dtype).kind == "f":
        keys = np.array([0.0, -0.0, np.nan, -np.nan, np.inf, 1.5], dtype)
    else:
        info = np.iinfo(dtype)
        keys = np.array([info.min, info.max, -1 if info.min else info.max // 2 + 1, 1, 2, 3], dtype)
    a = keys[rng.integers(0, len(keys), n)]
    other = rng.random(n) < others
    a[other] = values(dtype, int(other.sum()), rng)
    a[(2 * np.arange(255) + 1) * n // 510] = keys[np.arange(255) % len(keys)]
    return a


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_against_the_reference(dtype, threads):
    rng = np.random.default_rng(7)
    inputs = [values(dtype, n, rng) for n in SIZES]
    if np.dtype(dtype).kind == "f":  # without NaNs, sorted by value: the zeros' signs are put back
        inputs += [np.where(np.isnan(a), np.array(-0.0, dtype), a) for a in inputs[:len(SIZES)]]
    inputs += [skewed(shape, dtype, rng) for shape in SHAPES if dtype in ("u8", "f8", "i4", "M8[ns]")]
    if dtype in ("i4", "u4", "i8", "u8", "f4", "f8"):
        inputs += [few_keys(dtype, n, rng, others) for n in (65_535, 65_536, 300_001) for others in (0.01, 0.6)]
    # In key order (negative NaNs first) or its reverse throughout: settled by
    # scans through the key map. The ends and the sign-bit third tell a map
    # that reads signed or float keys as unsigned.
    for n in (4097, 300_000):
        ordered = reference(values(dtype, n, rng), nan_last=False)
        inputs += [ordered, ordered[::-1].copy(), ordered[[0, -1]], ordered[: n // 3][::-1].copy()]
    for a in inputs:
        expected = reference(a)
        assert tfs.sort(a, threads=threads) is None
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


@pytest.mark.parametrize("threads", [1, np.int64(2)])
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
            assert_same_bits(np.delete(base, np.s_[::3]), np.delete(untouched, np.s_[::3]))


ERRORS = [
    (lambda: [3, 1, 2], {}, TypeError, "sort() argument 'arr' must be a numpy.ndarray, not list"),
    (lambda: np.ma.masked_array([2, 1]), {}, TypeError,
     "sort() does not take masked arrays; use their own sort()"),
    (lambda: np.broadcast_to(np.arange(4), (2, 4)), {}, ValueError, "sort array is read-only"),
    (lambda: np.zeros(3, complex), {}, TypeError, "sort() does not take dtype complex128"),
    (lambda: np.array(["b", "a"]), {}, TypeError, "sort() does not take dtype <U1"),
    (lambda: np.zeros(3, ">i8"), {}, TypeError, "sort() does not take non-native byte order: dtype >i8"),
    (lambda: np.zeros(3), {"axis": 1}, AxisError, "axis 1 is out of bounds for array of dimension 1"),
    (lambda: np.zeros(3), {"axis": -2}, AxisError, "axis -2 is out of bounds for array of dimension 1"),
    (lambda: np.array(5.0), {}, AxisError, "axis -1 is out of bounds for array of dimension 0"),
    (lambda: np.zeros(3), {"threads": 0}, ValueError, "threads must be a positive integer or None"),
    (lambda: np.zeros(3), {"threads": -1}, ValueError, "threads must be a positive integer or None"),
    (lambda: np.zeros(3), {"threads": 1.5}, TypeError, None),
    (lambda: np.zeros(3), {"axis": None}, TypeError, None),
    (lambda: np.zeros(3), {"axes": 0}, TypeError, "sort() got an unexpected keyword argument 'axes'"),
]


@pytest.mark.parametrize("make, kwargs, error, message", ERRORS)
def test_errors_leave_the_array_as_it_was(make, kwargs, error, message):
    arr = make()
    before = np.array(arr, copy=True)
    with pytest.raises(error) as raised:
        tfs.sort(arr, **kwargs)
    if message is not None:
        assert str(raised.value) == message
    np.testing.assert_array_equal(np.asarray(arr), before)


def test_a_borrow_refuses_the_sort(borrow_api):
    a = np.arange(10)[::-1].copy()
    assert borrow_api.acquire(a[3:5]) == 0
    with pytest.raises(BufferError, match="^sort array is already borrowed$"):
        tfs.sort(a)
    borrow_api.release(a[3:5])
    tfs.sort(a, threads=None)
    assert np.array_equal(a, np.arange(10))


# Each forced choice of the processor-dependent code: the SIMD sort without
# its AVX-512 targets; each SIMD quicksort, on both sides of its in-cache
# choice (65536 keys); the partition's fine and coarse shapes and the split
# around pivots for every lane, on both sides of their cut-offs (two threads:
# 512 KiB, 2 MiB and 768 KiB); the fine shape scattering through line
# buffers (ctest runs it past 16 MiB, with streaming stores); floats
# partitioned as they are or as keys.
FORCED = {
    "simd_baseline": ({"TARVO_FASTSORT_SIMD": "baseline"}, [100, 5000, 300_000], None),
    "vqsort": ({"TARVO_FASTSORT_SIMD_SORT": "vqsort"}, [100, 65535, 65536], None),
    "x86-simd-sort": ({"TARVO_FASTSORT_SIMD_SORT": "x86-simd-sort"}, [100, 65535, 65536], None),
    "partition_fine": ({"TARVO_FASTSORT_PARTITION": "fine"}, [65535, 65536, 131071, 131072], "fine"),
    "partition_coarse": ({"TARVO_FASTSORT_PARTITION": "coarse"}, [131072, 262143, 262144, 524287, 524288], "coarse"),
    "partition_split": ({"TARVO_FASTSORT_PARTITION": "split"}, [65536, 98303, 98304, 196607, 196608], "split"),
    "partition_combining": ({"TARVO_FASTSORT_PARTITION": "fine", "TARVO_FASTSORT_SCATTER": "combining"},
                            [65536, 131071, 262144], "fine"),
    "floats_by_value": ({"TARVO_FASTSORT_PARTITION": "fine", "TARVO_FASTSORT_FLOAT_PARTITION": "values"},
                        [65536, 131072, 300_000], "fine"),
    "floats_as_keys": ({"TARVO_FASTSORT_PARTITION": "coarse", "TARVO_FASTSORT_FLOAT_PARTITION": "keys"},
                       [262144, 600_000], "coarse"),
}


@pytest.mark.parametrize("forced", FORCED, ids=str)
def test_forced_choices(forced):
    env, sizes, shape = FORCED[forced]
    result = run_python(f"""
        import numpy as np, tarvo_fastsort_numa as tfs
        from conftest import assert_same_bits, distribution, reference, sparse_specials, values
        paths = set()
        for dtype in ["u4", "i4", "u8", "i8", "f4", "f8"]:
            rng = np.random.default_rng(len(dtype))
            arrays = [(None, values(dtype, n, rng)) for n in {sizes}] + [(None, sparse_specials(dtype, {sizes}[-1], rng))]
            arrays += [(s, distribution(s, dtype, {sizes}[-1], rng)) for s in ["zipf_2_signed", "lognormal", "nan_zeros"]]
            for family, a in arrays:
                expected = reference(a)
                for threads in (1, 2):
                    b = a.copy()
                    tfs.sort(b, threads=threads)
                    assert_same_bits(b, expected)
                    parallel = threads == 2 and b.nbytes >= {{"coarse": 2 << 20, "split": 768 << 10}}.get("{shape}", 512 << 10)
                    # integers of about 4 bits of entropy a key: one worker sorts them as fast
                    parallel &= not (family == "zipf_2_signed" and dtype[0] != "f")
                    paths.add(tfs._sort_info()["last_path"])
                    if {shape!r} is not None:  # keys that no digit splits well are split around pivots
                        allowed = ("partition, {shape}", "split") if parallel else ("one thread",)
                        assert tfs._sort_info()["last_path"] in allowed, (family, dtype, len(a))
        assert tfs._sort_info()["partition"] == ({shape!r} or tfs._sort_info()["partition"])
        scatter = {env.get("TARVO_FASTSORT_SCATTER")!r}
        assert scatter is None or tfs._sort_info()["scatter"] == (scatter, scatter)
        floats = {env.get("TARVO_FASTSORT_FLOAT_PARTITION")!r}
        assert floats is None or tfs._sort_info()["float_partition"] == (floats, floats)
        expected_paths = {{"split"}} if {shape!r} == "split" else {{"partition, {shape}", "split"}}
        assert {shape!r} is None or expected_paths <= paths
        quicksort = {env.get("TARVO_FASTSORT_SIMD_SORT")!r}
        if quicksort and "avx2" in open("/proc/cpuinfo").read().split():
            kinds = {{c[k] for pair in tfs._sort_info()["simd_sorts"].values() for c in pair for k in (0, 3)}}
            assert kinds == {{quicksort}}
    """, env=env)
    assert result.returncode == 0, result.stderr
