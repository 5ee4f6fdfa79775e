from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "detect_topology",
    "numa_sort_i64",
    "numa_sort_u64",
    "numa_sort_i32",
    "numa_sort_u32",
    "numa_sort_f64",
    "numa_sort_f32",
]

class PanicException(BaseException):
    """Raised when the module's native code fails internally."""

def detect_topology() -> tuple[int, list[int]] | None:
    """Returns (node_count, cores_per_node) on multi-socket systems, or None
    on single-socket (where the caller should fall through to the existing
    non-NUMA parallel radix path)."""

def numa_sort_i64(arr: npt.NDArray[np.int64]) -> None: ...
def numa_sort_u64(arr: npt.NDArray[np.uint64]) -> None: ...
def numa_sort_i32(arr: npt.NDArray[np.int32]) -> None: ...
def numa_sort_u32(arr: npt.NDArray[np.uint32]) -> None: ...
def numa_sort_f64(arr: npt.NDArray[np.float64]) -> None: ...
def numa_sort_f32(arr: npt.NDArray[np.float32]) -> None: ...

def sort(arr: npt.NDArray[Any], *, axis: SupportsIndex = -1, threads: SupportsIndex | None = None) -> None:
    """Sort arr in place along axis, in NumPy's order (NaN and NaT last).

    Takes every integer type, bool, float16/32/64, datetime64 and timedelta64,
    in any layout. threads caps the threads used (None: the pool's size)."""

def argsort(
    arr: npt.NDArray[Any],
    *,
    axis: SupportsIndex | None = -1,
    kind: str | None = None,
    threads: SupportsIndex | None = None,
) -> npt.NDArray[np.intp]:
    """Return the indices that sort arr along axis (None: flattened), in NumPy's
    order (NaN and NaT last), as a new np.intp array of arr's shape.

    Stable for every kind: equal elements keep their order, as
    np.argsort(kind='stable') gives. arr is only read, in any layout.
    threads caps the threads used (None: the pool's size)."""
