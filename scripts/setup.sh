#!/usr/bin/env bash
# Installs what the project needs on a machine of this kind: Debian packages,
# a development virtual environment (.venv, newest NumPy 2) and a second one
# for NumPy 1 (.venv-np1). Quick when everything is already in place.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(libgtest-dev libbenchmark-dev g++ cmake ninja-build ccache)
missing=()
native=$(dpkg --print-architecture)  # a bare name is ambiguous once another architecture's copy is in
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg -s "$pkg:$native" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "== apt: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# make_venv DIR REQUIREMENTS: (re)creates DIR when REQUIREMENTS changed.
make_venv() {
  local dir=$1 req=$2 stamp
  stamp=$(sha256sum "$req" | cut -c1-16)
  if [[ -f "$dir/.tfs-stamp" && "$(cat "$dir/.tfs-stamp")" == "$stamp" ]]; then
    return
  fi
  echo "== venv: $dir from $req"
  python3 -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  "$dir/bin/python" -m pip install -q -r "$req"
  echo "$stamp" >"$dir/.tfs-stamp"
}
make_venv .venv requirements/dev.txt
make_venv .venv-np1 requirements/numpy1.txt
