#!/usr/bin/env bash
# Photograph-like pictures for the colour-reduction quality figure and the picture benchmark: a
# real photograph (ImageMagick's built-in rose, enlarged), a fractal cloud texture and a Mandelbrot
# rendering, each compressed by a real JPEG encoder at quality 90, then stored decoded as binary
# PPM (P6) so that readers need no JPEG decoder. plasma-1080.ppm is the cloud texture at 1920 x 1080.
set -euo pipefail
out=${1:?usage: photos.sh OUTPUT_DIR}
for tool in convert ffmpeg; do
  command -v "$tool" >/dev/null || { echo "photos.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert rose: -filter Lanczos -resize 1000% "$tmp/rose.png"
convert -size 640x480 -seed 7 plasma:fractal -blur 0x1 "$tmp/plasma.png"
ffmpeg -v error -y -f lavfi -i "mandelbrot=size=640x480:maxiter=200:start_scale=1.5" -frames:v 1 "$tmp/mandel.png"
for name in rose plasma mandel; do
  convert "$tmp/$name.png" -quality 90 "$out/$name.jpg"
  convert "$out/$name.jpg" -depth 8 "$out/$name.ppm"
done
convert "$out/plasma.jpg" -filter Lanczos -resize '1920x1080!' -depth 8 "$out/plasma-1080.ppm"
