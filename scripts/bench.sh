#!/usr/bin/env bash
# Sets everything up, builds and installs the module, and runs the NumPy
# comparison benchmark (arguments go to bench/bench_numpy.py, e.g. --quick).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build_wheel.sh
.venv/bin/python bench/bench_numpy.py "$@"
