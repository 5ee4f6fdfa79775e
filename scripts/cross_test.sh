#!/usr/bin/env bash
# Builds the C++ core for another architecture with Debian's cross compiler
# and runs part of the C++ suite under qemu-user; then builds the module
# against Debian's Python and NumPy for that architecture and runs part of the
# Python suite under qemu as well. Installs what it needs: the cross compiler,
# qemu-user and the target's oneTBB, GoogleTest and Highway (multiarch); the
# target's Python is unpacked into build/cross-ARCH/sysroot, beside the host's.
#
#   scripts/cross_test.sh aarch64
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

arch=${1:?usage: scripts/cross_test.sh aarch64}
case $arch in
  aarch64) deb_arch=arm64 ;;
  *) echo "cross_test.sh: no cross build for '$arch' (aarch64 only)" >&2; exit 2 ;;
esac
triplet=$arch-linux-gnu
out=build/cross-$arch
start=$(date +%s)
elapsed() { echo "   ($(($(date +%s) - start)) s)"; }

# The target's Python, NumPy and the libraries they load; unpacked, not
# installed, since python3:arm64 cannot sit beside the host's python3.
PY_DEBS=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev python3-numpy
         libblas3 liblapack3 libgfortran5 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libuuid1 libcrypt1)

missing=()
command -v "$triplet-g++" >/dev/null || missing+=("g++-$triplet")
command -v "qemu-$arch" >/dev/null || missing+=(qemu-user)
for pkg in libtbb-dev libgtest-dev libhwy-dev; do
  dpkg -s "$pkg:$deb_arch" >/dev/null 2>&1 || missing+=("$pkg:$deb_arch")
done
if ((${#missing[@]})) || [[ ! -f $out/sysroot/.complete ]]; then
  echo "== apt: $deb_arch architecture, ${missing[*]:-nothing to install}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx "$deb_arch" || dpkg --add-architecture "$deb_arch"
  apt-get update -qq
  ((${#missing[@]})) && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  rm -rf "$out/debs" "$out/sysroot"
  mkdir -p "$out/debs" "$out/sysroot"
  (cd "$out/debs" && apt-get download -qq "${PY_DEBS[@]/%/:$deb_arch}")
  for deb in "$out"/debs/*.deb; do dpkg-deb -x "$deb" "$out/sysroot"; done
  # The links that update-alternatives makes on an installed system.
  ln -s blas/libblas.so.3 "$out/sysroot/usr/lib/$triplet/libblas.so.3"
  ln -s lapack/liblapack.so.3 "$out/sysroot/usr/lib/$triplet/liblapack.so.3"
  touch "$out/sysroot/.complete"
fi
sysroot=$root/$out/sysroot
qemu=(env QEMU_LD_PREFIX="$sysroot" "qemu-$arch")
python=$sysroot/usr/bin/python3.11

# The vendored Highway holds the x86 targets only: Debian's (NEON, SVE) serves.
# CMake asks the target's Python about itself, and lists the tests, under qemu.
cross=(-DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" -DCMAKE_CXX_COMPILER="$triplet-g++"
       "-DCMAKE_CROSSCOMPILING_EMULATOR=$(IFS=';'; echo "${qemu[*]}")" -DTFS_SYSTEM_HWY=ON
       -DTFS_TBB_DIR="/usr/lib/$triplet/cmake/TBB" -DPython_EXECUTABLE="$python")
echo "== $arch: cross-build the C++ core, its tests and the module in $out"
# Debian's Python headers pick the target's pyconfig.h, which the sysroot has.
# CMake 4 from .venv: older ones cannot run the target's Python through qemu.
.venv/bin/cmake -S . -B "$out/build" -G Ninja "${cross[@]}" -DTFS_BUILD_TESTS=ON -DTFS_BUILD_MODULE=ON \
  -DSKBUILD_SABI_VERSION=3.8 -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DCMAKE_CXX_FLAGS="-isystem $sysroot/usr/include" >/dev/null
.venv/bin/cmake --build "$out/build" -j"$(nproc)"
file "$out/build/test_engine" | grep -q "ARM aarch64" || { echo "not an $arch build" >&2; exit 1; }
elapsed

echo "== $arch: C++ suite (a subset) under qemu-$arch"
# The engine's catalogue at every tier bound for u32 and i64, the units'
# examples and guards; the driver at the tier bounds for every type, the pool,
# scratch cache and float keys; allocation failures for u32 and i64; many
# callers and lying counts. Left to native runs: the other two types'
# catalogues and allocation failures, the larger catalogue, the lent-array
# stress, and the topology test, since qemu-user has no get_mempolicy (the
# module then reads the node list from sysfs).
run_test() { echo "-- $*"; "${qemu[@]}" "$out/build/$1" --gtest_brief=1 "--gtest_filter=$2"; }
run_test test_engine '*:-EngineUnits/*.CatalogueAboveTheLargeTierBounds:EngineUnits/1.*:EngineUnits/2.*'
run_test test_driver '*:-Topology.NodeListsAndTheirArithmetic'
run_test test_alloc_failure 'AllocationFailure/0.*:AllocationFailure/3.*'
run_test test_concurrency 'ManyCallers.*:LyingCounts.*'
elapsed

echo "== $arch: Python suite (a subset) under qemu-$arch, Debian's Python and NumPy"
# sort() for every dtype on one and two threads (the skewed shapes for u8 and
# f8), its layouts and errors; the six functions on four distributions, the
# arrays they take and their errors. Not here: what starts a new interpreter
# (qemu-user runs no other architecture's binaries from inside).
skip_sort="without_avx512 or forced_choices or tuple_calls or i4- or M8[ns or f8-1 or u8-1"
skip_six="test_against_the_reference and (reversed or two_halves or distinct4 or small_range or random_width or nearly_sorted)"
site=$out/site
rm -rf "$site" && mkdir -p "$site"
cp "$out"/build/tarvo_fastsort_numa*.so src/tarvo_fastsort_numa_dask.py "$site/"
# pytest and its dependencies are pure Python: the host's serve.
for name in pytest _pytest py pluggy iniconfig packaging pygments; do
  path=$(.venv/bin/python -c "import $name as m, os; f = m.__file__; print(os.path.dirname(f) if f.endswith('__init__.py') else f)")
  ln -s "$path" "$site/$(basename "$path")"
done
PYTHONPATH="$root/$site" PYTHONDONTWRITEBYTECODE=1 \
  "${qemu[@]}" "$python" -m pytest -q -p no:cacheprovider tests/python/test_general_sort.py \
  tests/python/test_functions.py -k "not ($skip_sort) and not ($skip_six)"
elapsed
echo "== $arch: passed"
