#!/usr/bin/env bash
# Makes the test media: runs every script in generate/ with the output folder. A script that
# fails fails the whole run (a missing tool must never make tests skip silently).
set -euo pipefail
out=${1:?usage: generate-all.sh OUTPUT_DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
shopt -s nullglob
for script in "$here"/generate/*.sh; do
  name=$(basename "$script" .sh)
  stamp="$out/.$name.stamp"
  # Regenerate only when the script changed since its last run.
  if [ -f "$stamp" ] && [ "$stamp" -nt "$script" ]; then continue; fi
  mkdir -p "$out/$name"
  bash "$script" "$out/$name"
  touch "$stamp"
done
