#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ suite under CTest, the
# wheel's stable-ABI audit, and the Python suite under NumPy 2 and NumPy 1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== C++: build and test"
cmake -S . -B build/cpp -G Ninja -DTFS_BUILD_TESTS=ON -DTFS_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j"$(nproc)"

scripts/build_wheel.sh
echo "== abi3audit"
.venv/bin/abi3audit --strict --report dist/*.whl

echo "== pytest under NumPy 2"
TFS_WHEEL="$(ls "$PWD"/dist/*.whl)" TFS_INSTALL_TEST=1 .venv/bin/python -m pytest -q tests/python
echo "== pytest under NumPy 1"
.venv-np1/bin/python -m pytest -q tests/python
