#!/usr/bin/env bash
# SGI fixtures made by ImageMagick and netpbm, each with FFmpeg's and netpbm's decode beside it.
# manifest.txt: one fixture a line, its name and its reference decodes (own_pictures.inc).
# Two-byte samples come from ImageMagick (plain) and netpbm (run-length encoded); FFmpeg's own
# two-byte run-length writer is left out, as FFmpeg and netpbm both misread what it writes.
set -euo pipefail
out=${1:?usage: sgi.sh OUTPUT_DIR}
. "$(dirname "$0")/own_pictures.inc"
need_tools convert ffmpeg pngtopnm pnmtosgi sgitopnm ppmtopgm
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
make_sources "$tmp"
manifest="$out/manifest.txt"
: >"$manifest"

# add NAME KIND PIXFMT: the fixture with FFmpeg's decode (as KIND) and netpbm's.
add() {
  local ff nb
  ff=$(ffmpeg_ref "$out/$1" "$2" "$3")
  sgitopnm "$out/$1" >"$tmp/nb.pnm" 2>/dev/null
  nb=$(pnm_ref "$tmp/nb.pnm" "$out/$1.nb.raw")
  echo "$1 $ff $nb" >>"$manifest"
}

for src in main wide tiny small; do
  convert "$tmp/$src.png" -compress RLE "$out/im-$src-rle.sgi"
  add "im-$src-rle.sgi" rgb rgb24
  convert "$tmp/$src.png" -compress None "$out/im-$src-raw.sgi"
  add "im-$src-raw.sgi" rgb rgb24
  pngtopnm "$tmp/$src.png" | pnmtosgi >"$out/nb-$src-rle.sgi" 2>/dev/null
  add "nb-$src-rle.sgi" rgb rgb24
done
pngtopnm "$tmp/main.png" | pnmtosgi -verbatim >"$out/nb-main-raw.sgi" 2>/dev/null
add nb-main-raw.sgi rgb rgb24
convert "$tmp/main.png" -colorspace gray -compress RLE "$out/im-gray-rle.sgi"
add im-gray-rle.sgi gray gray
convert "$tmp/main.png" -colorspace gray -compress None "$out/im-gray-raw.sgi"
add im-gray-raw.sgi gray gray
pngtopnm "$tmp/main.png" | ppmtopgm | pnmtosgi -verbatim >"$out/nb-gray-raw.sgi" 2>/dev/null
add nb-gray-raw.sgi gray gray
convert "$tmp/alpha.png" -compress RLE "$out/im-rgba-rle.sgi"
add im-rgba-rle.sgi rgba rgba
convert "$tmp/alpha.png" -compress None "$out/im-rgba-raw.sgi"
add im-rgba-raw.sgi rgba rgba
convert "$tmp/main.png" -depth 16 "$out/im-main-16.sgi"
add im-main-16.sgi rgb16 rgb48be
convert "$tmp/main.png" -colorspace gray -depth 16 "$out/im-gray-16.sgi"
add im-gray-16.sgi gray16 gray16be
convert "$tmp/alpha.png" -depth 16 "$out/im-rgba-16.sgi"
add im-rgba-16.sgi rgba16 rgba64be
convert "$tmp/main.png" -depth 16 "$tmp/main16.ppm"
pnmtosgi "$tmp/main16.ppm" >"$out/nb-main-16-rle.sgi" 2>/dev/null
add nb-main-16-rle.sgi rgb16 rgb48be
