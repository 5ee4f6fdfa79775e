#!/usr/bin/env bash
# Installs the repaired wheel (dist/*.whl, from scripts/build_wheel.sh) with
# its dependencies and the Dask extra into a fresh virtual environment for
# each interpreter given, build/wheel-venv-X.Y, and runs the Python suite
# there, from outside the source tree. Downloads come from pip's cache.
#
#   scripts/test_wheel.sh python3 ~/.pyenv/versions/3.8.18/bin/python
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(ls "$root"/dist/tarvo_fastsort_numa-*.whl)
(($#)) || set -- python3
for python in "$@"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=$root/build/wheel-venv-$version
  echo "== wheel: fresh venv $venv ($("$python" --version))"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[dask]" pytest 2>&1 | grep -v "^WARNING: Location" || true
  "$venv/bin/python" -c "import numpy, tarvo_fastsort_numa as t; print('   NumPy', numpy.__version__, 'module', t.__file__)"
  (cd "$venv" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
done
