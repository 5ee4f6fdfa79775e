#!/usr/bin/env bash
# Builds the cp38-abi3 wheel into dist/ (incremental through build/) and
# installs it into both virtual environments.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf dist
echo "== wheel: building"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w dist .
wheel=$(ls dist/tarvo_fastsort_numa-*.whl)
for venv in .venv .venv-np1; do
  "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
done
echo "== wheel: $wheel installed"
