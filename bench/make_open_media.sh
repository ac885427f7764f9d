#!/bin/bash
# Makes the movies open_bench times into a cache folder (never into the repository, never in CI):
# one minute of 320x240 per container, encoded with fast settings, then stream-copied end to end
# into 10 and 60 minute files (seconds, not an hour of encoding), and a 1920x1080 H.264 MP4 for
# the first-picture time. A file that exists already is kept.
#   bash bench/make_open_media.sh [folder]      (default: ${XDG_CACHE_HOME:-~/.cache}/tavelo-bench/open)
set -euo pipefail
dir=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/tavelo-bench/open}
mkdir -p "$dir"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
src=(-f lavfi -i testsrc2=s=320x240:r=25 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 60)

make1() {  # name, then the codec options
  local out="$dir/$1"; shift
  [ -s "$out" ] && return 0
  ff "${src[@]}" "$@" "$out.tmp.${out##*.}"
  mv "$out.tmp.${out##*.}" "$out"
}
make1 m1.mp4 -c:v libx264 -preset ultrafast -bf 2 -g 250 -c:a aac -b:a 48k -ac 1
make1 m1.avi -c:v mpeg4 -bf 2 -g 250 -q:v 5 -c:a libmp3lame -b:a 48k -ac 1
make1 m1.ogg -c:v libtheora -q:v 5 -g 250 -c:a libvorbis -q:a 0 -ac 1
make1 m1.wmv -c:v wmv2 -g 250 -q:v 5 -c:a wmav2 -b:a 48k -ac 1

for ext in mp4 avi ogg wmv; do
  for n in 10 60; do
    out="$dir/m$n.$ext"
    [ -s "$out" ] && continue
    ff -stream_loop $((n - 1)) -i "$dir/m1.$ext" -c copy "$out.tmp.$ext"
    mv "$out.tmp.$ext" "$out"
  done
done

out="$dir/hd.mp4"
if [ ! -s "$out" ]; then
  ff -f lavfi -i testsrc2=s=1920x1080:r=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 120 \
     -c:v libx264 -preset ultrafast -bf 2 -g 250 -c:a aac -b:a 96k "$out.tmp.mp4"
  mv "$out.tmp.mp4" "$out"
fi
ls -l "$dir"
