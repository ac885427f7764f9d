#!/usr/bin/env bash
# Sun raster fixtures made by ImageMagick, netpbm and FFmpeg, each with FFmpeg's and netpbm's
# decode beside it. manifest.txt: one fixture a line, its name and its reference decodes
# (own_pictures.inc), or "unsupported" for a depth the reader does not take (1 bit).
# ImageMagick writes 24-bit files in RGB order (type 3), 8-bit ones with a colour map of only the
# colours used, 32-bit ones with the alpha in the pad byte; netpbm writes standard and
# run-length files with full maps; FFmpeg writes run-length 24-bit files and grey files without
# a colour map.
set -euo pipefail
out=${1:?usage: sunras.sh OUTPUT_DIR}
. "$(dirname "$0")/own_pictures.inc"
need_tools convert ffmpeg pngtopnm pnmtorast rasttopnm ppmtopgm pgmtopbm pnmquant
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
make_sources "$tmp"
manifest="$out/manifest.txt"
: >"$manifest"

add() {
  local ff nb
  ff=$(ffmpeg_ref "$out/$1" rgb rgb24)
  rasttopnm "$out/$1" 2>/dev/null | pamtopnm >"$tmp/nb.pnm"
  nb=$(pnm_ref "$tmp/nb.pnm" "$out/$1.nb.raw")
  echo "$1 $ff $nb" >>"$manifest"
}

for src in main wide tiny small; do
  convert "$tmp/$src.png" "$out/im-$src-24.ras"
  add "im-$src-24.ras"
  pngtopnm "$tmp/$src.png" | pnmtorast -standard >"$out/nb-$src-24.ras" 2>/dev/null
  add "nb-$src-24.ras"
  ffmpeg -v error -y -i "$tmp/$src.png" -pix_fmt bgr24 -rle 1 -f image2 -c:v sunrast "$out/ff-$src-24-rle.ras"
  add "ff-$src-24-rle.ras"
  pngtopnm "$tmp/$src.png" | pnmquant 16 2>/dev/null | pnmtorast -rle >"$out/nb-$src-8-rle.ras" 2>/dev/null
  add "nb-$src-8-rle.ras"
  pngtopnm "$tmp/$src.png" | pnmquant 16 2>/dev/null | pnmtorast -standard >"$out/nb-$src-8.ras" 2>/dev/null
  add "nb-$src-8.ras"
done
convert "$tmp/main.png" -colors 16 -type Palette "$out/im-main-8.ras"
add im-main-8.ras
convert "$tmp/alpha.png" "$out/im-main-32.ras"
add im-main-32.ras
pngtopnm "$tmp/main.png" | ppmtopgm | pnmtorast -rle >"$out/nb-gray-8-rle.ras" 2>/dev/null
add nb-gray-8-rle.ras
ffmpeg -v error -y -i "$tmp/main.png" -pix_fmt gray -rle 1 -f image2 -c:v sunrast "$out/ff-gray-8-rle.ras"
add ff-gray-8-rle.ras
ffmpeg -v error -y -i "$tmp/main.png" -pix_fmt gray -rle 0 -f image2 -c:v sunrast "$out/ff-gray-8.ras"
add ff-gray-8.ras
ffmpeg -v error -y -i "$tmp/main.png" -pix_fmt pal8 -rle 1 -f image2 -c:v sunrast "$out/ff-main-8-rle.ras"
add ff-main-8-rle.ras
pngtopnm "$tmp/main.png" | ppmtopgm | pgmtopbm 2>/dev/null | pnmtorast >"$out/nb-main-1.ras" 2>/dev/null
echo "nb-main-1.ras unsupported" >>"$manifest"
