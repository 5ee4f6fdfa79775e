"""Concurrency stress: twice as many Python threads as processors sort random
contiguous views of a few shared buffers of every element type at once.

Every sort either succeeds or is refused with PanicException AlreadyBorrowed.
Afterwards every buffer holds exactly its original multiset of bit patterns,
positions no successful sort covered are untouched, every view whose sort was
certainly the last one over its memory is sorted, and the borrow registry
holds nothing."""

import itertools
import os
import threading
from dataclasses import dataclass, field

import numpy as np

import tarvo_fastsort_numa as tfs
from conftest import ELEMENT_TYPES, PANIC_ALREADY_BORROWED, assert_same_bits, total_order_sorted

THREADS = 2 * len(os.sched_getaffinity(0))
ROUNDS = 50
BUFFER_LEN = 150_000
BUFFERS_PER_TYPE = 2
# Fixed segments of each buffer: views that never overlap each other.
SEGMENTS = 4
OK = 0


def buffer_values(etype, n, rng):
    """Random elements with duplicates and, for floats, every special class."""
    if etype.is_float:
        bits = rng.integers(0, np.iinfo(etype.bits).max, n, dtype=etype.bits, endpoint=True)
        values = bits.view(etype.dtype).copy()
        specials = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0], dtype=etype.dtype)
        values[::50] = np.resize(specials, len(values[::50]))
        return values
    info = np.iinfo(etype.dtype)
    values = rng.integers(info.min, info.max, n, dtype=etype.dtype, endpoint=True)
    values[::7] = rng.integers(-3, 4, len(values[::7])).astype(etype.dtype)
    return values


@dataclass
class SharedBuffer:
    etype: object
    array: np.ndarray
    original: np.ndarray  # bit patterns before the run
    # (start, stop, first ticket, last ticket) of every successful sort.
    sorted_views: list = field(default_factory=list)


def pick_view(rng, n):
    """A random contiguous range: a fixed segment, any range, the whole buffer
    or a tiny one."""
    kind = rng.integers(0, 10)
    if kind < 4:
        k = int(rng.integers(0, SEGMENTS))
        return k * n // SEGMENTS, (k + 1) * n // SEGMENTS
    if kind < 8:
        a, b = sorted(int(x) for x in rng.integers(0, n + 1, 2))
        return a, b
    if kind == 8:
        return 0, n
    a = int(rng.integers(0, n - 2))
    return a, a + int(rng.integers(0, 3))


def overlap(a, b):
    return a[0] < b[1] and b[0] < a[1] and a[0] < a[1] and b[0] < b[1]


def test_threads_sort_shared_views(borrow_api):
    rng = np.random.default_rng(2024)
    buffers = []
    for etype in ELEMENT_TYPES:
        for _ in range(BUFFERS_PER_TYPE):
            values = buffer_values(etype, BUFFER_LEN, rng)
            buffers.append(SharedBuffer(etype, values, values.view(etype.bits).copy()))
    tickets = itertools.count()
    refused = []
    unexpected = []
    lock = threading.Lock()
    barrier = threading.Barrier(THREADS)

    def worker(seed):
        local = np.random.default_rng(seed)
        barrier.wait(timeout=30)
        for _ in range(ROUNDS):
            buf = buffers[int(local.integers(0, len(buffers)))]
            start, stop = pick_view(local, BUFFER_LEN)
            view = buf.array[start:stop]
            first = next(tickets)
            try:
                buf.etype.sort(view)
            except tfs.PanicException as error:
                if error.args != (PANIC_ALREADY_BORROWED,):
                    unexpected.append(error)
                with lock:
                    refused.append((start, stop))
                continue
            except BaseException as error:  # noqa: BLE001
                unexpected.append(error)
                continue
            last = next(tickets)
            with lock:
                buf.sorted_views.append((start, stop, first, last))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert unexpected == []
    assert sum(len(b.sorted_views) for b in buffers) + len(refused) == THREADS * ROUNDS

    checked = 0
    for buf in buffers:
        bits = buf.array.view(buf.etype.bits)
        # The same multiset of bit patterns.
        assert_same_bits(np.sort(bits), np.sort(buf.original))
        # Untouched where no sort succeeded.
        covered = np.zeros(BUFFER_LEN, dtype=bool)
        for start, stop, _, _ in buf.sorted_views:
            covered[start:stop] = True
        assert_same_bits(bits[~covered], buf.original[~covered])
        # Sorted where the sort was certainly the last over its memory: every
        # other successful sort of overlapping memory ended before it began.
        for view in buf.sorted_views:
            start, stop, first, _ = view
            others = [v for v in buf.sorted_views if v is not view and overlap(v, view)]
            if all(last < first for _, _, _, last in others):
                assert_same_bits(buf.array[start:stop], total_order_sorted(buf.array[start:stop]))
                checked += 1
    assert checked > 0

    # Nothing is left in the registry: every whole buffer can be borrowed
    # exclusively.
    for buf in buffers:
        assert borrow_api.acquire_mut(buf.array) == OK
        borrow_api.release_mut(buf.array)
