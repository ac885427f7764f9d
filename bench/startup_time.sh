#!/usr/bin/env bash
# Start-up time of the program: starts <build>/tavelo N times on a private X server (Xvfb) and
# measures the time from the exec to the main window being mapped (xev's MapNotify on the root
# window), the processor time the program had used by then, and the shared objects it had mapped.
# Given several build folders, their runs take turns (A B A B ...), so that a changing load on the
# machine falls on all of them alike. Prints every run and the medians. Nothing here runs in CI.
#
#   bash bench/startup_time.sh [runs] [build-dir ...]      (defaults: 15 runs of build/)
#
# Needs xvfb-run and xev (Debian: xvfb, x11-utils). Each build gets a HOME of its own, so no
# settings or recent lists of the user are read; one run per build that is not counted goes first,
# so the measured runs are the usual start, not the first one (which registers the file types).
# The sound output is the null one.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  runs=${1:-15}
  shift || true
  builds=()
  for b in "${@:-$root/build}"; do builds+=("$(cd "$b" && pwd)"); done
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$0" --inside "$runs" "${builds[@]}"
fi

runs=$2
shift 2
builds=("$@")
for b in "${builds[@]}"; do
  [ -x "$b/tavelo" ] || { echo "no program at $b/tavelo" >&2; exit 2; }
done

work=$(mktemp -d)
watcher_pid=
cleanup() {
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One watcher for all runs: xev prints a line per window mapped on the screen.
mkfifo "$work/events"
xev -root -event substructure >"$work/events" &
watcher_pid=$!
exec 3<"$work/events"
ticks=$(getconf CLK_TCK)

now_ns() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }

# One start of program with HOME home: sets mapped_ms, cpu_ms and count (and libs<k>.txt).
start_once() {
  local program=$1 home=$2 k=$3 start mapped pid line
  # Drop whatever the watcher printed before this run.
  while read -r -t 0.05 -u 3 _; do :; done
  start=$(now_ns)
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share TAVELO_AUDIO=null \
    "$program" >/dev/null 2>&1 &
  pid=$!
  mapped=
  while read -r -t 30 -u 3 line; do
    case $line in
      MapNotify*) mapped=$(now_ns); break ;;
    esac
  done
  if [ -z "$mapped" ]; then
    echo "$program: no window within 30 s" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
  fi
  # Processor time (user + system) so far, and the shared objects mapped at this moment.
  cpu_ms=$(awk -v t="$ticks" '{print int(($14 + $15) * 1000 / t)}' "/proc/$pid/stat")
  awk '$6 ~ /\.so/ {print $6}' "/proc/$pid/maps" | sort -u >"$work/libs$k.txt"
  count=$(wc -l <"$work/libs$k.txt")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  mapped_ms=$(((mapped - start) / 1000000))
}

for ((k = 0; k < ${#builds[@]}; k++)); do
  mkdir -p "$work/home$k"
  start_once "${builds[$k]}/tavelo" "$work/home$k" "$k"
  printf 'first run (not counted) %-40s %5d ms to the window\n' "${builds[$k]}/tavelo" "$mapped_ms"
done

declare -A times cpus libs
for ((i = 1; i <= runs; i++)); do
  for ((k = 0; k < ${#builds[@]}; k++)); do
    program=${builds[$k]}/tavelo
    start_once "$program" "$work/home$k" "$k"
    times[$k]+="$mapped_ms "
    cpus[$k]+="$cpu_ms "
    libs[$k]+="$count "
    printf 'run %2d %-40s %5d ms to the window, %4d ms processor, %3d libraries\n' "$i" "$program" "$mapped_ms" \
      "$cpu_ms" "$count"
  done
done

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for ((k = 0; k < ${#builds[@]}; k++)); do
  program=${builds[$k]}/tavelo
  # shellcheck disable=SC2086
  echo "$program: median $(median ${times[$k]}) ms to the window, $(median ${cpus[$k]}) ms processor," \
    "$(median ${libs[$k]}) libraries mapped ($runs runs); linked: $(readelf -d "$program" | grep -c NEEDED) NEEDED," \
    "$(ldd "$program" | wc -l) by ldd; codec libraries mapped: $(grep -c '/codecs/' "$work/libs$k.txt" || true)"
done
