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
# The player window is not built yet; what exists is the media library, reachable through the
# developer tool: scripts/run.sh info FILE | frames FILE [--out DIR] | sound FILE [--out F.wav]
if [ $# -eq 0 ]; then
  echo "The Tavelo player window is not built yet. The media library is: try"
  echo "  bash scripts/run.sh info FILE      (or: frames FILE --out DIR, sound FILE --out F.wav)"
  exec build/tavelo-probe
fi
exec build/tavelo-probe "$@"
