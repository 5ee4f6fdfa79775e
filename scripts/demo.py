"""Demo: sorts ten million random elements of each of the six types, checks
every result, and compares the time with NumPy's np.sort; then the same with
sort() on one thread and on all of them, for more dtypes and a 2-D array."""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import tarvo_fastsort_numa as tfs  # noqa: E402
from reference import SORT_FUNCTIONS, numpy_order_sorted, reference_sorted, same_bits, uniform  # noqa: E402

# Passing status lines, each overwritten by the next, only on a terminal: in
# a log the carriage returns would pile them up on one line.
LIVE = sys.stdout.isatty()
STATUS_WIDTH = 48

SORT_DTYPES = [np.uint32, np.int32, np.uint64, np.int64, np.float32, np.float64, np.int16, np.float16,
               "datetime64[ns]"]


def status(label: str, what: str) -> None:
    if LIVE:
        print(f"{label:<8}{what}".ljust(STATUS_WIDTH), end="\r", flush=True)


def result(line: str) -> None:
    print(line.ljust(STATUS_WIDTH) if LIVE else line, flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-n", type=float, default=1e7, help="elements per type (default 1e7)")
    args = parser.parse_args()
    n = int(args.n)
    rng = np.random.default_rng(2026)

    print(f"tarvo_fastsort_numa demo: {n:,} random elements per type, NumPy {np.__version__}")
    print(f"detect_topology() = {tfs.detect_topology()!r}")
    print()
    print(f"{'type':<8}{'module':>12}{'np.sort':>12}{'ratio':>9}  check")
    failures = 0
    for dtype, fname in SORT_FUNCTIONS.items():
        status(dtype.name, "generating...")
        data = uniform(dtype, n, rng)
        ours = data.copy()
        status(dtype.name, f"sorting with {fname}...")
        t0 = time.perf_counter()
        getattr(tfs, fname)(ours)
        t_ours = time.perf_counter() - t0
        theirs = data.copy()
        status(dtype.name, "sorting with np.sort...")
        t0 = time.perf_counter()
        theirs.sort()
        t_np = time.perf_counter() - t0
        status(dtype.name, "checking...")
        ok = same_bits(ours, reference_sorted(data))
        failures += not ok
        result(f"{dtype.name:<8}{t_ours * 1e3:>10.1f}ms{t_np * 1e3:>10.1f}ms{t_ours / t_np:>9.2f}  "
               f"{'ok' if ok else 'WRONG'}")
    print()
    failures += demo_general_sort(n, rng)
    print()
    print("all results correct" if not failures else f"{failures} type(s) sorted WRONG")
    return 1 if failures else 0


def timed(fn, data: np.ndarray) -> tuple[float, np.ndarray]:
    work = data.copy()
    t0 = time.perf_counter()
    fn(work)
    return time.perf_counter() - t0, work


def demo_general_sort(n: int, rng: np.random.Generator) -> int:
    """sort() on one thread and on every thread against np.sort; returns the
    number of wrong results."""
    print(f"sort(): NumPy's order for every dtype, on 1 thread and on all of them")
    print(f"{'type':<16}{'1 thread':>12}{'all':>12}{'np.sort':>12}  check")
    failures = 0
    for name in SORT_DTYPES:
        dtype = np.dtype(name)
        if dtype.kind == "M":
            data = rng.integers(0, 2**62, n).astype(dtype)
            data[::1000] = np.datetime64("NaT", "ns")
        elif dtype.kind == "f":
            data = uniform(dtype, n, rng) if dtype.itemsize >= 4 else rng.standard_normal(n).astype(dtype)
            data[::1000] = np.nan
        else:
            data = rng.integers(np.iinfo(dtype).min, np.iinfo(dtype).max, n, dtype=dtype, endpoint=True)
        t1, one = timed(lambda a: tfs.sort(a, threads=1), data)
        t_all, every = timed(tfs.sort, data)
        t_np, _ = timed(np.ndarray.sort, data)
        expected = numpy_order_sorted(data)
        ok = same_bits(one, expected) and same_bits(every, expected)
        failures += not ok
        result(f"{dtype.name:<16}{t1 * 1e3:>10.1f}ms{t_all * 1e3:>10.1f}ms{t_np * 1e3:>10.1f}ms  "
               f"{'ok' if ok else 'WRONG'}")
    table = rng.standard_normal((1000, n // 1000)).astype(np.float32)
    t_axis, rows = timed(lambda a: tfs.sort(a, axis=0), table)
    ok = np.array_equal(rows, np.sort(table, axis=0))
    failures += not ok
    result(f"{'2-D, axis=0':<16}{'':>12}{t_axis * 1e3:>10.1f}ms{'':>12}  {'ok' if ok else 'WRONG'}")
    floats = rng.standard_normal(n)
    floats[::1000] = np.nan
    t0 = time.perf_counter()
    order = tfs.argsort(floats, kind="stable")
    t_arg = time.perf_counter() - t0
    t0 = time.perf_counter()
    expected_order = np.argsort(floats, kind="stable")
    t_np_arg = time.perf_counter() - t0
    ok = np.array_equal(order, expected_order)
    failures += not ok
    result(f"{'argsort f64':<16}{'':>12}{t_arg * 1e3:>10.1f}ms{t_np_arg * 1e3:>10.1f}ms  {'ok' if ok else 'WRONG'}"
           "  (stable; against np.argsort(kind='stable'))")
    return failures


if __name__ == "__main__":
    sys.exit(main())
