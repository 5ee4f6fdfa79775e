#!/usr/bin/env bash
# Runs the project under the sanitizers:
#   1. the C++ suite built with AddressSanitizer + UndefinedBehaviorSanitizer
#      (build/asan; the tests scale their repetitions down under ASan);
#   2. the Python suite against the module built with the same sanitizers in
#      the same tree, imported from build/asan through PYTHONPATH, with libasan
#      preloaded into the interpreter;
#   3. the multi-threaded stress harness tests/cpp/test_concurrency.cpp
#      built with ThreadSanitizer (build/tsan, RelWithDebInfo), with only the
#      oneTBB-internal suppressions of tests/sanitizers/tsan.supp.
# Any sanitizer report fails the step. Prints the time of each step.
#
#   scripts/sanitize.sh           # all three steps
#   scripts/sanitize.sh asan tsan # a subset: asan (C++), python, tsan
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[[ -x .venv/bin/python ]] || scripts/setup.sh

steps=("$@")
((${#steps[@]})) || steps=(asan python tsan)
jobs=${TFS_SANITIZE_JOBS:-$(nproc)}
python=$root/.venv/bin/python

wants() {
  local s
  for s in "${steps[@]}"; do [[ $s == "$1" ]] && return 0; done
  return 1
}
elapsed() { echo "   ($(($(date +%s) - $1)) s)"; }

if wants asan || wants python; then
  start=$(date +%s)
  echo "== ASan+UBSan: build build/asan"
  # The stable-ABI settings scikit-build-core passes to a wheel build, given
  # by hand for this build outside it.
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFS_SANITIZE=ON \
    -DTFS_BUILD_TESTS="$(wants asan && echo ON || echo OFF)" -DTFS_BUILD_MODULE="$(wants python && echo ON || echo OFF)" \
    -DSKBUILD_SABI_VERSION=3.8 -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
    -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build build/asan -j"$jobs"
  elapsed "$start"
fi

# Reports end the process with an error; leaks are reported by the C++ tests.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if wants asan; then
  start=$(date +%s)
  echo "== ASan+UBSan: C++ suite"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs"
  elapsed "$start"
fi

if wants python; then
  start=$(date +%s)
  echo "== ASan+UBSan: Python suite against build/asan"
  tbb_lib=$("$python" -c "import importlib.metadata as m, pathlib; d = m.distribution('tbb-devel'); print(next(pathlib.Path(d.locate_file(f)).resolve().parent for f in d.files if str(f).endswith('TBBConfig.cmake')).parent.parent)")
  # The interpreter is not instrumented: libasan must be loaded first, with
  # libstdc++ beside it so that ASan's exception interceptor finds the real
  # __cxa_throw; Python's own allocator would hide its blocks from ASan.
  # CPython and NumPy keep objects alive until exit, so leak checking is off
  # here. The module in build/asan comes before the installed one on the path;
  # subprocesses of the tests inherit all of it.
  asan_python=(env LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc
               ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONPATH="$root/build/asan"
               LD_LIBRARY_PATH="$tbb_lib" "$python")
  "${asan_python[@]}" -c "import tarvo_fastsort_numa as m; assert m.__file__.startswith('$root/build/asan/'), m.__file__"
  # Deselected: the MemoryError test limits the address space (RLIMIT_AS),
  # which ASan's reserved shadow memory cannot live with.
  "${asan_python[@]}" -m pytest -q -p no:cacheprovider tests/python \
    --deselect tests/python/test_process.py::test_out_of_memory_is_memory_error \
    --deselect tests/python/test_argsort.py::test_out_of_memory_is_memory_error
  elapsed "$start"
fi

if wants tsan; then
  start=$(date +%s)
  echo "== TSan: build build/tsan and run test_concurrency"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFS_TSAN=ON -DTFS_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build build/tsan -j"$jobs" --target test_concurrency
  TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:halt_on_error=1:exitcode=66:second_deadlock_stack=1" \
    build/tsan/test_concurrency
  elapsed "$start"
fi
echo "== sanitizers: no reports"
