#!/usr/bin/env bash
# Media for playing through the engine (tavelo-probe play): a 10-second 640x480 movie at 30 fps
# with 44.1 kHz stereo sound (MPEG-4 video with a key frame every second, PCM sound, in AVI), a
# 5-second 44.1 kHz stereo WAV file, and a numbered sequence of 100 BMP pictures (seq/).
set -euo pipefail
out=${1:?usage: playback.sh OUTPUT_DIR}
command -v ffmpeg >/dev/null || { echo "playback.sh: ffmpeg is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

ff -f lavfi -i "testsrc2=size=640x480:rate=30:duration=10" \
   -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=10" \
   -ac 2 -c:v mpeg4 -q:v 4 -g 30 -c:a pcm_s16le -shortest "$out/movie.avi"
ff -f lavfi -i "sine=frequency=330:sample_rate=44100:duration=5" -ac 2 -c:a pcm_s16le "$out/sound.wav"
mkdir -p "$out/seq"
ff -f lavfi -i "testsrc=size=320x240:rate=25:duration=4" -pix_fmt bgr24 -c:v bmp "$out/seq/frame%04d.bmp"
