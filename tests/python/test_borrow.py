"""The shared borrow registry, used through its capsule as another extension
module would use it, and its effect on the sort functions."""

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import (BORROW_API_NAME, PANIC_ALREADY_BORROWED, PANIC_NOT_WRITEABLE,
                      numpy_core_module, run_python)

OK, ALREADY_BORROWED, NOT_WRITEABLE = 0, -1, -2


def test_capsule_is_published(borrow_api):
    assert borrow_api.version == 1
    assert borrow_api.record.registry


def test_shared_borrow_blocks_a_sort(borrow_api):
    a = np.arange(100, 0, -1, dtype=np.int64)
    assert borrow_api.acquire(a) == OK
    try:
        with pytest.raises(tfs.PanicException) as info:
            tfs.numa_sort_i64(a)
        assert info.value.args == (PANIC_ALREADY_BORROWED,)
        assert a.tolist() == list(range(100, 0, -1))
        # A view that overlaps the borrowed memory is refused too.
        with pytest.raises(tfs.PanicException):
            tfs.numa_sort_i64(a[10:20])
    finally:
        borrow_api.release(a)
    tfs.numa_sort_i64(a)
    assert a.tolist() == list(range(1, 101))


def test_every_sort_function_respects_borrows(borrow_api, etype):
    a = np.arange(50, 0, -1).astype(etype.dtype)
    for held in (a, a[40:], a[::-1][:3]):
        assert borrow_api.acquire(held) == OK
        with pytest.raises(tfs.PanicException) as info:
            etype.sort(a)
        borrow_api.release(held)
        assert info.value.args == (PANIC_ALREADY_BORROWED,)
        assert a.tolist() == list(range(50, 0, -1))
    assert borrow_api.acquire(a[::2]) == OK
    with pytest.raises(tfs.PanicException):
        etype.sort(a[1:])
    borrow_api.release(a[::2])
    etype.sort(a)
    assert a.tolist() == list(range(1, 51))


def test_shared_borrows_count(borrow_api):
    a = np.zeros(8, np.uint32)
    assert borrow_api.acquire(a) == OK
    assert borrow_api.acquire(a) == OK
    assert borrow_api.acquire(a[2:4]) == OK
    assert borrow_api.acquire_mut(a[3:5]) == ALREADY_BORROWED
    borrow_api.release(a)
    assert borrow_api.acquire_mut(a) == ALREADY_BORROWED
    borrow_api.release(a)
    assert borrow_api.acquire_mut(a) == ALREADY_BORROWED
    borrow_api.release(a[2:4])
    assert borrow_api.acquire_mut(a) == OK
    assert borrow_api.acquire(a[1:2]) == ALREADY_BORROWED
    assert borrow_api.acquire(a) == ALREADY_BORROWED
    borrow_api.release_mut(a)
    assert borrow_api.acquire_mut(a) == OK
    borrow_api.release_mut(a)


def test_exclusive_borrow_blocks_a_sort(borrow_api):
    a = np.array([3.0, 1.0, 2.0])
    assert borrow_api.acquire_mut(a) == OK
    assert borrow_api.acquire_mut(a) == ALREADY_BORROWED
    with pytest.raises(tfs.PanicException) as info:
        tfs.numa_sort_f64(a)
    assert info.value.args == (PANIC_ALREADY_BORROWED,)
    assert a.tolist() == [3.0, 1.0, 2.0]
    borrow_api.release_mut(a)
    tfs.numa_sort_f64(a)
    assert a.tolist() == [1.0, 2.0, 3.0]


def test_read_only_gives_not_writeable(borrow_api):
    a = np.zeros(4, np.int32)
    a.flags.writeable = False
    assert borrow_api.acquire_mut(a) == NOT_WRITEABLE
    assert borrow_api.acquire_mut(np.broadcast_to(np.int32(1), (3,))) == NOT_WRITEABLE
    # Shared borrows do not need the flag.
    assert borrow_api.acquire(a) == OK
    borrow_api.release(a)


def test_views(borrow_api):
    a = np.zeros(64, np.int64)
    cases = [
        (a[::2], a[1::2], False),    # interleaved, no shared element
        (a[::2], a[2::2], True),
        (a[:32], a[32:], False),     # disjoint ranges
        (a[:33], a[32:], True),
        (a[::3], a[1::2], True),     # some elements shared
        (a[::4], a[2::4], False),
        (a[::-1], a[:1], True),
        (a[10:10], a[20:30], False),  # empty range outside the other
        (a.reshape(8, 8)[:, 0], a.reshape(8, 8)[:, 1], False),
        (a.reshape(8, 8)[:, 0], a.reshape(8, 8)[1], True),
        # Views that share bytes without their elements starting at the
        # same byte.
        (a[::2], a.view(np.int32)[1::4], True),
        (a[::2], a.view(np.int32)[2::4], False),
        (a, a.view(np.uint8)[3:4], True),
        (a[0, ...], a[:1], True),      # zero-dimensional view of an element
        (a[0, ...], a[1:2], False),
    ]
    for first, second, conflict in cases:
        expected = ALREADY_BORROWED if conflict else OK
        for held, other in ((first, second), (second, first)):
            assert borrow_api.acquire_mut(held) == OK
            assert borrow_api.acquire_mut(other) == expected, (held.strides, other.strides)
            if not conflict:
                borrow_api.release_mut(other)
            assert borrow_api.acquire(other) == expected
            if not conflict:
                borrow_api.release(other)
            borrow_api.release_mut(held)
        assert borrow_api.acquire_mut(a) == OK
        borrow_api.release_mut(a)


def test_owners_over_the_same_bytes_conflict(borrow_api):
    raw = bytearray(128)
    c = np.frombuffer(raw, np.uint64)
    d = np.frombuffer(memoryview(raw), np.uint64)  # another owner object, the same bytes
    a = np.zeros(16, np.uint64)
    assert borrow_api.acquire_mut(c[::2]) == OK
    assert borrow_api.acquire_mut(a) == OK
    assert borrow_api.acquire_mut(d[3:5]) == ALREADY_BORROWED
    assert borrow_api.acquire(d[4:6]) == ALREADY_BORROWED
    # Interleaved elements share no byte, whichever owner they come through.
    assert borrow_api.acquire_mut(d[1::2]) == OK
    borrow_api.release_mut(d[1::2])
    borrow_api.release_mut(c[::2])
    # A shared borrow through a third owner keeps exclusive ones away.
    e = np.asarray(memoryview(d))
    assert borrow_api.acquire(e[2:4]) == OK
    assert borrow_api.acquire_mut(c) == ALREADY_BORROWED
    borrow_api.release(e[2:4])
    assert borrow_api.acquire_mut(c) == OK
    for array in (a, c):
        borrow_api.release_mut(array)


@pytest.mark.parametrize("error", ["not_writeable", "borrowed", "not_contiguous", "wrong_type"])
def test_no_borrow_left_after_an_error(borrow_api, error):
    a = np.arange(10, 0, -1, dtype=np.uint64)
    if error == "not_writeable":
        a.flags.writeable = False
        with pytest.raises(tfs.PanicException, match="NotWriteable"):
            tfs.numa_sort_u64(a)
        a.flags.writeable = True
    elif error == "borrowed":
        assert borrow_api.acquire(a[5:]) == OK
        with pytest.raises(tfs.PanicException, match="AlreadyBorrowed"):
            tfs.numa_sort_u64(a)
        borrow_api.release(a[5:])
    elif error == "not_contiguous":
        with pytest.raises(ValueError):
            tfs.numa_sort_u64(a[::2])
    else:
        with pytest.raises(TypeError):
            tfs.numa_sort_i64(a)
    assert borrow_api.acquire_mut(a) == OK
    borrow_api.release_mut(a)
    tfs.numa_sort_u64(a)
    assert a.tolist() == list(range(1, 11))


def test_registry_installed_by_another_module():
    """A registry that another module published first is used, and an
    unusable one ends each sort in the lookup error until it is fixed."""
    result = run_python(f"""
        import ctypes, importlib
        import numpy as np
        import tarvo_fastsort_numa as tfs

        multiarray = importlib.import_module({numpy_core_module()!r} + ".multiarray")
        NAME = {BORROW_API_NAME!r}
        ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
        RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

        class Record(ctypes.Structure):
            _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                        ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                        ("release", RELEASE), ("release_mut", RELEASE)]

        calls = []
        answer = [0]
        def acquire(registry, array):
            calls.append(("acquire", registry, len(array)))
            return answer[0]
        def acquire_mut(registry, array):
            calls.append(("acquire_mut", registry, len(array)))
            return answer[0]
        def release(registry, array):
            calls.append(("release", registry, len(array)))
        def release_mut(registry, array):
            calls.append(("release_mut", registry, len(array)))
        callbacks = [ACQUIRE(acquire), ACQUIRE(acquire_mut), RELEASE(release),
                     RELEASE(release_mut)]

        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        name = ctypes.c_char_p(NAME.encode())

        def publish(version):
            record = Record(version, 12345, *callbacks)
            setattr(multiarray, NAME, new_capsule(ctypes.addressof(record), name, None))
            return record

        def attempt():
            a = np.array([3, 1, 2], np.int32)
            try:
                tfs.numa_sort_i32(a)
                print("sorted", a.tolist())
            except tfs.PanicException as error:
                print("panic", error.args[0], a.tolist())

        setattr(multiarray, NAME, 42)
        attempt()
        old = publish(0)
        attempt()
        record = publish(1)
        attempt()
        print(calls)
        for code in (-1, -2, 7):
            answer[0] = code
            attempt()
        print(calls[2:])
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("panic Interal borrow checking API error: ")
    assert lines[0].endswith("[3, 1, 2]")
    assert lines[1] == ("panic Interal borrow checking API error: the borrow checking API has "
                        "version 0, at least 1 is needed [3, 1, 2]")
    assert lines[2] == "sorted [1, 2, 3]"
    assert lines[3] == "[('acquire_mut', 12345, 3), ('release_mut', 12345, 3)]"
    assert lines[4] == f"panic {PANIC_ALREADY_BORROWED} [3, 1, 2]"
    assert lines[5] == f"panic {PANIC_NOT_WRITEABLE} [3, 1, 2]"
    assert lines[6] == "panic Unexpected return code 7 from borrow checking API [3, 1, 2]"
    assert lines[7] == str([("acquire_mut", 12345, 3)] * 3)
