"""The module's names; in processes of their own: the first sort and a second
import, exhausted memory, pool sizes and fork."""

import re

import pytest

import tarvo_fastsort_numa as tfs
from conftest import FUNCTIONS, NOT_WRITEABLE, run_python


def test_names_and_signatures():
    assert tfs.__all__ == ["detect_topology"] + [f.name for f in FUNCTIONS]
    signatures = [getattr(tfs, name).__text_signature__ for name in tfs.__all__ + ["sort"]]
    assert signatures == ["()"] + ["(arr)"] * 6 + ["(arr, *, axis=-1, threads=None)"]
    panic = tfs.PanicException
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic.__bases__ == (BaseException,)
    topology = tfs.detect_topology()  # None on one node, else (nodes, [cores per node])
    assert topology is None or (topology[0] >= 2 and len(topology[1]) == topology[0])


def test_in_a_fresh_interpreter():
    """No NumPy is a panic, retried; a panic writes a line; a second import fails."""
    result = run_python("""
        import sys
        import tarvo_fastsort_numa as tfs
        def attempt(a):
            try:
                tfs.numa_sort_u32(a)
                print(a.tolist())
            except tfs.PanicException as error:
                print(error.args[0])
        sys.modules["numpy"] = None
        attempt([3, 1])
        del sys.modules["numpy"], sys.modules["tarvo_fastsort_numa"]
        import numpy as np
        try:
            import tarvo_fastsort_numa
        except ImportError as error:
            print(error)
        a = np.array([3, 1, 2], np.uint32)
        a.flags.writeable = False
        attempt(a)
        a.flags.writeable = True
        attempt(a)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Failed to access NumPy array API capsule: ModuleNotFoundError")
    assert lines[1:] == ["PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                         "once per interpreter process", NOT_WRITEABLE, "[1, 2, 3]"]
    diagnostic = r"tarvo_fastsort_numa: internal failure at .*\.cpp:\d+ .*: "
    assert re.fullmatch(f"{diagnostic}.*\n{diagnostic}NotWriteable\n", result.stderr), result.stderr


MEMORY_SCRIPT = """
import resource
import numpy as np
import tarvo_fastsort_numa as tfs
from conftest import FUNCTIONS, reference, values

n, rng = 8_000_000, np.random.default_rng(3)
unaligned = np.zeros(n * 8 + 1, np.uint8)[1:].view(np.float64)
unaligned[:] = values("f8", n, rng)
# The six functions; an unaligned array (its copy fails first); sort() of a lane, a strided one.
cases = [(f.name, values(f.dtype, n, rng), f.sort) for f in FUNCTIONS] + [
    ("unaligned", unaligned, tfs.numa_sort_f64),
    ("sort()", values("f8", n, rng), lambda a: tfs.sort(a, threads=2)),
    ("sort() strided", values("u4", 2 * n, rng)[::2], lambda a: tfs.sort(a, threads=2))]
for _, a, sort in cases:  # starts the pool while memory is still available
    sort(a[:100_000].copy())
before = [a.copy() for _, a, _ in cases]
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 16 * 2**20, resource.RLIM_INFINITY))
outcomes = []
for _, a, sort in cases:
    try:
        outcomes.append(sort(a) or "sorted")
    except BaseException as error:
        outcomes.append(type(error).__name__)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
for (name, a, _), b, outcome in zip(cases, before, outcomes):
    bits = lambda x: x.view(f"u{x.itemsize}")
    state = ("in order" if outcome == "sorted" and np.array_equal(bits(a), bits(reference(b, nan_last="sort" in name)))
             else "unchanged" if np.array_equal(bits(a), bits(b))
             else "permutation" if np.array_equal(np.sort(bits(a)), np.sort(bits(b))) else "changed")
    print(name, outcome, state)
"""


def test_out_of_memory_is_memory_error():
    result = run_python(MEMORY_SCRIPT, timeout=300)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    lines = result.stdout.splitlines()
    # Refused before anything moved; the six may sort, or fail with a permutation.
    assert lines[6:] == ["unaligned MemoryError unchanged", "sort() MemoryError unchanged",
                         "sort() strided MemoryError unchanged"], result.stdout
    for line in lines[:6]:
        assert line.endswith(("sorted in order", "MemoryError permutation",
                              "MemoryError unchanged")), result.stdout
    assert sum("MemoryError" in line for line in lines) >= 5, result.stdout


FORK_SCRIPT = """
import os
import warnings
# Python 3.12 on warns about forking a process with threads: here that is the point.
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
import numpy as np
import tarvo_fastsort_numa as tfs

a = np.random.default_rng(2).standard_normal(1_000_000)
tfs.numa_sort_f64(a)
pid = os.fork()
if pid == 0:
    b = np.random.default_rng(3).standard_normal(1_000_000).astype(np.float32)
    tfs.sort(np.random.default_rng(4).standard_normal(300_000))
    tfs.numa_sort_f32(b)
    os._exit(0 if bool((b[:-1] <= b[1:]).all()) else 3)
status = os.waitpid(pid, 0)[1]  # a hang times out; os.waitstatus_to_exitcode needs 3.9
print("child", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status))
a = a[::-1].copy()
tfs.sort(a)
print("parent", bool((a[:-1] <= a[1:]).all()))
"""


# The pool's size: RAYON_NUM_THREADS (0 or unparsable: next), RAYON_RS_NUM_CPUS, the CPUs.
@pytest.mark.parametrize("variables", [{}, {"RAYON_NUM_THREADS": "0"}, {"RAYON_NUM_THREADS": "1"},
                                       {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}])
def test_fork_after_the_pool_started(variables):
    result = run_python(FORK_SCRIPT, timeout=60, env={"RAYON_NUM_THREADS": None,
                                                      "RAYON_RS_NUM_CPUS": None, **variables})
    assert result.stdout.splitlines() == ["child 0", "parent True"], result.stderr
    assert result.stderr == ""

