#!/usr/bin/env bash
# XPM fixtures made by ImageMagick and netpbm, each with netpbm's decode beside it (xpmtoppm; it
# only knows the "static char" form, so ImageMagick's "static const char" is read from a copy
# without the "const"). manifest.txt: one fixture a line, its name and its reference decodes
# (own_pictures.inc). Transparent pixels ("None") decode as black, as netpbm decodes them.
# The set covers X11 colour names ("red", "gray50", from ImageMagick), 12-digit hex colours, one
# and two characters per pixel from both tools, three from netpbm (a noise picture of more than
# 8464 colours) and transparency. netpbm writes hex colours only (-hexonly): its names come from
# its own dictionary, where some mean other colours than in X11's, which is the one XPM files
# name their colours by (netpbm writes 255,128,0 as "Orange" and reads that back as 255,138,0;
# X11's orange is 255,165,0).
set -euo pipefail
out=${1:?usage: xpm.sh OUTPUT_DIR}
. "$(dirname "$0")/own_pictures.inc"
need_tools convert pngtopnm ppmtoxpm xpmtoppm pamtopnm
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
make_sources "$tmp"
manifest="$out/manifest.txt"
: >"$manifest"

add() {
  local nb
  sed 's/static const char/static char/' "$out/$1" | xpmtoppm 2>/dev/null | pamtopnm >"$tmp/nb.pnm"
  nb=$(pnm_ref "$tmp/nb.pnm" "$out/$1.nb.raw")
  echo "$1 $nb" >>"$manifest"
}

for src in main wide tiny small; do
  convert "$tmp/$src.png" "$out/im-$src.xpm"
  add "im-$src.xpm"
  pngtopnm "$tmp/$src.png" | ppmtoxpm -hexonly 2>/dev/null >"$out/nb-$src.xpm"
  add "nb-$src.xpm"
done
convert "$tmp/main.png" -colors 6 "$out/im-main-6.xpm"
add im-main-6.xpm
convert -size 16x8 xc:red -fill blue -draw 'rectangle 0,0 7,3' -fill gray50 -draw 'point 9,1' \
  -fill '#102030' -draw 'point 10,1' "$tmp/named.png"
convert "$tmp/named.png" "$out/im-named.xpm"
add im-named.xpm
pngtopnm "$tmp/named.png" | ppmtoxpm -hexonly 2>/dev/null >"$out/nb-named.xpm"
add nb-named.xpm
convert "$tmp/named.png" -alpha set -region 4x4+10+4 -alpha transparent +region "$out/im-transparent.xpm"
add im-transparent.xpm
convert -size 128x128 xc: -seed 9 +noise Random -alpha off -depth 8 "$tmp/noise.png"
pngtopnm "$tmp/noise.png" | ppmtoxpm -hexonly 2>/dev/null >"$out/nb-noise.xpm"
add nb-noise.xpm
