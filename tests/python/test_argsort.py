"""argsort(arr, *, axis=-1, kind=None, threads=None): np.argsort(kind='stable')'s
indices exactly, in any layout, arr untouched; errors; a writer meanwhile."""

import os
import threading

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import SKEWED, distribution, run_python, values

AxisError = getattr(np, "exceptions", np).AxisError  # numpy.AxisError before NumPy 1.25

# Both sides of the cut-offs: 8-bit counting and 16-bit LSD (64), the
# partition of keys too wide for 64-bit words (1024), the partition of the
# others (16384), 16-bit counting and passes split over the threads (65536);
# 16-bit LSD again from 2^21, with 64-bit records above 2^24.
SIZES = [0, 1, 2, 63, 64, 1023, 1024, 16383, 16384, 65535, 65536, 300_000]
SIZES_16 = [2**21 - 1, 2**21, 2**24 + 1]
DTYPES = ["?", "i1", "u1", "i2", "u2", "f2", "i4", "u4", "f4", "i8", "u8", "f8",
          "M8[ns]", "m8[us]", np.intc, np.uintc, np.longlong, np.ulonglong]
KINDS = [None, "quicksort", "heapsort", "stable", "mergesort"]


def ties(dtype, n, rng):
    """Eight values (NaN, -0.0, +0.0, NaT among them where drawn): long runs of ties."""
    a = values(dtype, n, rng)
    return a[rng.integers(0, min(n, 8), n)] if n else a


def wide_cluster(dtype, n, rng):
    """Keys too wide to share a word with their index, most of them in one
    bucket spanning it: the bucket is split again, or sorted as 128-bit words."""
    a = rng.integers(0, 2**55, n, dtype=np.uint64).astype(dtype)
    a[:: 7] = np.iinfo(dtype).max - rng.integers(0, 3, len(a[::7])).astype(dtype)
    return a


def few_keys(shape, dtype, n, rng):
    """Keys that a sample shows to be few: `tail` has 40 heavy keys bear the
    lane with a tenth of other keys among them, in value too; `four`, `six`
    and `eight` have 4, 6 or 8 with a hundredth of others where the sample
    does not look (slots written slot by slot; for floats +0.0 and NaN among
    the keys, and among the others -0.0 and NaNs of other patterns, which the
    sample did not see); `sampled` puts
    4 keys only where the sample looks, with other keys everywhere else (a
    tail too long, which gives up); `halves` gives each half of the lane
    (each thread's piece) keys of its own; `top` piles keys on the largest
    with a long tail below (a log scale's centre at its top)."""
    if shape == "top":
        top = -np.minimum(rng.zipf(2.0, n), 2**40)
        return top.view(dtype) if np.dtype(dtype).kind == "M" else top.astype(dtype)
    if shape == "sampled":
        a = values(dtype, n, rng)
        a[(2 * np.arange(255) + 1) * n // 510] = a[:4][np.arange(255) % 4]
        return a
    heavy, halves = {"tail": (40, False), "four": (4, False), "six": (6, False), "eight": (8, False),
                     "halves": (30, True)}[shape]
    pool = np.unique(values(dtype, 8 * heavy, rng))
    keys = pool[rng.permutation(len(pool))[:heavy + heavy * halves]]
    few = shape in ("four", "six", "eight")
    if few and np.dtype(dtype).kind == "f":
        keys[:2] = [0.0, np.nan]
    a = keys[rng.integers(0, heavy, n) + heavy * (halves & (np.arange(n) >= n // 2))]
    if shape == "tail" or few:
        others = rng.random(n) < (0.1 if shape == "tail" else 0.01)
        a[others] = values(dtype, int(others.sum()), rng)
    if few:
        a[(2 * np.arange(255) + 1) * n // 510] = keys[np.arange(255) % heavy]
    return a


def shuffled_middle(a, rng):
    """Sorted but for a fifth in the middle: nearly sorted to a sample, too
    far from it for the drop-merge sort, which gives up."""
    a, m = np.sort(a), len(a) // 5
    a[2 * m:3 * m] = rng.permutation(a[2 * m:3 * m])
    return a


def swapped_ties(a, rng):
    """Sorted in runs of four equal keys, one key in a hundred swapped with
    another: nearly sorted, dropped keys merged among equal kept ones."""
    a = np.sort(a)[np.arange(len(a)) // 4 * 4]
    swaps = rng.integers(0, len(a), (len(a) // 200, 2))
    a[swaps[:, 0]], a[swaps[:, 1]] = a[swaps[:, 1]], a[swaps[:, 0]].copy()
    return a


def joined(a, rng, cuts=(3, 2)):
    """Sorted arrays of unequal lengths (three, or two), joined: merged as runs."""
    return np.concatenate([np.sort(p) for p in np.split(a, [len(a) // c for c in cuts])])


def falling(a, rng):
    """In falling order without NaN or NaT, contiguous; +0.0 above -0.0, as
    in sort()'s order, so that both zeros make one run of ties."""
    a = a[a == a].copy()
    tfs.sort(a)
    return a[::-1].copy()


def leading(a, rng):
    """In the order of sort(), which puts NaNs of the sign bit and NaT
    first, where NumPy's argsort puts them last."""
    first = {"f": np.copysign(np.nan, -1.0), "M": np.datetime64("NaT")}.get(a.dtype.kind)
    return np.concatenate([np.full(3, first, a.dtype), np.sort(a[a == a])]) if first is not None else np.sort(a)


def zeros_across(a, rng):
    """Two sorted runs without NaN or NaT, floats with +0.0 in the first and
    -0.0 in the second: equal keys, the first run's first."""
    a = a[a == a]
    first, second = a[: len(a) // 3].copy(), a[len(a) // 3:].copy()
    if a.dtype.kind == "f":
        first[::5], second[::5] = 0.0, -0.0
    return np.concatenate([np.sort(first), np.sort(second)])


# Sorted, in falling order (runs of ties among them; strided, and contiguous
# without NaN or NaT), in sort()'s order, nearly sorted (far from it; with
# ties), joined (three runs, two; zeros of either sign across two; the second
# in sort()'s order).
ARRANGEMENTS = [lambda a, rng: np.sort(a), lambda a, rng: np.sort(a)[::-1],
                falling, leading, shuffled_middle, swapped_ties, joined, lambda a, rng: joined(a, rng, (3,)),
                zeros_across,
                lambda a, rng: np.concatenate([np.sort(a[: len(a) // 3]), leading(a[len(a) // 3:], rng)])]


def check(a, got, kind="stable", axis=-1):
    assert got.dtype == np.intp and got.flags.c_contiguous
    if kind in ("stable", "mergesort"):
        np.testing.assert_array_equal(got, np.argsort(a, axis=axis, kind="stable"))
        return
    # Other kinds: a permutation of every lane that puts it in NumPy's order.
    flat = axis is None
    a, axis = (a.reshape(-1), 0) if flat else (a, axis)
    np.testing.assert_array_equal(np.sort(got, axis=axis), np.broadcast_to(
        np.arange(a.shape[axis]).reshape([-1 if d == axis % a.ndim else 1 for d in range(a.ndim)]), a.shape))
    # NumPy's stable order as the reference: its np.sort of float16 misplaces
    # keys on AVX-512 processors (NumPy 2.4.6, AMD Zen 4: eight values, NaNs
    # among them, 65,536 keys).
    ordered = np.take_along_axis(a, got, axis)
    expected = np.take_along_axis(a, np.argsort(a, axis=axis, kind="stable"), axis)
    if a.dtype.kind in "Mm":
        ordered, expected = ordered.view("i8"), expected.view("i8")
    np.testing.assert_array_equal(ordered, expected)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_against_numpy(dtype, threads):
    rng = np.random.default_rng(11)
    inputs = [make(dtype, n, rng) for n in SIZES for make in (values, ties)]
    inputs += [values(dtype, n, rng) for n in SIZES_16 if np.dtype(dtype).itemsize == 2]
    if np.dtype(dtype) in (np.dtype("i8"), np.dtype("u8")):
        inputs += [wide_cluster(dtype, n, rng) for n in (1_100, 17_000, 300_000)]
        # One word each past the digit's bits: keys spread over 2^50, each
        # with neighbours one apart.
        inputs += [(rng.integers(0, 2**40, 1000)[rng.integers(0, 1000, 300_000)] << 10 |
                    rng.integers(0, 4, 300_000)).astype(dtype)]
    if dtype in ("u4", "i8", "f4", "f8", "M8[ns]"):
        inputs += [distribution(shape, dtype, 300_001, rng) for shape in SKEWED]
        inputs += [few_keys(shape, dtype, n, rng) for shape in ("tail", "four", "six", "sampled", "halves", "top")
                   for n in (4_095, 4_096, 100_000)]
        inputs += [few_keys("eight", dtype, n, rng) for n in (100_000, 600_000)]
        inputs += [distribution("distinct16", dtype, 600_000, rng)]  # scattered in one stretch past the caches
        inputs += [rng.standard_normal(300_000).astype(dtype)] if dtype[0] == "f" else []
        inputs += [arrange(make(dtype, n, rng), rng) for n in (4_095, 4_096, 300_001) for make in (values, ties)
                   for arrange in ARRANGEMENTS]
    for i, a in enumerate(inputs):
        kind = KINDS[i % len(KINDS)]
        check(a, tfs.argsort(a, kind=kind, threads=threads), kind)


LAYOUTS = {
    "strided": lambda base: (base[::3], -1),
    "reversed": lambda base: (base[::-1], 0),
    "2d_axis0": lambda base: (base[:600].reshape(40, 15), 0),
    "2d_axis1": lambda base: (base[:600].reshape(40, 15), 1),
    "2d_axis_none": lambda base: (base[:600].reshape(40, 15)[:, ::2], None),
    "fortran_axis1": lambda base: (np.asfortranarray(base[:600].reshape(40, 15)), -1),
    "3d_axis1": lambda base: (base[:840].reshape(7, 8, 15)[:, ::2, :], 1),
    "long_lanes_axis0": lambda base: (base[:200_000].reshape(100_000, 2), 0),  # indices strided
    "one_long_lane": lambda base: (base.reshape(1, -1), 1),
    "unaligned": lambda base: (np.frombuffer(bytearray(base.tobytes() + b"\0"), base.dtype,
                                             count=len(base) - 1, offset=1), 0),
    "read_only": lambda base: (np.broadcast_to(base, (2, len(base))), 1),
    "zero_dim_flattened": lambda base: (base[:1].reshape(()), None),
    "empty_lanes": lambda base: (base[:0].reshape(0, 5), 0),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
def test_layouts(layout, threads):
    bases = [values(dtype, 200_000, np.random.default_rng(5)) for dtype in ["f4", "i8", "u2", "f2"]]
    bases += [few_keys("tail", "i8", 200_000, np.random.default_rng(5)), distribution("distinct4", "i8", 200_000,
                                                                                      np.random.default_rng(5))]
    for base in bases:
        view, axis = LAYOUTS[layout](base)
        before = view.copy()
        for kind in (None, "stable"):
            check(view, tfs.argsort(view, axis=axis, kind=kind, threads=threads), kind, axis)
        np.testing.assert_array_equal(view.view(f"u{view.itemsize}"), before.view(f"u{view.itemsize}"))


ERRORS = [
    (lambda: [3, 1, 2], {}, TypeError, "argsort() argument 'arr' must be a numpy.ndarray, not list"),
    (lambda: np.ma.masked_array([2, 1]), {}, TypeError,
     "argsort() does not take masked arrays; use their own argsort()"),
    (lambda: np.zeros(3, complex), {}, TypeError, "argsort() does not take dtype complex128"),
    (lambda: np.zeros(3, ">i8"), {}, TypeError, "argsort() does not take non-native byte order: dtype >i8"),
    (lambda: np.zeros(3), {"axis": 1}, AxisError, "axis 1 is out of bounds for array of dimension 1"),
    (lambda: np.array(5.0), {}, AxisError, "axis -1 is out of bounds for array of dimension 0"),
    (lambda: np.zeros(3), {"threads": 0}, ValueError, "threads must be a positive integer or None"),
    (lambda: np.zeros(3), {"threads": 1.5}, TypeError, None),
    (lambda: np.zeros(3), {"kind": "bogus"}, ValueError,
     "sort kind must be one of 'quick', 'heap', or 'stable' (got 'bogus')"),
    (lambda: np.zeros(3), {"kind": 5}, TypeError, "sort kind must be str, not int"),
    (lambda: np.zeros(3), {"threds": 2}, TypeError, "argsort() got an unexpected keyword argument 'threds'"),
]


@pytest.mark.parametrize("make, kwargs, error, message", ERRORS)
def test_errors(make, kwargs, error, message):
    with pytest.raises(error) as raised:
        tfs.argsort(make(), **kwargs)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("alphabet", [256, 2, 1])  # 2: few keys, 1: in order, until the writer adds more
def test_a_writer_meanwhile_leaves_a_permutation(alphabet):
    """Another thread rewrites the array while the lock is released: every
    result is still a permutation of the indices."""
    rng = np.random.default_rng(9)
    buffer = rng.integers(0, alphabet, 8 * 600_000, dtype=np.uint8)
    stop = threading.Event()

    def write():
        noise = np.random.default_rng(10).integers(0, 256, 1 << 16, dtype=np.uint8)
        while not stop.is_set():
            start = int(rng.integers(0, len(buffer) - len(noise)))
            buffer[start:start + len(noise)] = noise

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(3):
            for dtype in ["i8", "f8", "u4", "f4", "u2", "u1"]:
                view = buffer.view(dtype)
                for threads in (1, 2):
                    got = tfs.argsort(view, threads=threads)
                    assert np.array_equal(np.sort(got), np.arange(len(view))), dtype
    finally:
        stop.set()
        writer.join()


@pytest.mark.parametrize("cache", [None, "0"])  # the scratch cache as set by default, and keeping nothing
def test_large_results_take_their_memory_back_and_forth(cache):
    """Large results own memory of the module's handler, which a later call
    reuses once they are freed; NumPy copies, resizes and frees it as its own."""
    result = run_python("""
        import numpy as np, tarvo_fastsort_numa as tfs
        core = getattr(np, "_core", None) or np.core
        a = np.random.default_rng(3).integers(0, 1000, 250_000)  # 2 MB of indices: one block
        first = tfs.argsort(a)
        print(core.multiarray.get_handler_name(first), first.flags.owndata,
              core.multiarray.get_handler_name(tfs.argsort(a[:1000])))
        address = first.ctypes.data
        copy = first.copy()
        del first
        again = tfs.argsort(a)
        print(again.ctypes.data == address, np.array_equal(again, copy))
        again.resize(500_000, refcheck=False)
        print(np.array_equal(again[:250_000], copy), not again[250_000:].any())
        again.resize(7, refcheck=False)
        print(np.array_equal(again, copy[:7]))
    """, env={"TARVO_FASTSORT_SCRATCH_CACHE": cache})
    # Under AddressSanitizer every buffer comes from the heap, whose freed
    # blocks wait in quarantine.
    kept = cache is None and "libasan" not in os.environ.get("LD_PRELOAD", "")
    reused = "True" if kept else ("True", "False")
    lines = result.stdout.split("\n")
    assert result.returncode == 0, result.stderr
    assert lines[0] == "tarvo_fastsort_numa scratch cache True default_allocator", result.stdout
    assert lines[1].split()[0] in reused and lines[1].split()[1] == "True", result.stdout
    assert lines[2:4] == ["True True", "True"], result.stdout


# The partition's scatter forced each way (by default it goes through line
# buffers only from 16 MiB of pairs, past 1024 buckets or where measured
# faster); the baseline code
# without AVX2 on five workers, whose merge of a nearly sorted lane's parts
# cuts it four times.
FORCED = {"scatter_plain": {"TARVO_FASTSORT_SCATTER": "plain"},
          "scatter_combining": {"TARVO_FASTSORT_SCATTER": "combining"},
          "baseline_five_workers": {"TARVO_FASTSORT_SIMD": "baseline", "RAYON_NUM_THREADS": "5"}}


@pytest.mark.parametrize("forced", FORCED, ids=str)
def test_forced_choices(forced):
    result = run_python("""
        import numpy as np, tarvo_fastsort_numa as tfs
        from conftest import distribution, values
        for dtype in ["u4", "i4", "i8", "f4", "f8"]:
            rng = np.random.default_rng(4)
            arrays = [values(dtype, n, rng) for n in (16_384, 65_537, 300_000)]
            arrays += [rng.standard_normal(300_000).astype(dtype)] if dtype[0] == "f" else []
            arrays += [distribution(name, dtype, 300_000, rng) for name in ("lognormal", "nearly_sorted")]
            ties = np.sort(values(dtype, 300_000, rng))[np.arange(300_000) // 500 * 500]
            ties[rng.integers(0, 300_000, 2_000)] = ties[rng.integers(0, 300_000, 2_000)]
            for a in arrays + [ties]:
                for threads in (1, 2, None):
                    assert np.array_equal(tfs.argsort(a, threads=threads), np.argsort(a, kind="stable")), dtype
    """, env=FORCED[forced])
    assert result.returncode == 0, result.stderr


def test_out_of_memory_is_memory_error():
    result = run_python("""
        import resource
        import numpy as np, tarvo_fastsort_numa as tfs
        a = np.random.default_rng(1).standard_normal(8_000_000)
        before = a.copy()
        tfs.argsort(a[:100_000], threads=2)  # starts the pool while memory is still available
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 96 * 2**20, resource.RLIM_INFINITY))
        try:
            tfs.argsort(a, threads=2)  # the indices fit, the pairs do not
            print("sorted")
        except MemoryError:
            print("MemoryError", np.array_equal(a, before))
    """)
    assert result.returncode == 0 and result.stdout == "MemoryError True\n", result.stderr
