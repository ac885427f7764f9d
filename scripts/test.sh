#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the full suite in the normal
# build, then the core and threaded suites again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

# Race checks: the same sources built with clang and ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTAVELO_SANITIZE=thread -DTAVELO_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target core_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure -L core
