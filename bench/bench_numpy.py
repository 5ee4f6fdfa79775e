"""Benchmark: the six sort functions against np.sort (default kind) and
np.sort(kind="stable"), measured in one process, interleaved, median of
several runs. Prints one parsable line per measurement, then a markdown table
of ratios, and writes a PNG plot of throughput against size per type.

    .venv/bin/python bench/bench_numpy.py [--quick] [--repeats 5] [--out bench/results]
    .venv/bin/python bench/bench_numpy.py --small   # 1e1 to 1e5, per call
    .venv/bin/python bench/bench_numpy.py --skewed  # reference.SKEWED at 1e6, 1e7

With --small: uniform input from 10 to 1e5 elements, each function's time per
call (argument checks, borrow and lock release included) against sort() and
ndarray.sort, timed over batches of copies so that a sample lasts long enough.
"""
from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time
from pathlib import Path

# OpenBLAS's idle threads spin beside the sorts on a machine of few cores;
# nothing here multiplies matrices.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import tarvo_fastsort_numa as tfs  # noqa: E402
from reference import SKEWED, SORT_FUNCTIONS, distribution  # noqa: E402

SIZES = [10**3, 10**4, 10**5, 10**6, 10**7, 10**8]
SMALL_SIZES = [16, 100, 10**3, 10**4, 3 * 10**4, 10**5]
# Elements per timed sample in the small table: enough copies of a short
# array that the timer's own cost vanishes.
SMALL_BATCH_ELEMENTS = 2 * 10**5
SHAPE_SIZE = 10**7
SHAPES = ["sorted", "reversed", "two_halves", "distinct256"]
FLOAT_SHAPES = ["nan_zeros"]


def time_one(fn, data: np.ndarray) -> float:
    work = data.copy()
    t0 = time.perf_counter()
    fn(work)
    return time.perf_counter() - t0


def measure(dtype, dist: str, n: int, repeats: int, rng, stable: bool = True) -> dict[str, float]:
    data = distribution(dist, dtype, n, rng)
    ours = getattr(tfs, SORT_FUNCTIONS[np.dtype(dtype)])
    contenders = {"module": ours, "np.sort": lambda a: a.sort()}
    if stable:
        contenders["np.sort(stable)"] = lambda a: a.sort(kind="stable")
    times: dict[str, list[float]] = {k: [] for k in contenders}
    for _ in range(repeats):  # interleaved: one run of each per round
        for name, fn in contenders.items():
            times[name].append(time_one(fn, data))
    return {k: statistics.median(v) for k, v in times.items()}


def small_table(repeats: int) -> int:
    """Per-call times at small sizes: the six functions, sort() and ndarray.sort."""
    rng = np.random.default_rng(5)
    print(f"# small sizes: {platform.machine()}, {platform.processor() or 'cpu'}, NumPy {np.__version__}, "
          f"repeats {repeats}")
    print()
    print("| type | n | module us/call | sort() us/call | ndarray.sort us/call | module / ndarray.sort "
          "| module ns/elem |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for dtype in SORT_FUNCTIONS:
        for n in SMALL_SIZES:
            data = distribution("uniform", dtype, n, rng)
            contenders = {"module": getattr(tfs, SORT_FUNCTIONS[np.dtype(dtype)]), "sort()": tfs.sort,
                          "ndarray.sort": np.ndarray.sort}
            batch = max(1, SMALL_BATCH_ELEMENTS // n)
            times: dict[str, list[float]] = {k: [] for k in contenders}
            for _ in range(repeats):  # interleaved: one batch of each per round
                for name, fn in contenders.items():
                    work = [data.copy() for _ in range(batch)]
                    t0 = time.perf_counter()
                    for w in work:
                        fn(w)
                    times[name].append((time.perf_counter() - t0) / batch)
            med = {k: statistics.median(v) for k, v in times.items()}
            label = str(n) if n < 1000 else f"{n:.0e}"
            print(f"| {np.dtype(dtype).name} | {label} | {med['module'] * 1e6:.3f} | {med['sort()'] * 1e6:.3f} "
                  f"| {med['ndarray.sort'] * 1e6:.3f} | {med['module'] / med['ndarray.sort']:.2f} "
                  f"| {med['module'] / n * 1e9:.2f} |", flush=True)
    return 0


def skewed_table(repeats: int) -> int:
    """The six functions on the skewed families, against np.sort."""
    rng = np.random.default_rng(11)
    print(f"# skewed: {platform.machine()}, {platform.processor() or 'cpu'}, NumPy {np.__version__}, "
          f"repeats {repeats}")
    print()
    print("| family | type | n | module ns/elem | np.sort ns/elem | module / np.sort |")
    print("|---|---|---:|---:|---:|---:|")
    for dist in SKEWED:
        for dtype in SORT_FUNCTIONS:
            for n in (10**6, 10**7):
                med = measure(dtype, dist, n, repeats, rng, stable=False)
                print(f"| {dist} | {np.dtype(dtype).name} | {n:.0e} | {med['module'] / n * 1e9:.2f} "
                      f"| {med['np.sort'] / n * 1e9:.2f} | {med['module'] / med['np.sort']:.2f} |", flush=True)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="sizes up to 1e6 and shapes at 1e6")
    parser.add_argument("--max-size", type=float, default=1e8)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--small", action="store_true", help="per-call times from 1e1 to 1e5 instead")
    parser.add_argument("--skewed", action="store_true", help="the skewed families at 1e6 and 1e7 instead")
    args = parser.parse_args()
    if args.small:
        return small_table(args.repeats)
    if args.skewed:
        return skewed_table(args.repeats)

    sizes = [n for n in SIZES if n <= args.max_size]
    shape_size = SHAPE_SIZE
    if args.quick:
        sizes = [n for n in sizes if n <= 10**6]
        shape_size = 10**6
    rng = np.random.default_rng(7)
    rows = []
    print(f"# machine: {platform.machine()}, {platform.processor() or 'cpu'}, "
          f"NumPy {np.__version__}, topology {tfs.detect_topology()!r}, repeats {args.repeats}")
    for dtype in SORT_FUNCTIONS:
        cases = [("uniform", n) for n in sizes] + [(s, shape_size) for s in SHAPES]
        if np.dtype(dtype).kind == "f":
            cases += [(s, shape_size) for s in FLOAT_SHAPES]
        for dist, n in cases:
            repeats = args.repeats if n < 10**8 else max(3, args.repeats // 2)
            med = measure(dtype, dist, n, repeats, rng)
            row = {"type": np.dtype(dtype).name, "dist": dist, "n": n, **med}
            rows.append(row)
            print(f"bench type={row['type']} dist={dist} n={n} "
                  + " ".join(f"{k}_ns={v / n * 1e9:.3f}" for k, v in med.items()), flush=True)

    print()
    print("| type | input | n | module ns/elem | np.sort ns/elem | module / np.sort | np.sort(stable) ns/elem | module / stable |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        n = r["n"]
        print(f"| {r['type']} | {r['dist']} | {n:.0e} | {r['module'] / n * 1e9:.2f} | {r['np.sort'] / n * 1e9:.2f} "
              f"| {r['module'] / r['np.sort']:.2f} | {r['np.sort(stable)'] / n * 1e9:.2f} "
              f"| {r['module'] / r['np.sort(stable)']:.2f} |")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    types = list(dict.fromkeys(r["type"] for r in rows))
    fig, axes = plt.subplots(2, 3, figsize=(15, 8), sharex=True)
    for ax, t in zip(axes.flat, types):
        uni = [r for r in rows if r["type"] == t and r["dist"] == "uniform"]
        xs = [r["n"] for r in uni]
        for key in ("module", "np.sort", "np.sort(stable)"):
            ax.plot(xs, [r["n"] / r[key] / 1e6 for r in uni], marker="o", label=key)
        ax.set_xscale("log")
        ax.set_title(t)
        ax.set_ylabel("million elements / s")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle("Uniform random input: throughput against size")
    fig.tight_layout()
    path = args.out / "throughput.png"
    fig.savefig(path, dpi=100)
    print(f"plot written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
