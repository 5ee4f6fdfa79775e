#!/usr/bin/env bash
# Sets everything up, builds and installs the module, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build_wheel.sh
.venv/bin/python scripts/demo.py "$@"
