"""Behaviour that needs a process of its own: exhausted memory, the worker
pool's environment variables, and a fork after the pool started."""

import os

import pytest

from conftest import run_python

MEMORY_SCRIPT = """
import resource
import numpy as np
import tarvo_fastsort_numa as tfs

n = 8_000_000
rng = np.random.default_rng(3)
arrays = {
    "i64": rng.integers(-2**63, 2**63 - 1, n, dtype=np.int64),
    "u64": rng.integers(0, 2**64 - 1, n, dtype=np.uint64),
    "i32": rng.integers(-2**31, 2**31 - 1, n, dtype=np.int32),
    "u32": rng.integers(0, 2**32 - 1, n, dtype=np.uint32),
    "f64": rng.standard_normal(n),
    "f32": rng.standard_normal(n).astype(np.float32),
}
# An unaligned array: its aligned copy is the first allocation to fail.
raw = np.zeros(n * 8 + 1, np.uint8)
unaligned = raw[1:].view(np.float64)
unaligned[:] = arrays["f64"]
arrays["f64 unaligned"] = unaligned
before = {name: np.sort(a.view(f"u{a.itemsize}")) for name, a in arrays.items()}
# sort(): its scratch (and the strided lane's copy) is taken before anything
# moves, so a refusal leaves the array exactly as it was.
general = {
    "sort() f64": rng.standard_normal(n),
    "sort() u32 strided": rng.integers(0, 2**32 - 1, 2 * n, dtype=np.uint32)[::2],
}
general_before = {name: a.copy() for name, a in general.items()}
tfs.sort(general["sort() f64"][:100_000].copy(), threads=2)

# Start the pool while memory is still available.
for name, a in arrays.items():
    getattr(tfs, "numa_sort_" + name.split()[0])(a[:100_000].copy())

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
limit = vm_size() + 16 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))

outcomes = {}
for name, a in arrays.items():
    try:
        getattr(tfs, "numa_sort_" + name.split()[0])(a)
        outcomes[name] = "sorted"
    except MemoryError:
        outcomes[name] = "MemoryError"
    except BaseException as error:
        outcomes[name] = repr(error)
for name, a in general.items():
    try:
        tfs.sort(a, threads=2)
        outcomes[name] = "sorted"
    except MemoryError:
        outcomes[name] = "MemoryError"
    except BaseException as error:
        outcomes[name] = repr(error)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

for name, a in general.items():
    same = np.array_equal(a.view(f"u{a.itemsize}"), general_before[name].view(f"u{a.itemsize}"))
    print(name, outcomes[name], "unchanged" if same else "changed")
for name, a in arrays.items():
    same = bool(np.array_equal(np.sort(a.view(f"u{a.itemsize}")), before[name]))
    if outcomes[name] == "sorted" and a.dtype.kind != "f" and not (a[:-1] <= a[1:]).all():
        outcomes[name] = "not sorted"
    print(name, outcomes[name], "permutation" if same else "changed multiset")
"""


def test_out_of_memory_is_memory_error():
    result = run_python(MEMORY_SCRIPT, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 9, result.stdout + result.stderr
    assert lines[:2] == ["sort() f64 MemoryError unchanged", "sort() u32 strided MemoryError unchanged"]
    lines = lines[2:]
    # A sorter that needs no scratch of the array's size may still succeed.
    for line in lines:
        assert line.endswith(("MemoryError permutation", "sorted permutation")), line
    assert "f64 unaligned MemoryError permutation" in lines
    assert sum("MemoryError" in line for line in lines) >= 3
    assert result.stderr == ""


POOL_SCRIPT = """
import hashlib
import numpy as np
import tarvo_fastsort_numa as tfs

rng = np.random.default_rng(1)
digest = hashlib.sha256()
for n in (2, 1000, 300_000):
    for dtype, sort in ((np.float64, tfs.numa_sort_f64), (np.float32, tfs.numa_sort_f32)):
        a = rng.standard_normal(n).astype(dtype)
        a[::7] = np.nan
        a[::11] = -0.0
        sort(a)
        digest.update(a.tobytes())
i = rng.integers(-10**9, 10**9, 500_000)
tfs.numa_sort_i64(i)
digest.update(i.tobytes())
print(digest.hexdigest())
"""

POOL_ENVIRONMENTS = [
    {},
    {"RAYON_NUM_THREADS": "0"},
    {"RAYON_NUM_THREADS": "1"},
    {"RAYON_NUM_THREADS": "3"},
    {"RAYON_NUM_THREADS": "x"},
    {"RAYON_RS_NUM_CPUS": "2"},
    {"RAYON_RS_NUM_CPUS": "5"},
    {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "1"},
]


def test_pool_environment():
    digests = set()
    for variables in POOL_ENVIRONMENTS:
        env = {"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None, **variables}
        result = run_python(POOL_SCRIPT, env=env)
        assert result.returncode == 0, (variables, result.stderr)
        assert result.stderr == "", variables
        digests.add(result.stdout.strip())
    assert len(digests) == 1


FORK_SCRIPT = """
import os, sys, time
import numpy as np
import tarvo_fastsort_numa as tfs

a = np.random.default_rng(2).standard_normal(1_000_000)
tfs.numa_sort_f64(a)
pid = os.fork()
if pid == 0:
    b = np.random.default_rng(3).standard_normal(1_000_000).astype(np.float32)
    tfs.numa_sort_f64(np.random.default_rng(4).standard_normal(300_000))
    tfs.numa_sort_f32(b)
    os._exit(0 if bool((b[:-1] <= b[1:]).all()) else 3)
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
        sys.exit(1)
    time.sleep(0.01)
print("child", os.waitstatus_to_exitcode(status))
tfs.numa_sort_f64(a[::-1].copy())
print("parent ok")
"""


def test_fork_after_the_pool_started():
    result = run_python(FORK_SCRIPT, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["child 0", "parent ok"]


@pytest.mark.skipif(os.environ.get("TFS_INSTALL_TEST") != "1",
                    reason="set TFS_INSTALL_TEST=1 (and TFS_WHEEL) to test a fresh install")
def test_fresh_venv_install(tmp_path):
    import subprocess
    import venv

    wheel = os.environ.get("TFS_WHEEL")
    assert wheel and os.path.isfile(wheel), "TFS_WHEEL must name the wheel to install"
    venv.EnvBuilder(with_pip=True).create(tmp_path / "venv")
    python = str(tmp_path / "venv" / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel],
                   check=True, timeout=900)
    code = ("import numpy as np, tarvo_fastsort_numa as t\n"
            "print(t.detect_topology())\n"
            "a = np.array([3.0, -0.0, 0.0, -1.0]); t.numa_sort_f64(a); print(a.tolist())\n")
    result = subprocess.run([python, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "None" or lines[0].startswith("(")
    assert lines[1] == "[-1.0, -0.0, 0.0, 3.0]"
