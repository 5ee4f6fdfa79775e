"""Times tarvo_fastsort_numa_dask.sort on a dask.distributed LocalCluster.

For each case: the input is generated and persisted on the workers, then
timed, each to a persisted result: tarvo_fastsort_numa_dask.sort(x), the
rechunk-to-one-block route x.rechunk(-1).map_blocks(np.sort), and one
in-memory sort() of the computed array in this process. Reports the peak
resident memory of each worker during the Dask sort against its share of the
data.

    python bench/bench_dask.py [--n 2e8] [--block 1e7] [--workers 2] [--repeats 3]
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np


def _reset_peak(pid: int) -> None:
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def _peak_bytes(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _generate(block: np.ndarray, kind: str, block_id=None) -> np.ndarray:
    rng = np.random.default_rng(block_id[0] if block_id else 0)
    if kind == "u64":
        return rng.integers(0, 2**64 - 1, len(block), dtype=np.uint64, endpoint=True)
    return rng.standard_normal(len(block))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=float, default=2e8)
    parser.add_argument("--block", type=float, default=1e7)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cases", default="u64,f64")
    parser.add_argument("--skip-rechunk", action="store_true")
    args = parser.parse_args()

    import dask.array as da
    from distributed import Client, LocalCluster, wait

    import tarvo_fastsort_numa as tfs
    import tarvo_fastsort_numa_dask as tfs_dask

    n, block = int(args.n), int(args.block)
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           memory_limit=0, dashboard_address=None)
    client = Client(cluster)
    pids = list(client.run(os.getpid).values())
    print(f"n={n:.0e} block={block:.0e} workers={args.workers}, seconds (median of {args.repeats})")
    print("| case | tfs_dask.sort | rechunk + np.sort | in-memory sort() | dask / in-memory | peak worker RSS / share |")
    print("|---|---|---|---|---|---|")
    for kind in args.cases.split(","):
        dtype = np.uint64 if kind == "u64" else np.float64
        x = da.empty(n, dtype=dtype, chunks=block).map_blocks(_generate, kind, dtype=dtype)
        x = x.persist()
        wait(x)
        share = n * np.dtype(dtype).itemsize / args.workers

        def timed(build) -> float:
            start = time.perf_counter()
            y = build().persist()
            wait(y)
            elapsed = time.perf_counter() - start
            del y
            return elapsed

        dask_times, peaks = [], []
        for _ in range(args.repeats):
            for pid in pids:
                _reset_peak(pid)
            dask_times.append(timed(lambda: tfs_dask.sort(x)))
            peaks.append(max(_peak_bytes(pid) for pid in pids))
        rechunk = float("nan")
        if not args.skip_rechunk:
            rechunk = timed(lambda: x.rechunk(-1).map_blocks(np.sort, dtype=dtype))
        data = x.compute()
        memory_times = []
        for _ in range(args.repeats):
            copy = data.copy()
            start = time.perf_counter()
            tfs.sort(copy)
            memory_times.append(time.perf_counter() - start)
        del data, copy
        d, m = float(np.median(dask_times)), float(np.median(memory_times))
        print(f"| {kind} | {d:.2f} | {rechunk:.2f} | {m:.2f} | {d / m:.2f} | {max(peaks) / share:.2f} |", flush=True)
        del x
    client.close()
    cluster.close()


if __name__ == "__main__":
    main()
