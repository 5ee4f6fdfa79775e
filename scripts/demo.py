"""Demo: sorts ten million random elements of each of the six types, checks
every result, and compares the time with NumPy's np.sort."""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import tarvo_fastsort_numa as tfs  # noqa: E402
from reference import SORT_FUNCTIONS, reference_sorted, same_bits, uniform  # noqa: E402


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
        print(f"{dtype.name:<8}generating...", end="\r", flush=True)
        data = uniform(dtype, n, rng)
        ours = data.copy()
        print(f"{dtype.name:<8}sorting with {fname}...", end="\r", flush=True)
        t0 = time.perf_counter()
        getattr(tfs, fname)(ours)
        t_ours = time.perf_counter() - t0
        theirs = data.copy()
        print(f"{dtype.name:<8}sorting with np.sort...        ", end="\r", flush=True)
        t0 = time.perf_counter()
        theirs.sort()
        t_np = time.perf_counter() - t0
        print(f"{dtype.name:<8}checking...                    ", end="\r", flush=True)
        ok = same_bits(ours, reference_sorted(data))
        failures += not ok
        print(f"{dtype.name:<8}{t_ours * 1e3:>10.1f}ms{t_np * 1e3:>10.1f}ms{t_ours / t_np:>9.2f}  "
              f"{'ok' if ok else 'WRONG'}          ")
    print()
    print("all results correct" if not failures else f"{failures} type(s) sorted WRONG")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
