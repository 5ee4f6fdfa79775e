"""The shared borrow registry through its capsule, and the sorts it refuses."""

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import ALREADY_BORROWED, BORROW_API_NAME, CORE, NOT_WRITEABLE, run_python

OK, BORROWED, READ_ONLY = 0, -1, -2


def test_shared_borrows_count(borrow_api):
    assert borrow_api.record.version == 1
    a, read_only = np.zeros(8, np.uint32), np.broadcast_to(np.int32(1), (3,))
    assert [borrow_api.acquire(v) for v in (a, a, a[2:4], read_only)] == [OK] * 4
    for view in (a, a, a[2:4]):
        assert borrow_api.acquire_mut(a[3:5]) == BORROWED
        borrow_api.release(view)
    assert [borrow_api.acquire_mut(a), borrow_api.acquire_mut(read_only)] == [OK, READ_ONLY]
    borrow_api.release_mut(a)
    borrow_api.release(read_only)


a = np.zeros(64, np.int64)
raw = bytearray(128)
c, d = np.frombuffer(raw, np.uint64), np.frombuffer(memoryview(raw), np.uint64)
# Pairs of views and whether they share a byte.
VIEWS = [
    (a[::2], a[1::2], False),  # interleaved, no shared element
    (a[::2], a[2::2], True),
    (a[:32], a[32:], False),  # adjacent ranges
    (a[:33], a[32:], True),
    (a[::3], a[1::2], True),  # some elements shared
    (a[::4], a[2::4], False),
    (a[::-1], a[:1], True),
    (a[10:10], a[20:30], False),  # empty range outside the other
    (a.reshape(8, 8)[:, 0], a.reshape(8, 8)[:, 1], False),
    (a.reshape(8, 8)[:, 0], a.reshape(8, 8)[1], True),
    # Elements that share bytes without starting at the same byte.
    (a[::2], a.view(np.int32)[1::4], True),
    (a[::2], a.view(np.int32)[2::4], False),
    (a[::2], a.view(np.int32)[3::4], False),
    (a, a.view(np.uint8)[3:4], True),
    (a[0, ...], a[:1], True),  # zero-dimensional view of an element
    (a[0, ...], a[1:2], False),
    # The same bytes through two owner objects.
    (c[::2], d[3:5], True),
    (c[::2], d[1::2], False),
    (c, np.asarray(memoryview(d))[2:4], True),
]


@pytest.mark.parametrize("first, second, conflict", VIEWS)
def test_views(borrow_api, first, second, conflict):
    expected = BORROWED if conflict else OK
    for held, other in ((first, second), (second, first)):
        assert borrow_api.acquire_mut(held) == OK
        for acquire, release in [(borrow_api.acquire_mut, borrow_api.release_mut),
                                 (borrow_api.acquire, borrow_api.release)]:
            assert acquire(other) == expected
            if not conflict:
                release(other)
        borrow_api.release_mut(held)


def test_borrows_refuse_every_sort(borrow_api, fn):
    a = np.arange(50, 0, -1).astype(fn.dtype)
    for held, kind in ((a, ""), (a[40:], "_mut"), (a[::-1][:3], ""), (a[::2], "_mut")):
        assert getattr(borrow_api, "acquire" + kind)(held) == OK
        with pytest.raises(tfs.PanicException) as raised:
            fn.sort(a[1:])
        getattr(borrow_api, "release" + kind)(held)
        assert raised.value.args == (ALREADY_BORROWED,)
    assert a.tolist() == list(range(50, 0, -1))
    fn.sort(a)
    assert a.tolist() == list(range(1, 51))


def test_a_registry_published_by_another_module():
    """Another module's registry is used, an unusable one refused, its codes mapped."""
    result = run_python(f"""
        import ctypes, importlib
        import numpy as np
        import tarvo_fastsort_numa as tfs
        from conftest import ACQUIRE, RELEASE, Record

        multiarray = importlib.import_module("{CORE}.multiarray")
        calls, answer = [], [0]
        record = Record(0, 12345, *[kind(lambda _, a, name=name: calls.append((name, _, len(a))) or answer[0])
                                    for name, kind in [("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                                                       ("release", RELEASE), ("release_mut", RELEASE)]])
        new_capsule = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_char_p,
                                        ctypes.c_void_p)(("PyCapsule_New", ctypes.pythonapi))
        capsule = new_capsule(ctypes.addressof(record), b"{BORROW_API_NAME}", None)
        for published, record.version, answer[0] in [(42, 0, 0), (capsule, 0, 0), (capsule, 1, 0),
                                                     (capsule, 1, -1), (capsule, 1, -2), (capsule, 1, 7)]:
            setattr(multiarray, "{BORROW_API_NAME}", published)
            a = np.array([3, 1, 2], np.int32)
            try:
                tfs.numa_sort_i32(a)
            except tfs.PanicException as error:
                print(error.args[0], end=" ")
            print(a.tolist(), calls)
            calls.clear()
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Interal borrow checking API error: ") and lines[0].endswith("[3, 1, 2] []")
    assert lines[1:] == [
        "Interal borrow checking API error: the borrow checking API has version 0, "
        "at least 1 is needed [3, 1, 2] []",
        "[1, 2, 3] [('acquire_mut', 12345, 3), ('release_mut', 12345, 3)]",
        f"{ALREADY_BORROWED} [3, 1, 2] [('acquire_mut', 12345, 3)]",
        f"{NOT_WRITEABLE} [3, 1, 2] [('acquire_mut', 12345, 3)]",
        "Unexpected return code 7 from borrow checking API [3, 1, 2] [('acquire_mut', 12345, 3)]"]
