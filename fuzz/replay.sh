#!/usr/bin/env bash
# Runs one fuzz target once over every file of its seed corpus and of its former crashers (no
# fuzzing): usage replay.sh PROGRAM TARGET. Fails when an input crashes, leaks, hangs, or when
# the target has no seed at all (libFuzzer would start fuzzing without a file to run).
set -euo pipefail
program=${1:?usage: replay.sh PROGRAM TARGET}
target=${2:?usage: replay.sh PROGRAM TARGET}
here=$(cd "$(dirname "$0")" && pwd)

files=()
for dir in "$here/corpus/$target" "$here/crashers/$target"; do
  [ -d "$dir" ] || continue
  while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$dir" -type f ! -name '.*' -print0 | sort -z)
done
if [ ${#files[@]} -eq 0 ]; then
  echo "replay.sh: no seed for $target in $here/corpus/$target" >&2
  exit 1
fi
# The limits of the long runs; the time limit is wider, since CI machines are busy.
exec "$program" -rss_limit_mb=1024 -malloc_limit_mb=1024 -timeout=10 "${files[@]}"
