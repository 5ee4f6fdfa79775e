"""Sorts from several Python threads: independent arrays, disjoint halves,
overlapping views, other Python threads running meanwhile, and other threads
writing into the array being sorted."""

import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import (ELEMENT_TYPES, PANIC_ALREADY_BORROWED, assert_same_bits, run_python,
                      total_order_sorted)


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


# Runs in a fresh interpreter, so that a crash or a hang fails the test
# instead of the suite. {writer} is filled in per test.
WRITER_SCRIPT = """
import threading
import numpy as np
import tarvo_fastsort_numa as tfs
from conftest import ELEMENT_TYPES, assert_same_bits, total_order_sorted

N, ROUNDS, WRITER = 1_000_000, 20, "{writer}"

def order_keys(a):
    # Integers compare as they are; floats by their IEEE 754 total-order key.
    if a.dtype.kind != "f":
        return a
    bits = a.view(f"u{{a.dtype.itemsize}}")
    sign = bits.dtype.type(1) << bits.dtype.type(8 * a.dtype.itemsize - 1)
    return np.where(bits & sign != 0, ~bits, bits | sign)

failures = 0
for etype in ELEMENT_TYPES:
    rng = np.random.default_rng(7)
    original = rng.integers(0, 2**64, N, dtype=np.uint64, endpoint=False)
    original = original.astype(etype.bits).view(etype.dtype)
    other = rng.integers(0, 2**64, N, dtype=np.uint64).astype(etype.bits).view(etype.dtype)
    positions = rng.integers(0, N, 4096)
    a = original.copy()
    for round in range(ROUNDS):
        a[:] = original
        stop = threading.Event()

        def copy_loop():
            while not stop.is_set():
                np.copyto(a, other)

        def element_loop():
            i = 0
            while not stop.is_set():
                a[positions[i]] = other[i]
                i = (i + 1) % len(positions)

        writer = threading.Thread(target=copy_loop if WRITER == "copyto" else element_loop)
        writer.start()
        try:
            etype.sort(a)
        except tfs.PanicException:
            failures += 1
        stop.set()
        writer.join()
        # No writer now: the same array sorts correctly.
        etype.sort(a)
        keys = order_keys(a)
        assert np.all(keys[:-1] <= keys[1:]), (etype.suffix, round)
    a[:] = original
    etype.sort(a)
    assert_same_bits(a, total_order_sorted(original))
print(f"{{failures}} of {{ROUNDS * len(ELEMENT_TYPES)}} sorts ended in PanicException")
"""


@pytest.mark.parametrize("writer", ["copyto", "element"])
def test_sorts_survive_a_writer(writer):
    result = run_python(WRITER_SCRIPT.format(writer=writer), timeout=300,
                        env={"PYTHONPATH": os.pathsep.join(
                            [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")])})
    assert result.returncode == 0, result.stderr[-3000:]
    assert "sorts ended in PanicException" in result.stdout


def test_two_owners_of_the_same_bytes_from_two_threads():
    raw = bytearray(np.random.default_rng(3).integers(0, 2**63, 2_000_000, np.uint64).tobytes())
    before = np.sort(np.frombuffer(raw, np.uint64))
    views = [np.frombuffer(raw, np.uint64), np.frombuffer(memoryview(raw), np.uint64)]
    outcomes = []
    barrier = threading.Barrier(2)

    def run(view):
        barrier.wait(timeout=10)
        try:
            tfs.numa_sort_u64(view)
            outcomes.append("sorted")
        except tfs.PanicException as error:
            outcomes.append("refused" if error.args == (PANIC_ALREADY_BORROWED,) else repr(error))

    threads = [threading.Thread(target=run, args=(v,)) for v in views]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    # Mostly one refused; both sorted when one finished before the other began.
    assert sorted(outcomes) in (["refused", "sorted"], ["sorted", "sorted"])
    assert np.array_equal(views[1], before)
