#!/usr/bin/env bash
# PNM fixtures made by ImageMagick and netpbm, each with FFmpeg's and netpbm's decode beside it.
# manifest.txt: one fixture a line, its name and its reference decodes (own_pictures.inc), or
# "unsupported" for the kinds the reader does not take (P1, P4, P7). Two-byte files are checked
# against netpbm's change of depth to 255 (it rounds), the other files against both decoders.
# Also written: multi.ppm (three P6 images of one size and a fourth of another size) and its
# three references multi-1.raw .. multi-3.raw.
set -euo pipefail
out=${1:?usage: pnm.sh OUTPUT_DIR}
. "$(dirname "$0")/own_pictures.inc"
need_tools convert ffmpeg pngtopnm pnmtoplainpnm ppmtopgm pgmtopbm pamdepth pamtopam pamtopnm
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
make_sources "$tmp"
manifest="$out/manifest.txt"
: >"$manifest"

# add NAME KIND PIXFMT: FFmpeg's decode (as KIND) and netpbm's (its depth made 255).
add() {
  local ff nb
  ff=$(ffmpeg_ref "$out/$1" "$2" "$3")
  pamdepth 255 "$out/$1" 2>/dev/null | pamtopnm >"$tmp/nb.pnm"
  nb=$(pnm_ref "$tmp/nb.pnm" "$out/$1.nb.raw")
  echo "$1 $ff $nb" >>"$manifest"
}
add_nb() {
  local nb
  pamdepth 255 "$out/$1" 2>/dev/null | pamtopnm >"$tmp/nb.pnm"
  nb=$(pnm_ref "$tmp/nb.pnm" "$out/$1.nb.raw")
  echo "$1 $nb" >>"$manifest"
}

for src in main wide tiny small; do
  pngtopnm "$tmp/$src.png" >"$out/nb-$src-p6.ppm"
  add "nb-$src-p6.ppm" rgb rgb24
  pnmtoplainpnm "$out/nb-$src-p6.ppm" >"$out/nb-$src-p3.ppm"
  add "nb-$src-p3.ppm" rgb rgb24
  convert "$tmp/$src.png" -colorspace gray pgm:"$out/im-$src-p5.pgm"
  add "im-$src-p5.pgm" gray gray
  convert "$tmp/$src.png" -colorspace gray -compress none pgm:"$out/im-$src-p2.pgm"
  add "im-$src-p2.pgm" gray gray
done
convert "$tmp/main.png" ppm:"$out/im-main-p6.ppm"
add im-main-p6.ppm rgb rgb24
convert "$tmp/main.png" -compress none ppm:"$out/im-main-p3.ppm"
add im-main-p3.ppm rgb rgb24
# Two bytes a sample.
convert "$tmp/main.png" -depth 16 ppm:"$out/im-main-p6-16.ppm"
add_nb im-main-p6-16.ppm
convert "$tmp/main.png" -colorspace gray -depth 16 pgm:"$out/im-gray-p5-16.pgm"
add_nb im-gray-p5-16.pgm
convert "$tmp/main.png" -depth 16 -compress none ppm:"$out/im-main-p3-16.ppm"
add_nb im-main-p3-16.ppm
pamdepth 1000 "$out/nb-main-p6.ppm" >"$out/nb-main-p6-1000.ppm"
add_nb nb-main-p6-1000.ppm
# Comments in the header, also right after the magic and between the numbers.
{
  printf 'P6\n# made for the comment test\n37 # width\n23\n# maxval next\n255\n'
  tail -c $((37 * 23 * 3)) "$out/nb-main-p6.ppm"
} >"$out/comments-p6.ppm"
add comments-p6.ppm rgb rgb24
{
  printf 'P2 #grey\n'
  tail -n +2 "$out/im-main-p2.pgm" | sed '1s/$/ # size/'
} >"$out/comments-p2.pgm"
add comments-p2.pgm gray gray
# Kinds that are not read.
pngtopnm "$tmp/main.png" | ppmtopgm | pgmtopbm 2>/dev/null >"$out/nb-main-p4.pbm"
echo "nb-main-p4.pbm unsupported" >>"$manifest"
pnmtoplainpnm "$out/nb-main-p4.pbm" >"$out/nb-main-p1.pbm"
echo "nb-main-p1.pbm unsupported" >>"$manifest"
pamtopam <"$out/nb-main-p6.ppm" >"$out/nb-main-p7.pam"
echo "nb-main-p7.pam unsupported" >>"$manifest"

# Several images in one file: three of the main size, then one of another size.
convert "$tmp/main.png" -negate ppm:"$tmp/neg.ppm"
convert "$tmp/main.png" -flip ppm:"$tmp/flip.ppm"
cat "$out/nb-main-p6.ppm" "$tmp/neg.ppm" "$tmp/flip.ppm" "$out/nb-small-p6.ppm" >"$out/multi.ppm"
i=1
for part in "$out/nb-main-p6.ppm" "$tmp/neg.ppm" "$tmp/flip.ppm"; do
  ffmpeg -v error -y -i "$part" -f rawvideo -pix_fmt rgb24 "$out/multi-$i.raw"
  i=$((i + 1))
done
