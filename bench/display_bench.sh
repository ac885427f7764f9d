#!/usr/bin/env bash
# What reaches the screen while a movie plays, in the real program under Xvfb (MIT-SHM), beside
# mpv when it is installed (mpv --vo=x11 --hwdec=no, no sound; the program with the null sound
# sink). Four movies: 1080p30 H.264, 720p25 MPEG-4, 4K60 H.264 and 720p24 H.264, 10 s each, in AVI, made once
# with ffmpeg into BENCH_MEDIA (default ~/.cache/tavelo-display-bench). Each player plays each
# movie RUNS times, interleaved, each run in its own X server.
#
# Pictures are counted where the X server receives them: bench/x_put_counter.c, preloaded, logs
# every put with a hash of its pixels. The video area is the size most often put among the puts
# of at least half the largest one (a window's own paints are larger, and rarer); a picture
# reached the screen when a put of the video area differs from the one before. Printed per run
# and as the median over the runs:
#   screen      pictures that reached the screen, of the movie's frames
#   start       the interval from the first picture to the second, ms: for the program, the
#               picture the open showed until play moves on (the run's start: its decoder's
#               first read), left out of the intervals below
#   median/p95/std  the intervals between the pictures from the second on, ms
#   cpu         CPU seconds per second of the player's run (user + system over elapsed)
#   peak        the player's peak resident memory, MiB
#
#   bench/display_bench.sh TAVELO TAVELO_SETTINGS [RUNS]
set -euo pipefail
usage="usage: display_bench.sh TAVELO TAVELO_SETTINGS [RUNS]"
prog=$(realpath "${1:?$usage}")
settings=$(realpath "${2:?$usage}")
runs=${3:-3}
here=$(cd "$(dirname "$0")" && pwd)
media=${BENCH_MEDIA:-$HOME/.cache/tavelo-display-bench}
for tool in xvfb-run ffmpeg python3 cc /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "display_bench.sh: $tool is missing" >&2; exit 1; }
done
mkdir -p "$media"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cc -O2 -shared -fPIC -o "$work/x_put_counter.so" "$here/x_put_counter.c" -ldl

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
make_movie() {  # name size rate codec-args...
  local name=$1 size=$2 rate=$3
  shift 3
  [ -s "$media/$name" ] && return 0
  echo "making $name ..." >&2
  ff -f lavfi -i "testsrc2=size=$size:rate=$rate:duration=10" "$@" "$media/$name.part.avi"
  mv "$media/$name.part.avi" "$media/$name"
}
make_movie h264_1080p30.avi 1920x1080 30 -c:v libx264 -preset faster -pix_fmt yuv420p
make_movie mpeg4_720p25.avi 1280x720 25 -c:v mpeg4 -q:v 3
make_movie h264_2160p60.avi 3840x2160 60 -c:v libx264 -preset faster -pix_fmt yuv420p
make_movie h264_720p24.avi 1280x720 24 -c:v libx264 -preset faster -pix_fmt yuv420p

players=(tavelo)
command -v mpv >/dev/null && players+=(mpv)
movies=(h264_1080p30.avi mpeg4_720p25.avi h264_2160p60.avi h264_720p24.avi)

# One run of one player on one movie in a fresh X server: prints "frames screen start median p95 std cpu peak".
one_run() {
  local player=$1 movie=$2 log=$work/put.log timing=$work/time.txt home=$work/home
  rm -rf "$log" "$timing" "$home"
  mkdir -p "$home/.config"
  local frames
  frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$media/$movie")
  local cmd
  if [ "$player" = tavelo ]; then
    HOME=$home XDG_CONFIG_HOME=$home/.config "$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000
    cmd=("$prog" "/play=$media/$movie" /close)
  else
    cmd=(mpv --no-config --vo=x11 --hwdec=no --ao=null --no-osc --really-quiet "$media/$movie")
  fi
  HOME=$home XDG_CONFIG_HOME=$home/.config TAVELO_AUDIO=null XPUT_LOG=$log \
    xvfb-run -a -s "-screen 0 1920x1200x24" \
    env LD_PRELOAD="$work/x_put_counter.so" /usr/bin/time -f "%e %U %S %M" -o "$timing" \
    timeout 90 "${cmd[@]}" > /dev/null 2>&1 || true
  python3 - "$log" "$timing" "$frames" <<'EOF'
import collections, statistics, sys
log, timing, frames = sys.argv[1], sys.argv[2], int(sys.argv[3])
puts = []
try:
    for line in open(log):
        t, x, y, w, h, hsh = line.split()
        puts.append((int(t), (int(w), int(h)), hsh))
except FileNotFoundError:
    pass
largest = max((w * h for _, (w, h), _ in puts), default=0)
sizes = collections.Counter(size for _, size, _ in puts if size[0] * size[1] * 2 >= largest)
video = sizes.most_common(1)[0][0] if sizes else None
times, last = [], None
for t, size, hsh in puts:
    if size == video and hsh != last:
        times.append(t)
        last = hsh
gaps = [(b - a) / 1e6 for a, b in zip(times, times[1:])]
start, gaps = (gaps[0], gaps[1:]) if gaps else (0, [])
e, u, s, m = open(timing).read().split()[-4:]
cpu = (float(u) + float(s)) / max(float(e), 1e-9)
if gaps:
    gaps_sorted = sorted(gaps)
    p95 = gaps_sorted[min(len(gaps_sorted) - 1, int(round(0.95 * (len(gaps_sorted) - 1))))]
    print(frames, len(times), start, statistics.median(gaps), p95, statistics.pstdev(gaps), cpu, int(m) / 1024)
else:
    print(frames, len(times), start, 0, 0, 0, cpu, int(m) / 1024)
EOF
}

echo "display_bench.sh: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC'), $runs runs"
declare -A results
for run in $(seq "$runs"); do
  for movie in "${movies[@]}"; do
    for player in "${players[@]}"; do
      r=$(one_run "$player" "$movie")
      results["$player $movie"]+="$r;"
      read -r frames screen start med p95 std cpu peak <<< "$r"
      printf '%-7s %-17s run %d: screen %4d of %4d  start %6.1f  median %6.2f  p95 %6.2f  std %6.2f ms  cpu %5.2f s/s  peak %6.1f MiB  (load %s)\n' \
        "$player" "$movie" "$run" "$screen" "$frames" "$start" "$med" "$p95" "$std" "$cpu" "$peak" "$(cut -d' ' -f1 /proc/loadavg)"
    done
  done
done
echo "medians over the runs:"
for movie in "${movies[@]}"; do
  for player in "${players[@]}"; do
    python3 - "$player" "$movie" "${results["$player $movie"]}" <<'EOF'
import statistics, sys
player, movie, rows = sys.argv[1], sys.argv[2], [r.split() for r in sys.argv[3].split(';') if r.strip()]
col = lambda i: statistics.median(float(r[i]) for r in rows)
print('%-7s %-17s screen %6.1f of %d  start %6.1f  median %6.2f  p95 %6.2f  std %6.2f ms  cpu %5.2f s/s  peak %6.1f MiB'
      % (player, movie, col(1), int(rows[0][0]), col(2), col(3), col(4), col(5), col(6), col(7)))
EOF
  done
done
