"""The six functions: results bit for bit, the arrays they take, every error."""

import os
import sys

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import (NOT_CONVERTIBLE, NOT_WRITEABLE, assert_same_bits, run_python,
                      distribution, reference, values)

# Under 2 elements nothing is checked; the rest straddle the engine's cut-offs.
SIZES = [0, 1, 2, 3, 129, 200, 257, 350, 900, 7001, 65537, 100_000, 300_001]
DISTRIBUTIONS = ["bits", "uniform", "sorted", "reversed", "two_halves", "distinct4",
                 "small_range", "nan_zeros", "random_width", "nearly_sorted"]


@pytest.mark.parametrize("dist", DISTRIBUTIONS)
def test_against_the_reference(fn, dist):
    rng, item = np.random.default_rng(len(dist)), fn.dtype.itemsize
    for n in SIZES:
        a = values(fn.dtype, n, rng) if dist == "bits" or n < 2 else distribution(dist, fn.dtype, n, rng)
        # The slice lies between guard bytes, unaligned by n % item bytes
        # (unaligned slices are sorted in an aligned copy).
        raw = np.full((n + 4) * item, 0x5A, np.uint8)
        start = 2 * item + n % item
        target = raw[start:start + n * item].view(fn.dtype)
        target[:] = a
        assert fn.sort(target) is None
        assert_same_bits(target, reference(a, nan_last=False))
        assert (raw[:start] == 0x5A).all() and (raw[start + n * item:] == 0x5A).all()


def test_accepted_arrays(fn):
    # Fewer than two elements: any stride.
    base = np.array([9, 8, 7, 6], fn.dtype)
    for view in (base[::-1][:1], base[::2][:1], base[::-1][:0], base[:0]):
        fn.sort(view)
    assert base.tolist() == [9, 8, 7, 6]
    # A subclass, and NumPy's other name of the same type.
    other = {"i8": np.longlong, "u8": np.ulonglong, "i4": np.intc, "u4": np.uintc,
             "f8": np.double, "f4": np.single}[fn.dtype.str[1:]]
    for a in (base.view(type("Sub", (np.ndarray,), {})), np.arange(30, 0, -1).astype(other)):
        fn.sort(arr=a)
        assert a.tolist() == sorted(a.tolist()) and a.dtype.type in (fn.dtype.type, other)


class Nameless(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


def read_only(a):
    a.flags.writeable = False
    return a


# (a call of f with arguments made from a writeable array a, error, message).
ERRORS = [
    (lambda f, a: f(a, a), TypeError, "{}() takes 1 positional arguments but 2 were given"),
    (lambda f, a: f(a, array=a), TypeError, "{}() got an unexpected keyword argument 'array'"),
    (lambda f, a: f(**{"é": a}), TypeError, "{}() got an unexpected keyword argument 'é'"),
    (lambda f, a: f(a, arr=a), TypeError, "{}() got multiple values for argument 'arr'"),
    (lambda f, a: f(), TypeError, "{}() missing 1 required positional argument: 'arr'"),
    (lambda f, a: f([3, 1]), TypeError, NOT_CONVERTIBLE.format("list")),
    (lambda f, a: f(a.reshape(4, 5)), TypeError, NOT_CONVERTIBLE.format("ndarray")),
    (lambda f, a: f(a[0, ...]), TypeError, NOT_CONVERTIBLE.format("ndarray")),
    (lambda f, a: f(a.view(("u" if a.dtype.kind == "i" else "i") + str(a.itemsize))), TypeError,
     NOT_CONVERTIBLE.format("ndarray")),
    (lambda f, a: f(a.view(a.dtype.newbyteorder())), TypeError, NOT_CONVERTIBLE.format("ndarray")),
    (lambda f, a: f(np.ma.masked_array(a)), TypeError, NOT_CONVERTIBLE.format("MaskedArray")),
    (lambda f, a: f(Nameless("X", (), {})()), TypeError,
     NOT_CONVERTIBLE.format("<failed to extract type name>")),
    (lambda f, a: f(read_only(a[:])), tfs.PanicException, NOT_WRITEABLE),
    (lambda f, a: f(np.broadcast_to(a[:1], (5,))), tfs.PanicException, NOT_WRITEABLE),
] + [(lambda f, a, view=view: f(view(a)), ValueError, "array must be C-contiguous") for view in [
    lambda a: a[::-1],
    lambda a: a[:2][::-1],
    lambda a: a[::2],
    lambda a: a.reshape(5, 4)[:, 0],
    lambda a: np.lib.stride_tricks.as_strided(a, shape=(2,), strides=(a.itemsize + 1,)),
    lambda a: np.lib.stride_tricks.as_strided(a, shape=(4,), strides=(0,)),
]]


def test_tuple_calls():
    """Interpreters before 3.10 call in the tuple-and-dictionary convention:
    forced, every function's error table passes under it."""
    result = run_python(f"""
        import sys, pytest, tarvo_fastsort_numa as tfs
        assert tfs._sort_info()["calls"] == "tuple"
        sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "-k", "errors", {os.path.dirname(__file__)!r}]))
    """, env={"TARVO_FASTSORT_CALLS": "tuple"})
    assert result.returncode == 0, result.stdout[-3000:]
    assert tfs._sort_info()["calls"] == ("vector" if sys.version_info >= (3, 10) else "tuple")


@pytest.mark.parametrize("call, error, message", ERRORS)
def test_errors_leave_the_array_untouched(fn, call, error, message):
    a = values(fn.dtype, 20, np.random.default_rng(1))
    before = a.copy()
    with pytest.raises(error) as raised:
        call(fn.sort, a)
    assert str(raised.value) == message.format(fn.name)
    assert raised.value.__context__ is None
    assert_same_bits(a, before)
    # No borrow is left behind: the whole array sorts.
    fn.sort(a)
    assert_same_bits(a, reference(before, nan_last=False))
