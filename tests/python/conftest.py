"""Shared fixtures and helpers of the Python suite."""

import ctypes
import importlib
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs

PANIC_NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
PANIC_ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_CONTIGUOUS = "array must be C-contiguous"
NOT_CONVERTIBLE = "argument 'arr': '{}' object cannot be converted to 'PyArray<T, D>'"
BORROW_API_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"


@dataclass(frozen=True)
class ElementType:
    """One sort function and the element type it sorts."""

    suffix: str
    dtype: np.dtype
    # Unsigned integer of the same width: the bit pattern of an element.
    bits: np.dtype

    @property
    def name(self) -> str:
        return f"numa_sort_{self.suffix}"

    @property
    def sort(self):
        return getattr(tfs, self.name)

    @property
    def is_float(self) -> bool:
        return self.dtype.kind == "f"

    def __str__(self) -> str:
        return self.suffix


ELEMENT_TYPES = [
    ElementType("i64", np.dtype(np.int64), np.dtype(np.uint64)),
    ElementType("u64", np.dtype(np.uint64), np.dtype(np.uint64)),
    ElementType("i32", np.dtype(np.int32), np.dtype(np.uint32)),
    ElementType("u32", np.dtype(np.uint32), np.dtype(np.uint32)),
    ElementType("f64", np.dtype(np.float64), np.dtype(np.uint64)),
    ElementType("f32", np.dtype(np.float32), np.dtype(np.uint32)),
]


@pytest.fixture(params=ELEMENT_TYPES, ids=str)
def etype(request) -> ElementType:
    return request.param


def total_order_sorted(values: np.ndarray) -> np.ndarray:
    """Reference sort: integers ascending; floats in IEEE 754 total order
    (negative NaNs first, -0.0 before +0.0, positive NaNs last), every bit
    pattern kept."""
    if values.dtype.kind != "f":
        return np.sort(values, kind="stable")
    unsigned = np.dtype(f"u{values.dtype.itemsize}")
    bits = values.view(unsigned)
    sign = unsigned.type(1) << unsigned.type(8 * values.dtype.itemsize - 1)
    # Negative floats: invert every bit; others: set the sign bit.
    keys = np.where(bits & sign != 0, ~bits, bits | sign)
    return values[np.argsort(keys, kind="stable")]


def assert_same_bits(actual: np.ndarray, expected: np.ndarray) -> None:
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    unsigned = np.dtype(f"u{actual.dtype.itemsize}")
    a = actual.view(unsigned)
    e = expected.view(unsigned)
    if not np.array_equal(a, e):
        first = int(np.flatnonzero(a != e)[0])
        raise AssertionError(
            f"first difference at {first} of {len(a)}: {a[first]:#x} != {e[first]:#x}")


def numpy_core_module() -> str:
    """The name of NumPy's core package, decided as the module decides it."""
    major = np.lib.NumpyVersion(np.__version__).major
    return "numpy._core" if major >= 2 else "numpy.core"


def run_python(code: str, *, env=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this environment."""
    full_env = dict(os.environ)
    if env is not None:
        full_env.update(env)
        full_env = {k: v for k, v in full_env.items() if v is not None}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)


class BorrowApi:
    """The process-wide borrow registry, used through its capsule as another
    extension module would."""

    ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
    RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

    class Record(ctypes.Structure):
        pass

    Record._fields_ = [
        ("version", ctypes.c_uint64),
        ("registry", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]

    def __init__(self, capsule):
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        address = get_pointer(capsule, BORROW_API_NAME.encode())
        self._capsule = capsule
        self.record = self.Record.from_address(address)

    @property
    def version(self) -> int:
        return self.record.version

    def acquire(self, array) -> int:
        return self.record.acquire(self.record.registry, array)

    def acquire_mut(self, array) -> int:
        return self.record.acquire_mut(self.record.registry, array)

    def release(self, array) -> None:
        self.record.release(self.record.registry, array)

    def release_mut(self, array) -> None:
        self.record.release_mut(self.record.registry, array)


@pytest.fixture(scope="session")
def borrow_api() -> BorrowApi:
    # The registry is found or installed by the first sort of the process.
    tfs.numa_sort_i64(np.zeros(2, np.int64))
    multiarray = importlib.import_module(numpy_core_module() + ".multiarray")
    return BorrowApi(getattr(multiarray, BORROW_API_NAME))
