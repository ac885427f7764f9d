#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it with the arguments given.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/app/tavelo ]; then
  exec build/app/tavelo "$@"
fi
# The player itself is not built yet: what exists is the core library and its tests.
echo "The Tavelo player is not built yet; the core library is. Running its self-checks:"
exec ctest --test-dir build -L core
