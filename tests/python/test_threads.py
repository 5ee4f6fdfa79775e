"""Sorts from several Python threads: independent arrays, disjoint halves,
overlapping views, and other Python threads running meanwhile."""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import ELEMENT_TYPES, PANIC_ALREADY_BORROWED, assert_same_bits, total_order_sorted


def random_array(etype, n, seed):
    rng = np.random.default_rng(seed)
    if etype.is_float:
        return rng.standard_normal(n).astype(etype.dtype)
    info = np.iinfo(etype.dtype)
    return rng.integers(info.min, info.max, n, dtype=etype.dtype, endpoint=True)


def test_different_arrays_at_once():
    jobs = [(etype, random_array(etype, 300_000, seed))
            for seed, etype in enumerate(ELEMENT_TYPES * 2)]
    expected = [total_order_sorted(a) for _, a in jobs]
    barrier = threading.Barrier(4)

    def run(job):
        etype, array = job
        try:
            barrier.wait(timeout=5)
        except threading.BrokenBarrierError:
            pass
        etype.sort(array)

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(run, jobs))
    for (_, actual), reference in zip(jobs, expected):
        assert_same_bits(actual, reference)


@pytest.mark.parametrize("etype", ELEMENT_TYPES, ids=str)
def test_disjoint_halves_both_succeed(etype):
    a = random_array(etype, 1_000_001, 7)
    n = 400_000
    expected_low = total_order_sorted(a[:n])
    expected_high = total_order_sorted(a[n:])
    barrier = threading.Barrier(2)
    errors = []

    def run(view):
        barrier.wait(timeout=10)
        try:
            etype.sort(view)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=run, args=(v,)) for v in (a[:n], a[n:])]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert errors == []
    assert_same_bits(a[:n], expected_low)
    assert_same_bits(a[n:], expected_high)


def test_overlapping_sorts_are_refused_or_serialised():
    etype = ELEMENT_TYPES[0]
    a = random_array(etype, 4_000_000, 11)
    expected = total_order_sorted(a)
    outcomes = []
    started = threading.Event()

    def sort_whole():
        started.set()
        etype.sort(a)

    def sort_views():
        started.wait(timeout=10)
        for start in range(0, 100, 10):
            try:
                etype.sort(a[start:start + 500_000])
                outcomes.append("sorted")
            except tfs.PanicException as error:
                assert error.args == (PANIC_ALREADY_BORROWED,)
                outcomes.append("refused")

    threads = [threading.Thread(target=sort_whole), threading.Thread(target=sort_views)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert len(outcomes) == 10
    # Whatever the interleaving, the whole sort ran on memory that no other
    # sort was writing: sorting a sorted range changes nothing after it, and
    # the whole sort fixes anything sorted before it.
    assert_same_bits(a, expected)


def test_python_threads_run_during_a_sort():
    a = random_array(ELEMENT_TYPES[3], 16_000_000, 5)
    state = {"phase": "before", "ticks": 0}

    def sorter():
        state["phase"] = "sorting"
        tfs.numa_sort_u32(a)
        state["phase"] = "after"

    thread = threading.Thread(target=sorter)
    thread.start()
    while state["phase"] == "before":
        pass
    # Counts while the sort runs: only possible if the sort gave up the lock.
    while state["phase"] == "sorting":
        state["ticks"] += 1
    thread.join()
    assert state["ticks"] > 0
    assert (a[:-1] <= a[1:]).all()
