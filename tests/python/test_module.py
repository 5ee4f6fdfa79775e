"""The module surface: names, docstrings, initialisation, PanicException,
detect_topology(), the type stub."""

import importlib.util
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import run_python

FUNCTION_NAMES = ["detect_topology", "numa_sort_i64", "numa_sort_u64", "numa_sort_i32",
                  "numa_sort_u32", "numa_sort_f64", "numa_sort_f32"]
DETECT_TOPOLOGY_DOC = (
    "Returns (node_count, cores_per_node) on multi-socket systems, or None\n"
    "on single-socket (where the caller should fall through to the existing\n"
    "non-NUMA parallel radix path).")


def test_module_attributes():
    assert tfs.__all__ == FUNCTION_NAMES
    assert tfs.__doc__ == ""
    for name in FUNCTION_NAMES:
        function = getattr(tfs, name)
        assert function.__name__ == name
        assert function.__self__ is tfs
        assert function.__module__ == "tarvo_fastsort_numa"


def test_docstrings_and_signatures():
    assert tfs.detect_topology.__text_signature__ == "()"
    assert tfs.detect_topology.__doc__ == DETECT_TOPOLOGY_DOC
    for name in FUNCTION_NAMES[1:]:
        function = getattr(tfs, name)
        assert function.__text_signature__ == "(arr)"
        assert function.__doc__ is None


def test_second_initialisation_raises_import_error():
    result = run_python("""
        import sys
        import tarvo_fastsort_numa
        first = tarvo_fastsort_numa
        del sys.modules["tarvo_fastsort_numa"]
        try:
            import tarvo_fastsort_numa
        except ImportError as error:
            print("ImportError:", error)
        import numpy as np
        a = np.array([3, 1, 2], dtype=np.int64)
        first.numa_sort_i64(a)
        print(a.tolist())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: PyO3 modules compiled for CPython 3.8 or older may only be initialized "
        "once per interpreter process",
        "[1, 2, 3]",
    ]


def test_panic_exception_type():
    panic = tfs.PanicException
    assert panic.__qualname__ == "PanicException"
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    assert "PanicException" not in tfs.__all__


def test_panic_is_not_caught_as_exception():
    a = np.arange(4, dtype=np.int64)
    a.flags.writeable = False
    caught = None
    try:
        try:
            tfs.numa_sort_i64(a)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as error:  # noqa: BLE001
        caught = error
    assert type(caught) is tfs.PanicException
    assert caught.args == ("called `Result::unwrap()` on an `Err` value: NotWriteable",)


def test_panic_writes_one_diagnostic_line():
    result = run_python("""
        import numpy as np
        import tarvo_fastsort_numa as tfs
        a = np.zeros(3, np.float32)
        a.flags.writeable = False
        try:
            tfs.numa_sort_f32(a)
        except tfs.PanicException as error:
            print(error.args)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('called `Result::unwrap()` on an `Err` value: NotWriteable',)"
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert "NotWriteable" in lines[0]
    assert re.search(r"\.cpp:\d+", lines[0]), lines[0]


def test_unreachable_numpy_is_a_panic_and_is_retried():
    result = run_python("""
        import sys
        import tarvo_fastsort_numa as tfs
        sys.modules["numpy"] = None
        try:
            tfs.numa_sort_u32([3, 1])
        except tfs.PanicException as error:
            print(error.args[0])
        del sys.modules["numpy"]
        import numpy as np
        a = np.array([3, 1, 2], np.uint32)
        tfs.numa_sort_u32(a)
        print(a.tolist())
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Failed to access NumPy array API capsule: ModuleNotFoundError")
    assert lines[1] == "[1, 2, 3]"


def test_detect_topology_shape():
    first = tfs.detect_topology()
    second = tfs.detect_topology()
    assert first == second
    if first is None:
        assert second is None
        return
    node_count, cores = first
    assert type(first) is tuple and len(first) == 2
    assert type(node_count) is int and node_count >= 2
    assert type(cores) is list and len(cores) == node_count
    assert all(type(c) is int and c == cores[0] for c in cores)
    assert first is not second and first[1] is not second[1]


def test_detect_topology_takes_no_arguments():
    with pytest.raises(TypeError):
        tfs.detect_topology(1)


CALLER = """
import numpy as np
import numpy.typing as npt
import tarvo_fastsort_numa as tfs

def sort_all(a: npt.NDArray[np.int64], b: npt.NDArray[np.float32]) -> None:
    tfs.numa_sort_i64(a)
    tfs.numa_sort_f32(arr=b)

topology = tfs.detect_topology()
if topology is not None:
    nodes: int = topology[0]
    cores: list[int] = topology[1]
tfs.sort(np.zeros((3, 4), dtype=np.float16), axis=0, threads=2)
try:
    tfs.numa_sort_u32(np.zeros(3, dtype=np.uint32))
except tfs.PanicException as error:
    reason: BaseException = error
"""

WRONG_CALLER = """
import numpy as np
import numpy.typing as npt
import tarvo_fastsort_numa as tfs

def sort_wrong(b: npt.NDArray[np.float64]) -> None:
    result: int = tfs.numa_sort_i64(b)
"""


def test_type_stub(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed in this environment")

    def mypy(source: str) -> subprocess.CompletedProcess:
        path = tmp_path / "caller.py"
        path.write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
             "--cache-dir", str(tmp_path / "cache"), str(path)],
            capture_output=True, text=True, cwd=tmp_path, timeout=300)

    good = mypy(CALLER)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy(WRONG_CALLER)
    assert bad.returncode == 1, bad.stdout + bad.stderr
    assert 'Argument 1 to "numa_sort_i64" has incompatible type' in bad.stdout
    assert '"numa_sort_i64" does not return a value' in bad.stdout
