"""Sorts from several threads, other threads during a sort, writers into it."""

import itertools
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import ALREADY_BORROWED, FUNCTIONS, assert_same_bits, reference, values

THREADS = 2 * len(os.sched_getaffinity(0))


def test_threads_sort_views_of_shared_buffers(borrow_api):
    """Sorts succeed or are refused; afterwards each buffer keeps its bits, untouched
    where no sort succeeded, sorted where one was certainly last over its memory."""
    rng, n, rounds = np.random.default_rng(2024), 150_000, 50
    # (sort, buffer, whether NaNs go last): the six functions and sort().
    jobs = [(f.sort, values(f.dtype, n, rng), False) for f in FUNCTIONS]
    jobs += [(tfs.sort, values(dtype, n, rng), True) for dtype in ("u2", "f8")]
    originals = [a.copy() for _, a, _ in jobs]
    done = [[] for _ in jobs]  # (start, stop, first ticket, last ticket) of each sort
    tickets, barrier, refusals = itertools.count(), threading.Barrier(THREADS), []

    def worker(seed):
        local = np.random.default_rng(seed)
        barrier.wait(timeout=30)
        for _ in range(rounds):
            k, segment, kind = (int(x) for x in local.integers(0, [len(jobs), 4, 3]))
            start, stop = [(segment * n // 4, (segment + 1) * n // 4), (0, n),
                           sorted(int(x) for x in local.integers(0, n + 1, 2))][kind]
            first = next(tickets)
            try:
                jobs[k][0](jobs[k][1][start:stop])
            except BaseException as error:  # noqa: BLE001
                refusals.append((type(error).__name__, str(error)))
                continue
            done[k].append((start, stop, first, next(tickets)))

    with ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(worker, range(THREADS)))
    assert set(refusals) <= {("PanicException", ALREADY_BORROWED),
                             ("BufferError", "sort array is already borrowed")}, refusals
    checked = 0
    for (_, a, nan_last), original, sorts in zip(jobs, originals, done):
        bits = f"u{a.itemsize}"
        assert_same_bits(np.sort(a.view(bits)), np.sort(original.view(bits)))
        covered = np.zeros(n, bool)
        for start, stop, _, _ in sorts:
            covered[start:stop] = True
        assert_same_bits(a[~covered], original[~covered])
        for start, stop, first, _ in sorts:
            if all(last < first or b <= start or stop <= s for s, b, f, last in sorts if f != first):
                assert_same_bits(a[start:stop], reference(a[start:stop], nan_last=nan_last))
                checked += 1
        assert borrow_api.acquire_mut(a) == 0
        borrow_api.release_mut(a)
    assert checked > 0


@pytest.mark.parametrize("sort", [tfs.numa_sort_u32, lambda a: tfs.sort(a, threads=2)],
                         ids=["numa_sort_u32", "sort"])
def test_other_threads_run_during_a_sort(sort):
    """Holding the lock, a sort would let this thread stamp times only next to its
    start and end (about a switch interval); released, they fill the middle too."""
    a, span, stamps = values("u4", 20_000_000, np.random.default_rng(5)), [], []
    interval, sys_interval = 0.001, sys.getswitchinterval()
    sys.setswitchinterval(interval)  # even a fast machine's sort lasts many intervals
    try:
        thread = threading.Thread(target=lambda: span.extend([time.perf_counter(), sort(a), time.perf_counter()]))
        thread.start()
        while thread.is_alive():
            stamps.append(time.perf_counter())
    finally:
        sys.setswitchinterval(sys_interval)
    start, _, end = span
    assert end - start > 8 * interval
    quarter = (end - start) / 4
    assert sum(start + quarter < t < end - quarter for t in stamps) > 100
    assert (a[:-1] <= a[1:]).all()


@pytest.mark.parametrize("fn", FUNCTIONS + [None, 1], ids=lambda f: f"sort{f or ''}" if f in (None, 1) else f.name)
def test_a_writer_during_the_sort(fn):
    """Beside a writer a sort returns or panics; once it stops, the array sorts.
    sort() on two threads partitions; on one, NaN-free floats by value."""
    own = fn in (None, 1)
    sort, dtype = (lambda a: tfs.sort(a, threads=fn or 2), "f8") if own else (fn.sort, fn.dtype)
    a, other = (values(dtype, 1_000_000, np.random.default_rng(seed)) for seed in (7, 8))
    if fn == 1:
        a[np.isnan(a)], other[np.isnan(other)] = -0.0, 0.0
    stop = threading.Event()

    def write():  # mostly single elements, now and then the whole array
        for i in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
            a[i * 7919 % len(a)] = other[i % len(a)]
            if i % 5000 == 0:
                np.copyto(a, other)

    thread = threading.Thread(target=write)
    thread.start()
    for _ in range(6):
        try:
            sort(a)
        except tfs.PanicException:
            pass
    stop.set()
    thread.join()
    expected = reference(a, nan_last=own)
    sort(a)
    assert_same_bits(a, expected)
