#!/usr/bin/env bash
# Builds the structure-aware fuzz target tests/fuzz/fuzz_sort.cpp with clang
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in build/fuzz and
# runs it for SECONDS seconds of wall time, then prints the figures: CPU time,
# executions, coverage and findings.
#
#   scripts/fuzz.sh SECONDS            # one worker per spare core (at least 1)
#   FUZZ_WORKERS=N scripts/fuzz.sh S   # N workers
#   scripts/fuzz.sh --build            # only build
#
# The corpus grows in build/fuzz/corpus; crashing inputs land in
# build/fuzz/artifacts. Replay one with build/fuzz/fuzz_sort FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

CLANGXX=clang++-16
# clang 16 is the first Debian clang whose std::source_location works with
# the g++ 12 standard library; libclang-rt-16-dev brings libFuzzer.
if ! command -v "$CLANGXX" >/dev/null || ! dpkg -s libclang-rt-16-dev >/dev/null 2>&1; then
  echo "== apt: installing clang-16 libclang-rt-16-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang-16 libclang-rt-16-dev >/dev/null
fi
[[ -x .venv/bin/python ]] || scripts/setup.sh

out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"
tbb_lib=$(.venv/bin/python -c "import importlib.metadata as m, pathlib; d = m.distribution('tbb-devel'); print(next(pathlib.Path(d.locate_file(f)).resolve().parent for f in d.files if str(f).endswith('TBBConfig.cmake')).parent.parent)")
tbb_include=$(cd "$tbb_lib/../include" && pwd)

sources=(engine/engine_instances.cpp engine/radix_instances.cpp src/numa_sort/topology.cpp
         src/numa_sort/pool.cpp src/numa_sort/driver.cpp src/numa_sort/float_keys.cpp
         tests/fuzz/fuzz_sort.cpp)
binary=$out/fuzz_sort
needs_build=0
[[ -x $binary ]] || needs_build=1
for f in "${sources[@]}" tests/cpp/distributions.hpp engine src/numa_sort; do
  if [[ -n $(find "$f" -newer "$binary" -print -quit 2>/dev/null) ]]; then needs_build=1; fi
done
if ((needs_build)); then
  echo "== build $binary"
  "$CLANGXX" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I. -Isrc -Itests/cpp -isystem "$tbb_include" \
    "${sources[@]}" -L"$tbb_lib" -ltbb -Wl,-rpath,"$tbb_lib" -o "$binary"
fi
[[ ${1:-} == --build ]] && exit 0

seconds=${1:?usage: scripts/fuzz.sh SECONDS}
cores=$(nproc)
workers=${FUZZ_WORKERS:-$((cores > 1 ? cores - 1 : 1))}
log=$out/fuzz-$(date +%Y%m%d-%H%M%S).log
before=$(find "$out/artifacts" -type f | wc -l)

echo "== fuzz_sort: $seconds s, $workers worker(s), log $log"
# Fork mode keeps fuzzing after a finding; every finding is kept as a file.
# The sort's worker pool gets two threads per worker process.
start=$(date +%s)
set +e
TIMEFORMAT='%U %S'
cpu=$( { time RAYON_NUM_THREADS=2 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    "$binary" -fork="$workers" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" "$out/corpus" >"$log" 2>&1; } 2>&1 )
status=$?
set -e
end=$(date +%s)

read -r user sys <<<"$cpu"
execs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
after=$(find "$out/artifacts" -type f | wc -l)
mismatches=$(grep -c 'fuzz_sort MISMATCH' "$log" || true)
sanitizer=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log" || true)
echo "wall time:      $((end - start)) s"
echo "CPU time:       $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.0f s (user %.0f, sys %.0f)", u + s, u, s }')"
echo "executions:     ${execs:-?}"
echo "coverage:       ${cov:-?} edges; corpus $(find "$out/corpus" -type f | wc -l) inputs"
echo "findings:       $((after - before)) new artifact(s) in $out/artifacts; $mismatches mismatch report(s), $sanitizer sanitizer report(s)"
echo "libFuzzer exit: $status"
if ((after > before)); then
  ls -t "$out/artifacts" | head -n "$((after - before))" | sed "s|^|  $out/artifacts/|"
  exit 1
fi
exit "$status"
