"""Sorting one-dimensional Dask arrays with tarvo_fastsort_numa.sort().

``sort(x)`` is a sample sort on Dask's task graph. Every block is copied and
sorted on its worker; a regular sample of each sorted block picks splitters;
each sorted block is cut at the splitters into pieces, and output block j
gathers piece j of every block and sorts it. No task ever holds more than one
input block or one output block.

Keys are ordered exactly as ``tarvo_fastsort_numa.sort`` orders them (NaN and
NaT last, IEEE total order where NumPy leaves the order open). Equal keys are
told apart by (block, position) while splitting, so a run of one value is
spread over as many output blocks as it needs: every output block holds at
most twice the mean input block length.

Dask is an optional dependency: ``pip install "tarvo-fastsort-numa[dask]"``.
"""

from __future__ import annotations

import operator
import sys
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

import tarvo_fastsort_numa as _tfs

__all__ = ["sort"]

_INSTALL_HINT = (
    'tarvo_fastsort_numa_dask.sort needs Dask: pip install "tarvo-fastsort-numa[dask]"'
)

_SIGN64 = np.uint64(1 << 63)

# 16 samples per (input block, output block) pair: output blocks within about
# 6% of the mean length.
SAMPLES_PER_BLOCK_PAIR = 16
# The merged sample lives on the client: at most 8 MiB of keys.
MAX_SAMPLES = 1 << 20


def _import_dask() -> Tuple[Any, Any, Any]:
    try:
        import dask
        import dask.array as da
        from dask.highlevelgraph import HighLevelGraph
    except ImportError as exc:
        raise ImportError(_INSTALL_HINT) from exc
    return dask, da, HighLevelGraph


def order_keys(values: np.ndarray) -> np.ndarray:
    """Maps values to uint64 keys that compare as sort() orders the values."""
    kind = values.dtype.kind
    if kind in "bu":
        return values.astype(np.uint64)
    if kind == "i":
        return values.astype(np.int64).view(np.uint64) ^ _SIGN64
    if kind in "mM":
        # NaT is the smallest int64: after the sign flip it is 0 and the
        # subtraction wraps it to the top.
        return (values.view(np.int64).view(np.uint64) ^ _SIGN64) - np.uint64(1)
    if kind == "f":
        return _float_order_keys(values)
    raise TypeError(f"sort() does not take dtype {values.dtype}")


def _float_order_keys(values: np.ndarray) -> np.ndarray:
    width = values.dtype.itemsize * 8
    bits = values.view(f"u{values.dtype.itemsize}").astype(np.uint64)
    mask = np.uint64((1 << width) - 1)
    sign = np.uint64(1 << (width - 1))
    # IEEE total order: negative patterns reversed below the positive ones.
    total = np.where(bits & sign, ~bits & mask, bits | sign)
    # Total order puts the negative NaNs first; sort() puts every NaN after
    # +inf, negative NaNs before positive ones. Rotate the non-NaN range down
    # and the negative NaNs up between it and the positive NaNs.
    negative_nans = np.uint64((1 << (np.finfo(values.dtype).nmant)) - 1)
    finite_and_inf = mask - np.uint64(2) * negative_nans + np.uint64(1)
    is_negative_nan = total < negative_nans
    is_positive_nan = total >= negative_nans + finite_and_inf
    return np.where(
        is_negative_nan,
        total + finite_and_inf,
        np.where(is_positive_nan, total, total - negative_nans),
    )


def _sorted_copy(block: np.ndarray, threads: Optional[int]) -> np.ndarray:
    out = np.array(block, copy=True, order="C")
    _tfs.sort(out, threads=threads)
    return out


def _sample(block: np.ndarray, step: int) -> np.ndarray:
    return order_keys(block[::step])


def _rank(block: np.ndarray, keys: np.ndarray, right: bool) -> np.ndarray:
    """For each key, how many elements of the sorted block order before it
    (right: before it or equal to it). A binary search run for all keys at
    once, reading only the probed elements."""
    lo = np.zeros(len(keys), np.int64)
    hi = np.full(len(keys), len(block), np.int64)
    active = lo < hi
    while active.any():
        mid = (lo + hi) // 2
        probe = order_keys(block[np.minimum(mid, len(block) - 1)])
        below = (probe <= keys) if right else (probe < keys)
        lo = np.where(active & below, mid + 1, lo)
        hi = np.where(active & ~below, mid, hi)
        active = lo < hi
    return lo


def _cuts(block: np.ndarray, index: int, splitters: Tuple[np.ndarray, np.ndarray, np.ndarray]) -> np.ndarray:
    """Where the sorted block is cut: block[cuts[j]:cuts[j + 1]] goes to output
    block j. A splitter is (key, block, position); keys equal to its key go
    left in earlier blocks, right in later ones, and split at its position in
    its own block."""
    keys, owners, positions = splitters
    inner = np.where(
        owners > index,
        _rank(block, keys, right=True),
        np.where(owners < index, _rank(block, keys, right=False), positions),
    )
    return np.concatenate(([0], inner, [len(block)])).astype(np.int64)


def _gather(dtype: np.dtype, threads: Optional[int], pieces: List[np.ndarray]) -> np.ndarray:
    if not pieces:
        return np.empty(0, dtype)
    if len(pieces) == 1:
        return pieces[0].copy()
    out = np.concatenate(pieces)
    _tfs.sort(out, threads=threads)
    return out


def sample_step(length: int, blocks: int) -> int:
    """Sample spacing: every step-th element of each sorted block is sampled.

    An output block spans ceil(S / blocks) of the S sample points and so
    holds at most n/B + step*(B + 2) - B elements; the bound step below keeps
    that within 2n/B. Within it, a denser sample evens the output blocks out
    (they differ from n/B by about B*step), up to a cap on the sample's size.
    """
    bound = max(1, (length + blocks * blocks) // (blocks * (blocks + 2)))
    dense = max(1, length // (SAMPLES_PER_BLOCK_PAIR * blocks * blocks), length // MAX_SAMPLES)
    return min(bound, dense)


def choose_splitters(samples: Sequence[np.ndarray], step: int, parts: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Picks parts - 1 splitters, evenly spaced in the merged sample."""
    keys = np.concatenate([np.asarray(s, np.uint64) for s in samples])
    owners = np.concatenate([np.full(len(s), i, np.int64) for i, s in enumerate(samples)])
    positions = np.concatenate([np.arange(len(s), dtype=np.int64) * step for s in samples])
    order = np.lexsort((positions, owners, keys))
    chosen = order[(np.arange(1, parts, dtype=np.int64) * len(order)) // parts]
    return keys[chosen], owners[chosen], positions[chosen]


def _check_arguments(dtype: np.dtype, threads: Optional[int]) -> None:
    # sort() raises its own errors for a dtype, byte order or thread count it
    # does not take, before any task runs.
    _tfs.sort(np.empty(0, dtype), threads=threads)


def _runs_here(dask: Any, x: Any) -> bool:
    """True when x would be computed in this process's memory (the threads,
    processes or synchronous scheduler), false for a dask.distributed client."""
    scheduler = dask.base.get_scheduler(collections=[x])
    distributed = sys.modules.get("distributed")
    owner = getattr(scheduler, "__self__", None)
    return distributed is None or not isinstance(owner, distributed.Client)


def sort(x: Any, *, threads: Optional[int] = 1) -> Any:
    """Returns a new 1-D dask array with the values of x sorted in sort()'s order.

    threads is passed to every task's sort(): 1 by default, as Dask runs as
    many tasks at once as its workers have threads (None: the pool's size).

    Sorts and samples the blocks at once (on the active scheduler; a
    dask.distributed client keeps the sorted blocks on its workers) so that the
    result's chunks are known; the routing of the pieces and the sort of each
    output block run when the result is computed.
    """
    dask, da, HighLevelGraph = _import_dask()
    x = da.asarray(x)
    if x.ndim != 1:
        raise ValueError(f"tarvo_fastsort_numa_dask.sort takes a 1-D array, not {x.ndim}-D")
    _check_arguments(x.dtype, threads)
    dtype = x.dtype

    blocks = x.numblocks[0]
    sorted_blocks = x.map_blocks(_sorted_copy, threads, dtype=dtype)
    if blocks == 1:
        return sorted_blocks

    local = _runs_here(dask, x)
    if local:
        # A local scheduler hands every task its inputs whole (the processes
        # scheduler pickles them): keep the sorted blocks here and give each
        # output task its pieces as slices, not the blocks they come from.
        parts = list(dask.compute(*sorted_blocks.to_delayed().ravel()))

        def per_block(fn: Any) -> List[Any]:
            return [fn(p, i) for i, p in enumerate(parts)]
    else:
        (sorted_blocks,) = dask.persist(sorted_blocks)
        parts = sorted_blocks.to_delayed().ravel()

        def per_block(fn: Any) -> List[Any]:
            return list(dask.compute(*[dask.delayed(fn)(p, i) for i, p in enumerate(parts)]))

    if not local and np.isnan(sorted_blocks.shape[0]):
        lengths = per_block(lambda p, i: len(p))
    else:
        lengths = [len(p) for p in parts] if local else sorted_blocks.chunks[0]
    length = int(sum(lengths))
    if length == 0:
        return da.Array(sorted_blocks.dask, sorted_blocks.name, (tuple(lengths),), dtype=dtype)

    step = sample_step(length, blocks)
    splitters = choose_splitters(per_block(lambda p, i: _sample(p, step)), step, blocks)
    cuts = np.array(per_block(lambda p, i: _cuts(p, i, splitters)))

    token = dask.base.tokenize(sorted_blocks.name, splitters)
    piece_name = "tfs-sort-piece-" + token
    name = "tfs-sort-" + token
    graph = {}
    for j in range(blocks):
        pieces = []
        for i in range(blocks):
            start, stop = int(cuts[i, j]), int(cuts[i, j + 1])
            if start == stop:
                continue
            if local:
                pieces.append(parts[i][start:stop])
            else:
                graph[(piece_name, i, j)] = (operator.getitem, (sorted_blocks.name, i), slice(start, stop))
                pieces.append((piece_name, i, j))
        graph[(name, j)] = (_gather, dtype, threads, pieces)
    chunks = (tuple(int(c) for c in (cuts[:, 1:] - cuts[:, :-1]).sum(axis=0)),)
    hlg = HighLevelGraph.from_collections(name, graph, dependencies=[] if local else [sorted_blocks])
    return da.Array(hlg, name, chunks, dtype=dtype)
