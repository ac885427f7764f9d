#!/usr/bin/env bash
# MP3 sound in AVI from other tools than the AVI fixtures: the sound made by sox, encoded by
# LAME at a variable rate (frames of many sizes, drawing on the bit reservoir) and by shine at a
# constant rate, each muxed by ffmpeg beside a small picture stream:
#   <name>.avi   the movie
#   <name>.s16   FFmpeg's decode of the sound as interleaved 16-bit PCM
set -euo pipefail
out=${1:?usage: mp3_avi.sh OUTPUT_DIR}
for tool in ffmpeg sox; do
  command -v "$tool" >/dev/null || { echo "mp3_avi.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

# Eight seconds of a gliding tone over a steady one, with a burst of noise in the middle.
sox -n -r 44100 -c 2 -b 16 "$out/source.wav" synth 8 sine 300-1800 sine 660 synth 8 pinknoise amod 0.2 0.5 \
  gain -6
video="testsrc=size=64x48:rate=10:duration=8"
ff -f lavfi -i "$video" -i "$out/source.wav" -c:v mjpeg -q:v 8 -c:a libmp3lame -q:a 4 "$out/lame_vbr.avi"
ff -f lavfi -i "$video" -i "$out/source.wav" -c:v mjpeg -q:v 8 -c:a libshine -b:a 128k "$out/shine.avi"
rm -f "$out/source.wav"
for f in "$out"/*.avi; do
  ff -i "$f" -map 0:a:0 -f s16le -c:a pcm_s16le "${f%.*}.s16"
done
