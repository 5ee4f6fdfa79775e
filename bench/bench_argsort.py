"""Benchmark of argsort(): stable (and default kind) on one thread and on
every thread of the pool, against np.argsort (default kind and stable) and
polars Series.arg_sort (every thread), with sort() on the same array for the
ratio, in one process, interleaved, median of several runs. Uniform keys for
integers, standard normal for floats. Prints the CPU, one parsable line per
measurement, then a markdown table in ns per element.

    .venv/bin/python bench/bench_argsort.py [--quick] [--repeats 5] [--types uint32,float64] [--sizes 1e6,1e7]
    .venv/bin/python bench/bench_argsort.py --families zipf_1.2,distinct4 --types int64 --sizes 1e6
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
from bench_sort import BATCH_ELEMENTS, data_of  # noqa: E402
from reference import distribution  # noqa: E402

try:
    import polars as pl
except ImportError:  # the table then has no polars column
    pl = None

SIZES = [10**4, 10**5, 10**6, 10**7]
DTYPES = ["uint32", "int32", "uint64", "int64", "float32", "float64", "int16", "uint8", "float16", "datetime64[ns]"]
COLUMNS = ["argsort(threads=1)", "argsort()", "argsort(kind=None)", "np.argsort", "np.argsort(stable)", "polars",
           "sort()"]


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def contenders(data: np.ndarray):
    out = {
        "argsort(threads=1)": lambda a: tfs.argsort(a, kind="stable", threads=1),
        "argsort()": lambda a: tfs.argsort(a, kind="stable"),
        "argsort(kind=None)": tfs.argsort,
        "np.argsort": np.argsort,
        "np.argsort(stable)": lambda a: np.argsort(a, kind="stable"),
        "sort()": tfs.sort,  # sorts its own copy, so the copy is made per sample
    }
    if pl is not None and data.dtype.kind != "M" and data.dtype != np.float16:
        out["polars"] = lambda s: s.arg_sort()
    return out


def measure(data: np.ndarray, repeats: int) -> dict[str, float]:
    """Median seconds per call on `data`, for each contender."""
    fns = contenders(data)
    batch = max(1, BATCH_ELEMENTS // len(data))
    series = pl.Series(data) if "polars" in fns else None
    times: dict[str, list[float]] = {k: [] for k in fns}
    for _ in range(repeats):  # interleaved: one sample of each per round
        for name, fn in fns.items():
            if name == "sort()":
                work = [data.copy() for _ in range(batch)]
            else:
                work = [series if name == "polars" else data] * batch
            t0 = time.perf_counter()
            for w in work:
                fn(w)
            times[name].append((time.perf_counter() - t0) / batch)
    return {k: statistics.median(v) for k, v in times.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="sizes up to 1e6")
    parser.add_argument("--types", default=",".join(DTYPES), help="dtypes, comma-separated")
    parser.add_argument("--sizes", default=None, help="sizes, comma-separated (1e4,...,1e7)")
    parser.add_argument("--families", default="uniform",
                        help="input families of bench/reference.py, comma-separated (uniform: normal floats)")
    args = parser.parse_args()
    sizes = [int(float(x)) for x in args.sizes.split(",")] if args.sizes else SIZES
    if args.quick:
        sizes = [n for n in sizes if n <= 10**6]
    rng = np.random.default_rng(17)
    print(f"# argsort() benchmark: {cpu_name()}, {os.cpu_count()} CPUs, NumPy {np.__version__}, "
          f"polars {pl.__version__ if pl else 'absent'}, repeats {args.repeats}")
    rows = []
    for family in args.families.split(","):
        for name in args.types.split(","):
            for n in sizes:
                dtype = np.dtype(name)
                data = data_of(dtype, n, rng) if family == "uniform" else distribution(family, dtype, n, rng)
                med = measure(data, args.repeats)
                rows.append((family, name, n, med))
                print(f"bench family={family} type={name} n={n} " +
                      " ".join(f"{k}_ns={v / n * 1e9:.3f}" for k, v in med.items()), flush=True)
    print()
    print("| family | type | n | " + " | ".join(COLUMNS) +
          " | stable / sort() | np stable / stable | best other / stable |")
    print("|---|---|---:|" + "---:|" * (len(COLUMNS) + 3))
    for family, name, n, med in rows:
        cells = [f"{med[c] / n * 1e9:.2f}" if c in med else "" for c in COLUMNS]
        ours = med["argsort()"]
        others = min(v for k, v in med.items() if not k.startswith(("argsort", "sort")))
        print(f"| {family} | {name} | {n:.0e} | " + " | ".join(cells) +
              f" | {ours / med['sort()']:.2f} | {med['np.argsort(stable)'] / ours:.1f} | {others / ours:.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
