#!/usr/bin/env bash
# A 24-megapixel photograph (6000 x 4000 JPEG, made once with ffmpeg into BENCH_MEDIA, default
# ~/.cache/tavelo-big-picture) opened by the real program under Xvfb (MIT-SHM), against the same
# program started without a file. Several programs (builds to compare) take turns, run by run, so
# a changing load on the machine falls on all of them alike. Per run and as medians:
#   idle   peak resident size of the program started without a file, MiB
#   wide   the same with its window made as large as the photograph's (1920 x 1200, the screen):
#          the idle size at the window size the open ends with (its backing store grows 9 MiB)
#   open   peak resident size with the photograph open, MiB
#   paint  time from the exec to the photograph's first paint reaching the X server, ms
#   goal   open - idle (and open - wide) against 1.1 x the decoded picture (68.7 MiB)
# The paint is found by bench/x_put_counter.c (preloaded): the first put of at least half the
# largest put's area (the window grown to the photograph; before it, only the small start-up
# window is put). A run ends 3 s after the puts stop (an open run: after that large put).
#
#   bench/big_picture.sh TAVELO_SETTINGS TAVELO [TAVELO ...]     (RUNS=3 by default)
set -euo pipefail
usage="usage: big_picture.sh TAVELO_SETTINGS TAVELO [TAVELO ...]"

if [ "${1:-}" != "--inside" ]; then
  settings=$(realpath "${1:?$usage}")
  shift
  [ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
  progs=()
  for p in "$@"; do progs+=("$(realpath "$p")"); done
  for tool in xvfb-run ffmpeg python3 cc xdotool /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "big_picture.sh: $tool is missing" >&2; exit 1; }
  done
  exec xvfb-run -a -s "-screen 0 1920x1200x24" bash "$0" --inside "$settings" "${progs[@]}"
fi

settings=$2
shift 2
progs=("$@")
runs=${RUNS:-3}
here=$(cd "$(dirname "$0")" && pwd)
media=${BENCH_MEDIA:-$HOME/.cache/tavelo-big-picture}
mkdir -p "$media"
work=$(mktemp -d)
time_pid=
cleanup() {
  [ -n "$time_pid" ] && kill "$time_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cc -O2 -shared -fPIC -o "$work/x_put_counter.so" "$here/x_put_counter.c" -ldl
photo=$media/photo_6000x4000.jpg
if [ ! -s "$photo" ]; then
  echo "making $photo ..." >&2
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "testsrc2=size=6000x4000:rate=1" -frames:v 1 \
    -q:v 3 "$photo.part.jpg"
  mv "$photo.part.jpg" "$photo"
fi

# One run (mode idle, wide or open): prints "peak_mib paint_ms" (paint 0 when nothing was put).
one_run() {
  local prog=$1 mode=$2 file= log=$work/put.log timing=$work/time.txt home=$work/home
  [ "$mode" = open ] && file=$photo
  rm -rf "$log" "$timing" "$home" "$work/start"
  mkdir -p "$home/.config"
  HOME=$home XDG_CONFIG_HOME=$home/.config "$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000
  local args=()
  [ -n "$file" ] && args=("$file")
  # The start is taken on the clock the put log uses, right before the exec.
  HOME=$home XDG_CONFIG_HOME=$home/.config TAVELO_AUDIO=null XPUT_LOG=$log LD_PRELOAD=$work/x_put_counter.so \
    /usr/bin/time -f "%M" -o "$timing" python3 -c '
import os, sys, time
open(sys.argv[1], "w").write(str(time.monotonic_ns()))
os.execvp(sys.argv[2], sys.argv[2:])' "$work/start" timeout 60 "$prog" "${args[@]}" >/dev/null 2>&1 &
  time_pid=$!
  # Ends the run 3 s after the last put, once the window is up (and, when open, once large).
  local last=-1 quiet=0 n ready=0 id
  for _ in $(seq 600); do
    sleep 0.1
    n=$( [ -f "$log" ] && wc -l < "$log" || echo 0)
    if [ "$n" != "$last" ]; then last=$n; quiet=0; else quiet=$((quiet + 1)); fi
    # The main window is up once a put of its size (not only a first small one) was made.
    if [ "$ready" = 0 ] && awk '$4 * $5 >= 100000 {f = 1} END {exit !f}' "$log" 2>/dev/null; then
      case $mode in
        idle) ready=1 ;;
        wide)
          id=$(xdotool search --onlyvisible --name Tavelo 2>/dev/null | head -1 || true)
          if [ -n "$id" ]; then xdotool windowmove "$id" 0 0 windowsize "$id" 1920 1200; ready=1; fi ;;
        open) awk '$4 * $5 >= 1000000 {f = 1} END {exit !f}' "$log" && ready=1 ;;
      esac
    fi
    [ "$ready" = 1 ] && [ "$quiet" -ge 30 ] && break
  done
  local t
  t=$(pgrep -P "$time_pid" || true)
  [ -n "$t" ] && kill -TERM "$t" 2>/dev/null || true
  wait "$time_pid" 2>/dev/null || true
  time_pid=
  python3 - "$log" "$timing" "$work/start" <<'EOF'
import sys
log, timing, start = sys.argv[1], sys.argv[2], int(open(sys.argv[3]).read())
puts = []
try:
    for line in open(log):
        t, x, y, w, h, hsh = line.split()
        puts.append((int(t), int(w) * int(h), hsh))
except FileNotFoundError:
    pass
largest = max((a for _, a, _ in puts), default=0)
paint = next(((t - start) / 1e6 for t, a, _ in puts if a * 2 >= largest), 0)
peak = int(open(timing).read().split()[-1]) / 1024
print("%.1f %.0f" % (peak, paint))
EOF
}

decoded=$(python3 -c 'print(6000 * 4000 * 3 / 2**20)')
echo "big_picture.sh: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC'), $runs runs"
declare -A rows
for run in $(seq "$runs"); do
  for i in "${!progs[@]}"; do
    read -r idle _ <<< "$(one_run "${progs[$i]}" idle)"
    read -r wide _ <<< "$(one_run "${progs[$i]}" wide)"
    read -r open paint <<< "$(one_run "${progs[$i]}" open)"
    rows[$i]+="$idle $wide $open $paint;"
    printf 'program %d run %d: idle %6.1f  wide %6.1f  open %6.1f MiB  paint %6.0f ms  (load %s)\n' \
      "$((i + 1))" "$run" "$idle" "$wide" "$open" "$paint" "$(cut -d' ' -f1 /proc/loadavg)"
  done
done
echo "medians (decoded picture $decoded MiB):"
for i in "${!progs[@]}"; do
  python3 - "$((i + 1))" "${progs[$i]}" "$decoded" "${rows[$i]}" <<'EOF'
import statistics, sys
n, prog, decoded = sys.argv[1], sys.argv[2], float(sys.argv[3])
rows = [[float(v) for v in r.split()] for r in sys.argv[4].split(';') if r.strip()]
idle, wide, open_, paint = (statistics.median(r[k] for r in rows) for k in range(4))
print('program %s: idle %6.1f  wide %6.1f  open %6.1f MiB  paint %6.0f ms  open - idle = %.2f, open - wide = %.2f'
      ' x the picture (goal <= 1.1)  %s' % (n, idle, wide, open_, paint, (open_ - idle) / decoded,
                                           (open_ - wide) / decoded, prog))
EOF
done
