"""tarvo_fastsort_numa_dask: sample sort of Dask arrays."""

import numpy as np
import pytest

from conftest import assert_same_bits, reference, run_python, values

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import tarvo_fastsort_numa_dask as tfs_dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def check(x, a):
    """x sorted equals the reference sort of its values a, bit for bit, and
    the result's chunks are known, true, and within twice the mean block."""
    y = tfs_dask.sort(x)
    assert not any(np.isnan(c) for c in y.chunks[0])
    blocks = dask.compute(*y.to_delayed().ravel())
    assert tuple(len(b) for b in blocks) == y.chunks[0]
    assert_same_bits(np.concatenate(blocks), reference(a))
    if len(a):
        assert max(y.chunks[0]) <= max(2 * len(a) / x.numblocks[0], 1)
    return y


CHUNKINGS = {
    "one block": lambda n: n,
    "even": lambda n: max(1, n // 7),
    "empty blocks": lambda n: (0, n // 2, 0, n - n // 2, 0),
}


@pytest.mark.parametrize("chunking", CHUNKINGS)
@pytest.mark.parametrize("n", [0, 1, 5, 1000, 300_001])
@pytest.mark.parametrize("dtype", ["?", "i1", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8",
                                   "M8[ns]", "m8[s]"], ids=str)
def test_every_dtype_against_the_reference(client, dtype, n, chunking):
    a = values(dtype, n, np.random.default_rng(n))
    check(da.from_array(a, chunks=CHUNKINGS[chunking](n)), a)


SKEWED = {
    "all equal": lambda n: np.full(n, 7, np.int64),
    "two values": lambda n: np.arange(n, dtype=np.int64) % 2,
    "sorted": lambda n: np.arange(n, dtype=np.int64),
    "reversed": lambda n: np.arange(n, 0, -1).astype(np.int64),
    "NaN and -0.0": lambda n: np.where(np.arange(n) % 3 == 0, np.nan, -0.0),
    "NaT": lambda n: np.full(n, np.datetime64("NaT", "ns"), "M8[ns]"),
}


@pytest.mark.parametrize("family", SKEWED)
def test_skewed_inputs_keep_output_blocks_bounded(client, family):
    a = SKEWED[family](1_000_003)
    y = check(da.from_array(a, chunks=50_000), a)
    # The dense sample evens them out to within about 1/16 of the mean.
    assert max(y.chunks[0]) <= 1.1 * len(a) / len(y.chunks[0])


@pytest.mark.filterwarnings("ignore:Sending large graph")
def test_a_few_million_with_unknown_input_chunks(client):
    a = values("f8", 3_000_000, np.random.default_rng(3))
    x = da.from_array(a, chunks=250_000)
    x = x[x == x]  # drops NaNs; the chunk sizes become unknown
    assert np.isnan(x.shape[0])
    check(x, a[a == a])
    empty = tfs_dask.sort(x[x != x])
    assert empty.chunks == ((0,) * x.numblocks[0],)


def test_no_task_takes_more_than_one_input_block(client):
    a = values("u8", 200_000, np.random.default_rng(4))
    y = tfs_dask.sort(da.from_array(a, chunks=20_000))
    graph = dict(y.__dask_graph__())
    blocks = {k for k in graph if k[0].startswith("_sorted_copy")}
    assert len(blocks) == 10
    for key, task in graph.items():
        deps = dask.core.get_dependencies(graph, key)
        assert len(deps & blocks) <= 1
        if len(deps) > 1:  # an output block: pieces only
            assert not deps & blocks


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_local_schedulers(scheduler):
    a = values("f4", 100_000, np.random.default_rng(5))
    with dask.config.set(scheduler=scheduler):
        x = da.from_array(a, chunks=(0, 30_000, 0, 70_000))
        check(x, a)
        check(x[x == x], a[a == a])  # unknown chunk sizes


def test_order_keys_follow_the_sort_order():
    # Every float16 pattern, and float32/float64 patterns with the specials.
    rng = np.random.default_rng(6)
    cases = [np.arange(1 << 16, dtype=np.uint16).view(np.float16)]
    for dtype in ("f4", "f8"):
        cases.append(values(dtype, 100_000, rng))
    for a in cases + [values("M8[ns]", 10_000, rng), values("i8", 10_000, rng)]:
        keys = tfs_dask.order_keys(reference(a))
        assert np.all(keys[1:] >= keys[:-1])
        distinct = np.unique(a.view(f"u{a.dtype.itemsize}"))
        assert len(np.unique(keys)) == len(distinct)


@pytest.mark.parametrize("x, kwargs, error, message", [
    (da.zeros((4, 4), chunks=2), {}, ValueError,
     "tarvo_fastsort_numa_dask.sort takes a 1-D array, not 2-D"),
    (da.zeros(4, dtype="c16", chunks=2), {}, TypeError, "sort() does not take dtype complex128"),
    (da.zeros(4, chunks=2), {"threads": 0}, ValueError, "threads must be a positive integer or None"),
])
def test_errors(x, kwargs, error, message):
    with pytest.raises(error) as info:
        tfs_dask.sort(x, **kwargs)
    assert str(info.value) == message


def test_without_dask_it_imports_and_says_how_to_install():
    result = run_python("""
        import sys
        sys.modules["dask"] = None
        import tarvo_fastsort_numa_dask as m
        try:
            m.sort([1, 2])
        except ImportError as e:
            print(e)
    """)
    assert result.stdout.strip() == (
        'tarvo_fastsort_numa_dask.sort needs Dask: pip install "tarvo-fastsort-numa[dask]"')
