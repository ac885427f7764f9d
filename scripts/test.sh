#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the full suite in the normal
# build, the core and player suites again under ThreadSanitizer, and every suite under ASan and UBSan
# together with a replay of every fuzz target's seed corpus and former crashers (fuzz/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELO_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
# The random-command stress run of the program is judged in the sanitizer build below (where a
# fault it provokes is reported), not here as well.
ctest --test-dir build -j "$jobs" --output-on-failure -LE timing -E '^app_end_to_end_stress$'
# Pacing and sync figures of playback: one at a time, so the suite's own load does not skew them.
ctest --test-dir build -j 1 --output-on-failure -L timing

# Race checks: the same sources built with clang and ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTAVELO_SANITIZE=thread -DTAVELO_BUILD_BENCH=OFF -DTAVELO_WERROR=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target core_tests player_tests tavelo-probe
# The plays through tavelo-probe run one at a time: under a sanitizer every picture costs several
# times more, and the suite's own load would make the sound run past what the decoder keeps up with.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir build-tsan -j "$jobs" --output-on-failure -L "core|player" -E '^ProbePlay\.'
ctest --test-dir build-tsan -j 1 --output-on-failure -L "core|player" -R '^ProbePlay\.'
unset TSAN_OPTIONS

# Hostile-input checks: every suite again, built by clang with AddressSanitizer and UBSan, and
# the fuzz targets run once over their seeds and former crashers (the tests labelled "fuzz";
# long runs: scripts/fuzz-long.sh).
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTAVELO_SANITIZE=address,undefined -DTAVELO_FUZZ=ON -DTAVELO_BUILD_BENCH=OFF -DTAVELO_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Other libraries' blocks the leak check is not to report: scripts/lsan.supp (the program driven in
# Xvfb gives the check suppressions of its own, for the system's X11 and font libraries).
LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure -LE timing -E '^(ProbePlay\.|app_end_to_end_)'
# The plays, and the program driven in Xvfb (which waits a bounded time for each window), run one
# at a time here as well.
ctest --test-dir build-asan -j 1 --output-on-failure -LE timing -R '^(ProbePlay\.|app_end_to_end_)'
