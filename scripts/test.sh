#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ suite under CTest; the
# repaired wheel's audits (its manylinux tag, the stable ABI); the Python
# suite against that wheel installed in a fresh virtual environment (newest
# NumPy 2) and in .venv-np1 (NumPy 1); the aarch64 cross build with part of
# both suites under qemu, built and run beside the Python suites.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
phase() { echo "== $* ($(($(date +%s) - start)) s in)"; }
scripts/setup.sh

# The wheel compiles the core once more, with the same flags: ccache hands it
# the C++ build's objects. Both take g++, for ccache keys on the compiler's name.
export CCACHE_DIR=$PWD/build/ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CXX=g++
phase "C++: build and test"
cmake -S . -B build/cpp -G Ninja -DTFS_BUILD_TESTS=ON -DTFS_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j"$(nproc)"

scripts/build_wheel.sh
wheel=$(ls "$PWD"/dist/*.whl)
phase "auditwheel show"
.venv/bin/auditwheel show "$wheel"
# Its overall tag stays linux_x86_64, for libtbb.so.12 is left out on purpose
# (the tbb wheel brings it); the symbols must allow manylinux_2_34 or older,
# and nothing else may come from outside.
.venv/bin/auditwheel show --json "$wheel" | .venv/bin/python -c '
import json, re, sys
show = json.load(sys.stdin)
tag = re.fullmatch(r"manylinux_2_(\d+)_x86_64", show["sym_tag"])
assert tag and int(tag[1]) <= 34 and sorted(show["external_libs"]) == ["libtbb.so.12"], show
assert "-manylinux_2_%s_x86_64." % tag[1] in show["wheel"], show["wheel"]
print("symbols allow", show["sym_tag"], "; outside the wheel:", *show["external_libs"])'
phase "abi3audit"
.venv/bin/abi3audit --strict --report "$wheel"

# The cross build keeps both cores busy while the Python suites, mostly on one
# thread, run; its log follows theirs.
cross_log=build/cross-aarch64.log
setsid scripts/cross_test.sh aarch64 >"$cross_log" 2>&1 &
cross=$!
trap 'kill -- -"$cross" 2>/dev/null || true' EXIT
phase "aarch64: started beside the Python suites"

phase "pytest under NumPy 2: the repaired wheel in a fresh venv"
scripts/test_wheel.sh python3
phase "pytest under NumPy 1"
.venv-np1/bin/python -m pytest -q tests/python

phase "aarch64: waiting for the cross build and its tests"
cross_status=0
wait "$cross" || cross_status=$?
cat "$cross_log"
phase "done"
exit "$cross_status"
