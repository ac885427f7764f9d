#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it with the arguments given (relative
# file names are taken from the folder run.sh is called in). TAVELO_BUILD_DIR chooses the build
# folder (build/ in the source tree by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVELO_BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target tavelo
exec "$build/tavelo" "$@"
