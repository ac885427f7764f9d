#!/usr/bin/env bash
# GIF files made by real encoders (ImageMagick and ffmpeg) for the GIF unit's checks against
# FFmpeg's decoder: a still picture, an interlaced one, a transparent one, animations with partial
# frames, transparency, local palettes and every disposal method, and a longer animation for the
# decode benchmark (bench.gif).
set -euo pipefail
out=${1:?usage: gif.sh OUTPUT_DIR}
for tool in convert ffmpeg; do
  command -v "$tool" >/dev/null || { echo "gif.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
ff() { ffmpeg -nostdin -v error -y "$@"; }

# Still pictures.
convert rose: "$out/static.gif"
convert rose: -resize 150% -interlace GIF "$out/interlaced.gif"
convert -size 61x41 xc:none -fill red -draw "circle 30,20 30,4" -fill blue -draw "rectangle 2,2 14,10" "$out/transparent.gif"
convert -size 1x9 gradient:red-blue -interlace GIF "$out/interlaced-1x9.gif"

# Animations by ImageMagick: optimized layers (partial frames over earlier ones, transparency).
convert -delay 20 rose: \( rose: -flip \) \( rose: -negate \) \( rose: -flop \) -loop 0 -layers optimize "$out/anim-im.gif"
# Every disposal method over partial frames, each frame with a palette of its own.
convert -delay 10 -dispose None -size 48x32 xc:skyblue \
  -dispose Background \( -size 16x12 xc:red -repage +4+4 \) \
  -dispose Previous \( -size 16x12 plasma:green-yellow -repage +20+10 \) \
  -dispose None \( -size 10x10 xc:yellow -repage +30+18 \) \
  -dispose None \( -size 12x8 xc:purple -repage +2+20 \) \
  -loop 0 "$out/dispose.gif"
# Local palettes on partial frames without optimization.
convert -delay 15 -size 40x30 xc:red -size 40x30 xc:blue \( -size 20x10 xc:green -repage +10+10 \) -loop 0 "$out/local.gif"

# Animations by ffmpeg's GIF encoder: one global palette, and one from palettegen.
ff -f lavfi -i "testsrc=size=96x64:rate=10:duration=1" "$out/anim-ff.gif"
ff -f lavfi -i "testsrc2=size=96x64:rate=10:duration=1" -filter_complex "split[a][b];[a]palettegen[p];[b][p]paletteuse" "$out/anim-ffp.gif"

# The benchmark's animation: 320 x 240, 60 frames of moving pictures.
ff -f lavfi -i "testsrc2=size=320x240:rate=20:duration=3" -filter_complex "split[a][b];[a]palettegen[p];[b][p]paletteuse" "$out/bench.gif"

# A logo of many colours and long runs (cut short by the tests: the data ends mid-picture).
convert logo: -resize 50% "$out/logo.gif"
