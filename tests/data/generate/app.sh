#!/usr/bin/env bash
# Media for the main window's tests: a 5-frame uncompressed movie whose name holds a second point
# (clip.v1.avi, 64x48 at 25 fps) and a small still picture (still.bmp).
set -euo pipefail
out=${1:?usage: app.sh OUTPUT_DIR}
command -v ffmpeg >/dev/null || { echo "app.sh: ffmpeg is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
ff -f lavfi -i "testsrc2=size=64x48:rate=25:duration=0.2" -c:v rawvideo -pix_fmt bgr24 "$out/clip.v1.avi"
ff -f lavfi -i "testsrc=size=40x30:rate=1:duration=1" -frames:v 1 -pix_fmt bgr24 "$out/still.bmp"
