#!/usr/bin/env bash
# Long fuzzing runs outside CI: every fuzz target (or the ones named) for a given time each, under
# AddressSanitizer and UBSan, with the limits the project holds them to: no input may take more
# than 1 s, allocate more than 1 GB or grow the process past 1 GB.
#
#   bash scripts/fuzz-long.sh [-t SECONDS] [-j JOBS] [-b BUILD_DIR] [-o OUT_DIR] [TARGET ...]
#
#   -t  time per target (default 600)
#   -j  targets run at the same time (default 1; the machine may be shared)
#   -b  the build (default build-asan, configured here with -DTAVELO_FUZZ=ON when missing)
#   -o  where the runs keep their work (default <build>/fuzz-runs): corpus/<target>/ (what the
#       run found, grown over runs; the seeds in fuzz/corpus are read, never written),
#       artifacts/<target>/ (crashing, leaking and slow inputs), logs/<target>.log and
#       summary.md (one table row per target: executions, time, result)
#
# The exit status is 0 when every target finished its time without a finding. A finding's input
# is in artifacts/<target>/; once its cause is fixed it belongs in fuzz/crashers/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
jobs=1
build=build-asan
out=""
while getopts "t:j:b:o:h" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
out=${out:-$build/fuzz-runs}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DTAVELO_SANITIZE=address,undefined -DTAVELO_FUZZ=ON -DTAVELO_BUILD_BENCH=OFF >/dev/null
fi
if ! grep -q '^TAVELO_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "fuzz-long.sh: $build is not configured with -DTAVELO_FUZZ=ON" >&2
  exit 2
fi

all=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  all+=("${name%_fuzz}")
done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
programs=()
for t in "${targets[@]}"; do
  [ -f "fuzz/${t}_fuzz.cpp" ] || { echo "fuzz-long.sh: no target $t (targets: ${all[*]})" >&2; exit 2; }
  programs+=("${t}_fuzz")
done
cmake --build "$build" --target "${programs[@]}" >/dev/null

mkdir -p "$out/logs"
# The inputs are written to a private folder on tmpfs, removed at the end.
scratch=$(mktemp -d "${TMPDIR_FOR_FUZZ:-/dev/shm}/tavelo-fuzz-long-XXXXXX" 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_one() {
  local t=$1
  local corpus="$out/corpus/$t" artifacts="$out/artifacts/$t/" log="$out/logs/$t.log"
  mkdir -p "$corpus" "$artifacts"
  local inputs=("$corpus" "fuzz/corpus/$t")
  [ -d "fuzz/crashers/$t" ] && inputs+=("fuzz/crashers/$t")
  local start=$SECONDS status=0
  TAVELO_FUZZ_TMP="$scratch" \
  ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -rss_limit_mb=1024 -malloc_limit_mb=1024 -timeout=1 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts" "${inputs[@]}" >"$log" 2>&1 || status=$?
  local elapsed=$((SECONDS - start))
  local execs result
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$execs" ] || execs=$(grep -a -o '^#[0-9]*' "$log" | tail -1 | tr -d '#' || true)
  if [ "$status" -eq 0 ]; then
    result="no finding"
  else
    result=$(grep -a -m1 -E '^==[0-9]+==ERROR|==tavelo fuzz==|SUMMARY: UndefinedBehaviorSanitizer|ALARM: working on the last Unit|out-of-memory|ERROR: libFuzzer' "$log" |
             sed -E 's/^==[0-9]+==//' | cut -c1-100 || true)
    result="finding (exit $status): ${result:-see log}"
  fi
  printf '| %s | %s | %s s | %s |\n' "$t" "${execs:-?}" "$elapsed" "$result" >"$out/logs/$t.row"
  echo "$t: ${execs:-?} executions in ${elapsed} s: $result"
}

running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_one "$t" &
  running=$((running + 1))
done
wait || true

{
  echo "| target | executions | time | result |"
  echo "|---|---|---|---|"
  for t in "${targets[@]}"; do cat "$out/logs/$t.row"; done
} >"$out/summary.md"
cat "$out/summary.md"
! grep -q 'finding (' "$out/summary.md"
