"""Benchmark of sort(): one thread and every thread of the pool, against
np.sort (ndarray.sort, default kind) and polars (Series.sort in place, every
thread), in one process, interleaved, median of several runs. Uniform keys for
integers, standard normal for floats. Prints one parsable line per
measurement, then a markdown table in ns per element.

    .venv/bin/python bench/bench_sort.py [--quick] [--big] [--repeats 5]
    .venv/bin/python bench/bench_sort.py --skewed   # the skewed families
    .venv/bin/python bench/bench_sort.py --skewed --skewed-types uint32,float64 --skewed-sizes 1e7

With --skewed: every family of reference.SKEWED at 1e6 and 1e7 for the wide
types, with each sort()'s time over np.sort's.
"""
from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

# OpenBLAS's idle threads spin beside the sorts on a machine of few cores;
# nothing here multiplies matrices.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import tarvo_fastsort_numa as tfs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from reference import SKEWED, cpu_class, distribution  # noqa: E402

try:
    import polars as pl
except ImportError:  # the table then has no polars column
    pl = None

SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]
DTYPES = ["uint32", "int32", "uint64", "int64", "float32", "float64", "int16", "float16", "datetime64[ns]"]
SKEWED_SIZES = [10**6, 10**7]
SKEWED_DTYPES = ["uint32", "uint64", "int64", "float32", "float64"]


def data_of(dtype: np.dtype, n: int, rng) -> np.ndarray:
    if dtype.kind == "f":
        return rng.standard_normal(n).astype(dtype)
    if dtype.kind == "M":
        return rng.integers(0, 2**62, n).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)


def contenders(data: np.ndarray):
    out = {
        "sort(threads=1)": lambda a: tfs.sort(a, threads=1),
        "sort()": tfs.sort,
        "np.sort": np.ndarray.sort,
    }
    if pl is not None and data.dtype.kind != "M" and data.dtype != np.float16:
        out["polars"] = lambda a: a.sort(in_place=True)
    return out


def copy_for(name: str, data: np.ndarray):
    return pl.Series(data.copy()) if name == "polars" else data.copy()


# Short inputs are sorted in batches of copies, so that a sample lasts long
# enough to time: this many elements per sample at least.
BATCH_ELEMENTS = 10**5


def header(title: str, repeats: int) -> None:
    """The machine and the processor-dependent choices, before any table."""
    info = tfs._sort_info()
    print(f"# {title}: {cpu_class()}, {platform.machine()}, {os.cpu_count()} CPUs, NumPy {np.__version__}, "
          f"polars {pl.__version__ if pl else 'absent'}, repeats {repeats}")
    print(f"# SIMD sort target {info['simd_target']}; pool {info['pool_threads']} threads; scatter past the cache "
          f"(32-bit / 64-bit keys): radix passes {'/'.join(info['scatter'])}, partition "
          f"{'/'.join(info['partition_scatter'])}; floats partitioned as (f32 / f64) "
          f"{'/'.join(info['float_partition'])}; partition "
          f"{info['partition']}" + (" (forced)" if info["forced"] else
          f" (measured in {info['calibration_ms']:.1f} ms: scatter {info['fine_scatter_ns']:.2f} ns/key fine, "
          f"{info['coarse_scatter_ns']:.2f} coarse; SIMD partition step {info['split_ns']:.2f}; SIMD sort "
          f"{info['cached_sort_ns']:.2f} ns/key in cache, {info['large_sort_ns']:.2f} out of it)"))
    print("# quicksort per type, in cache / from 65536 keys, random keys and keys of 16 values (ns per key, "
          "vqsort vs x86-simd-sort): " + "; ".join(
              f"{t} " + " / ".join(f"{c[0]} ({c[1]:.2f} vs {c[2]:.2f}), {c[3]} ({c[4]:.2f} vs {c[5]:.2f})"
                                   for c in (small, large))
              for t, (small, large) in info["simd_sorts"].items()))


def measure(data: np.ndarray, repeats: int) -> dict[str, float]:
    """Median seconds per sort of `data`, for each contender; under "path",
    what sort() did with it."""
    fns = contenders(data)
    batch = max(1, BATCH_ELEMENTS // len(data))
    times: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(repeats):  # interleaved: one sample of each per round
        for name, fn in fns.items():
            work = [copy_for(name, data) for _ in range(batch)]
            t0 = time.perf_counter()
            for w in work:
                fn(w)
            times[name].append((time.perf_counter() - t0) / batch)
            if name == "sort()":
                path = tfs._sort_info()["last_path"]
    return {**{k: statistics.median(v) for k, v in times.items()}, "path": path}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="sizes up to 1e6")
    parser.add_argument("--big", action="store_true", help="adds 1e8 for the six types")
    parser.add_argument("--skewed", action="store_true", help="the skewed families instead")
    parser.add_argument("--skewed-types", default=",".join(SKEWED_DTYPES), help="with --skewed: dtypes, comma-separated")
    parser.add_argument("--skewed-sizes", default=",".join(f"{n:.0e}" for n in SKEWED_SIZES),
                        help="with --skewed: sizes, comma-separated (1e6,1e7)")
    args = parser.parse_args()
    if args.skewed:
        sizes = [int(float(x)) for x in args.skewed_sizes.split(",")]
        return skewed_table(args.repeats, args.skewed_types.split(","), sizes)
    sizes = [n for n in SIZES if n <= 10**6] if args.quick else SIZES
    rng = np.random.default_rng(11)
    header("sort() benchmark", args.repeats)
    rows = []
    for name in DTYPES:
        dtype = np.dtype(name)
        own = sizes + ([10**8] if args.big and dtype.itemsize >= 4 and dtype.kind != "M" else [])
        for n in own:
            med = measure(data_of(dtype, n, rng), args.repeats if n < 10**8 else 3)
            rows.append((name, n, med))
            print(f"bench type={name} n={n} " + " ".join(f"{k}_ns={v / n * 1e9:.3f}" for k, v in med.items()
                                                          if k != "path") + f" path='{med['path']}'", flush=True)
    columns = ["sort(threads=1)", "sort()", "np.sort", "polars"]
    print()
    print("| type | n | " + " | ".join(columns) + " | fastest other / sort() | sort() path |")
    print("|---|---:|" + "---:|" * (len(columns) + 1) + "---|")
    for name, n, med in rows:
        cells = [f"{med[c] / n * 1e9:.2f}" if c in med else "" for c in columns]
        others = min(v for k, v in med.items() if k not in ("path",) and not k.startswith("sort"))
        print(f"| {name} | {n:.0e} | " + " | ".join(cells) + f" | {others / med['sort()']:.1f} | {med['path']} |")
    return 0


def skewed_table(repeats: int, dtypes: list[str], sizes: list[int]) -> int:
    rng = np.random.default_rng(13)
    columns = ["sort(threads=1)", "sort()", "np.sort", "polars"]
    header("sort() on skewed inputs", repeats)
    print()
    print("| family | type | n | " + " | ".join(columns) + " | sort(threads=1) / np.sort | sort() / np.sort | sort() path |")
    print("|---|---|---:|" + "---:|" * (len(columns) + 2) + "---|")
    for family in SKEWED:
        for name in dtypes:
            for n in sizes:
                med = measure(distribution(family, np.dtype(name), n, rng), repeats)
                cells = [f"{med[c] / n * 1e9:.2f}" if c in med else "" for c in columns]
                print(f"| {family} | {name} | {n:.0e} | " + " | ".join(cells) +
                      f" | {med['sort(threads=1)'] / med['np.sort']:.2f} | {med['sort()'] / med['np.sort']:.2f} "
                      f"| {med['path']} |",
                      flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
