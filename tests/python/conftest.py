"""The six functions, values, reference orders, fresh interpreters, the capsule."""

import ctypes
import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import NamedTuple

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from reference import SKEWED, distribution  # noqa: E402,F401

NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_CONVERTIBLE = "argument 'arr': '{}' object cannot be converted to 'PyArray<T, D>'"
BORROW_API_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
CORE = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"


Function = NamedTuple("Function", [("name", str), ("sort", object), ("dtype", np.dtype)])
FUNCTIONS = [Function(f"numa_sort_{s}", getattr(tfs, f"numa_sort_{s}"), np.dtype(f"{s[0]}{int(s[1:]) // 8}"))
             for s in ("i64", "u64", "i32", "u32", "f64", "f32")]


@pytest.fixture(params=FUNCTIONS, ids=lambda f: f.name[10:])
def fn(request):
    return request.param


def values(dtype, n, rng):
    """Random values of every kind the dtype has, specials included."""
    dtype = np.dtype(dtype)
    bits = rng.integers(0, 256, n * dtype.itemsize, dtype=np.uint8).view(f"u{dtype.itemsize}")
    if dtype.kind == "b":
        return (bits & 1).astype(bool)
    if dtype.kind == "f":
        # Random bit patterns (NaNs with payloads, subnormals), normal values, specials.
        a = bits.view(dtype).copy()
        a[::3] = rng.standard_normal(len(a[::3])).astype(dtype)
        specials = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0], dtype)
        a[::5] = specials[rng.integers(0, len(specials), len(a[::5]))]
        return a
    if dtype.kind in "Mm":
        a = bits.view(np.int64).copy()
        a[::7] = np.iinfo(np.int64).min  # NaT
        return a.view(dtype)
    return bits.view(dtype).copy()


def sparse_specials(dtype, n, rng):
    """Floats that sort as numbers mostly (too few repeats to take the path
    of repeated keys), one in 61 a special: NaNs of either sign with
    payloads, zeros of either sign, infinities. Other dtypes: values()."""
    dtype = np.dtype(dtype)
    if dtype.kind != "f":
        return values(dtype, n, rng)
    a = rng.standard_normal(n).astype(dtype)
    a[::61] = values(dtype, 5 * len(a[::61]), rng)[::5]
    nans = np.isnan(a)
    a.view(f"u{dtype.itemsize}")[nans] |= rng.integers(0, 1 << 16, nans.sum()).astype(f"u{dtype.itemsize}")
    return a


def reference(a, axis=-1, nan_last=True):
    """Ascending, every bit pattern kept, -0.0 before +0.0, NaNs in IEEE 754
    total order among themselves; NaN and NaT last (sort()), or with
    nan_last=False negative NaNs first (the six functions)."""
    if a.dtype.kind in "biu":
        return np.sort(a, axis=axis, kind="stable")
    bits = a.view(f"u{a.dtype.itemsize}")
    sign = bits.dtype.type(1) << bits.dtype.type(8 * a.dtype.itemsize - 1)
    if a.dtype.kind in "Mm":
        keys, last = bits ^ sign, bits == sign
    else:
        keys, last = np.where(bits & sign != 0, ~bits, bits | sign), np.isnan(a) & nan_last
    return np.take_along_axis(a, np.lexsort((keys, last), axis=axis), axis=axis)


def assert_same_bits(actual, expected):
    assert actual.dtype == expected.dtype
    np.testing.assert_array_equal(*(x.view(f"u{x.dtype.itemsize}") for x in (actual, expected)))


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that can import this directory's modules."""
    full_env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]), **(env or {})}
    full_env = {k: v for k, v in full_env.items() if v is not None}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)


ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    """The capsule's record; acquiring returns 0, -1 (borrowed) or -2 (read-only)."""
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                ("release", RELEASE), ("release_mut", RELEASE)]


class BorrowApi:
    """The process-wide registry, used as another extension module would."""

    def __init__(self):
        tfs.numa_sort_i64(np.zeros(2, np.int64))  # the first sort finds or installs it
        capsule = getattr(importlib.import_module(CORE + ".multiarray"), BORROW_API_NAME)
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        self.record = Record.from_address(get_pointer(capsule, BORROW_API_NAME.encode()))

    def __getattr__(self, call):  # acquire, acquire_mut, release, release_mut
        return lambda array: getattr(self.record, call)(self.record.registry, array)


borrow_api = pytest.fixture(scope="session")(lambda: BorrowApi())
