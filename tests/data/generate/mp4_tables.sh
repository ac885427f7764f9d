#!/usr/bin/env bash
# MP4 and QuickTime movies whose reader index comes from the sample tables in their headers:
# H.264 with B pictures and AAC sound (display times from the composition offsets, encoder delay
# at the start), MPEG-4 part 2 with B pictures in a QuickTime file with PCM sound, and AAC alone.
#   <name>.bgr24   every picture FFmpeg decodes, in display order, as B, G, R rows, top-down
set -euo pipefail
out=${1:?usage: mp4_tables.sh OUTPUT_DIR}
command -v ffmpeg >/dev/null || { echo "mp4_tables.sh: ffmpeg is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
video="testsrc2=size=192x108:rate=25"
sound="sine=frequency=660:sample_rate=44100"

ff -f lavfi -i "$video" -f lavfi -i "$sound" -t 3 -c:v libx264 -preset veryfast -bf 3 -g 20 -c:a aac -b:a 64k \
   "$out/h264_aac.mp4"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -t 3 -c:v mpeg4 -bf 2 -g 15 -q:v 5 -c:a pcm_s16le "$out/mpeg4_pcm.mov"
ff -f lavfi -i "$sound" -t 3 -ac 2 -c:a aac -b:a 96k "$out/tone.m4a"
for f in "$out"/h264_aac.mp4 "$out"/mpeg4_pcm.mov; do
  ff -i "$f" -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 "${f%.*}.bgr24"
done
