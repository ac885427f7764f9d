#!/usr/bin/env bash
# Movies stored in decoding order with B pictures, made by other encoders and from another source
# than the AVI fixtures (the Mandelbrot pattern, XviD-tagged MPEG-4, Xvid's packed B pictures and x264 in AVI, also with
# B-pyramids, a raw MPEG-2 stream with B pictures at its end, and one of the test pattern), each
# with FFmpeg's decode beside it:
#   <name>.bgr24   every picture FFmpeg decodes, in display order, as B, G, R rows, top-down
set -euo pipefail
out=${1:?usage: reorder.sh OUTPUT_DIR}
command -v ffmpeg >/dev/null || { echo "reorder.sh: ffmpeg is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
video="mandelbrot=size=176x144:rate=25"

ff -f lavfi -i "$video" -t 4 -c:v mpeg4 -vtag XVID -bf 2 -g 50 "$out/xvid_bf.avi"
# Xvid packs each B picture behind the reference picture after it; the next chunk is an uncoded
# picture that only keeps the B picture's slot.
ff -f lavfi -i "$video" -t 4 -c:v libxvid -bf 1 -g 12 "$out/xvid_packed.avi"
# With two B pictures a group the second one has a chunk of its own before the placeholder.
ff -f lavfi -i "$video" -t 4 -c:v libxvid -bf 2 -g 12 "$out/xvid_packed_bf2.avi"
# A stream copy marks the placeholder behind each key frame a key frame in the index.
ff -i "$out/xvid_packed.avi" -c copy "$out/xvid_packed_copy.avi"
ff -f lavfi -i "$video" -t 4 -c:v libx264 -preset veryfast -bf 2 -g 50 "$out/x264_bf.avi"
# x264's own defaults: three B pictures in a pyramid (the middle one a reference), so B pictures
# are shown between other B pictures.
ff -f lavfi -i "$video" -t 4 -c:v libx264 -bf 3 -b_strategy 0 -g 50 "$out/x264_pyramid.avi"
ff -f lavfi -i "mandelbrot=size=176x144:rate=12" -t 3 -c:v mpeg2video -bf 2 -g 12 -f mpeg2video "$out/bf.m2v"
# 36 pictures at 12 per second with the encoder's own group length: the stream ends on B pictures.
ff -f lavfi -i "testsrc=size=176x144:rate=12" -frames:v 36 -c:v mpeg2video -bf 2 -f mpeg2video "$out/testsrc_bf.m2v"
for f in "$out"/*.avi "$out"/*.m2v; do
  ff -i "$f" -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 "${f%.*}.bgr24"
done
