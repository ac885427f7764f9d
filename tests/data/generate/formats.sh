#!/usr/bin/env bash
# Still pictures in the three built-in formats, written by real encoders, for the TGA, PCX and BMP
# readers (compared pixel for pixel with FFmpeg's decode of the same files):
#   TGA by netpbm (bottom-up rows) and FFmpeg (top-down rows): raw and run-length, true colour,
#       colour-mapped, grey, 15 and 32 bits. Not ImageMagick: it gets TGA orientation wrong.
#   PCX by netpbm and FFmpeg: 1 bit, 4 bits (planar and packed), 8 bits, 24 bits, odd widths.
#   BMP by ImageMagick, netpbm and FFmpeg: 1/4/8/16/24/32 bits, RLE8, OS/2 core headers, V5 headers,
#       16-bit bit fields.
# Sizes are odd (37 x 23) so that every row needs padding somewhere. seq/ holds a numbered BMP
# sequence of 5 frames for the dispatcher and tavelo-probe.
set -euo pipefail
out=${1:?usage: formats.sh OUTPUT_DIR}
for tool in ffmpeg convert pamcut pnmquant ppmtopgm pamditherbw pamtotga ppmtopcx ppmtobmp; do
  command -v "$tool" >/dev/null || { echo "formats.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -v error -y "$@"; }

# Sources: a seeded plasma (many colours) with two flat bands (runs, some across rows), cut to an
# odd size, and reductions of it.
convert -size 64x48 -seed 5 plasma:fractal -fill '#c03010' -draw 'rectangle 0,8 40,14' \
  -fill '#2040e0' -draw 'rectangle 20,20 63,30' -depth 8 "$tmp/src.ppm"
pamcut -left 3 -top 5 -width 37 -height 23 "$tmp/src.ppm" > "$tmp/base.ppm"
pnmquant 256 "$tmp/base.ppm" > "$tmp/q256.ppm" 2>/dev/null
pnmquant 16 "$tmp/base.ppm" > "$tmp/q16.ppm" 2>/dev/null
ppmtopgm "$tmp/base.ppm" > "$tmp/grey.pgm"
# The grey peaks near 127: a threshold at a quarter makes both colours plentiful (at a half the
# 1-bit files would be all black and check neither their bit order nor their palette).
pamditherbw -threshold -value 0.25 "$tmp/grey.pgm" | pamtopnm > "$tmp/bw.pbm"
cp "$tmp/base.ppm" "$out/base.ppm"

# TGA, netpbm.
pamtotga -rgb -norle "$tmp/base.ppm" 2>/dev/null > "$out/nb_rgb_raw.tga"
pamtotga -rgb "$tmp/base.ppm" 2>/dev/null > "$out/nb_rgb_rle.tga"
pamtotga -cmap -norle "$tmp/q256.ppm" 2>/dev/null > "$out/nb_cmap_raw.tga"
pamtotga -cmap "$tmp/q256.ppm" 2>/dev/null > "$out/nb_cmap_rle.tga"
pamtotga -mono -norle "$tmp/grey.pgm" 2>/dev/null > "$out/nb_grey_raw.tga"
pamtotga -mono "$tmp/grey.pgm" 2>/dev/null > "$out/nb_grey_rle.tga"
# TGA, FFmpeg.
ff -i "$tmp/base.ppm" -pix_fmt bgr24 -rle 0 "$out/ff_bgr24_raw.tga"
ff -i "$tmp/base.ppm" -pix_fmt bgr24 -rle 1 "$out/ff_bgr24_rle.tga"
ff -i "$tmp/base.ppm" -pix_fmt bgra -rle 1 "$out/ff_bgra_rle.tga"
ff -i "$tmp/base.ppm" -pix_fmt rgb555le -rle 0 "$out/ff_rgb555_raw.tga"
ff -i "$tmp/base.ppm" -pix_fmt rgb555le -rle 1 "$out/ff_rgb555_rle.tga"
ff -i "$tmp/base.ppm" -pix_fmt gray -rle 1 "$out/ff_gray_rle.tga"
ff -i "$tmp/base.ppm" -pix_fmt pal8 -rle 0 "$out/ff_pal8_raw.tga"
ff -i "$tmp/base.ppm" -pix_fmt pal8 -rle 1 "$out/ff_pal8_rle.tga"

# PCX, netpbm and FFmpeg.
ppmtopcx -24bit "$tmp/base.ppm" > "$out/nb_24.pcx" 2>/dev/null
ppmtopcx -8bit "$tmp/q256.ppm" > "$out/nb_8.pcx" 2>/dev/null
ppmtopcx "$tmp/q16.ppm" > "$out/nb_4planes.pcx" 2>/dev/null
ppmtopcx -packed "$tmp/q16.ppm" > "$out/nb_4packed.pcx" 2>/dev/null
ppmtopcx "$tmp/bw.pbm" > "$out/nb_1.pcx" 2>/dev/null
ff -i "$tmp/base.ppm" -pix_fmt rgb24 "$out/ff_24.pcx"
ff -i "$tmp/base.ppm" -pix_fmt pal8 "$out/ff_8.pcx"
ff -i "$tmp/bw.pbm" -pix_fmt monob "$out/ff_1.pcx"

# BMP, ImageMagick (40-byte headers unless noted), netpbm and FFmpeg.
convert "$tmp/base.ppm" BMP3:"$out/im_24.bmp"
convert "$tmp/q256.ppm" -type Palette -compress None BMP3:"$out/im_8.bmp"
convert "$tmp/q256.ppm" -type Palette -compress RLE BMP3:"$out/im_8_rle.bmp"
convert "$tmp/q16.ppm" -type Palette -compress None BMP3:"$out/im_4.bmp"
convert "$tmp/bw.pbm" -type Bilevel BMP3:"$out/im_1.bmp"
convert "$tmp/base.ppm" BMP:"$out/im_v5_24.bmp"
convert "$tmp/base.ppm" BMP2:"$out/im_os2_24.bmp"
convert "$tmp/q256.ppm" -type Palette BMP2:"$out/im_os2_8.bmp"
ppmtobmp -bpp 24 "$tmp/base.ppm" > "$out/nb_24.bmp" 2>/dev/null
ppmtobmp -bpp 8 "$tmp/q256.ppm" > "$out/nb_8.bmp" 2>/dev/null
ppmtobmp -bpp 4 "$tmp/q16.ppm" > "$out/nb_4.bmp" 2>/dev/null
ppmtobmp -os2 -bpp 8 "$tmp/q256.ppm" > "$out/nb_os2_8.bmp" 2>/dev/null
ff -i "$tmp/base.ppm" -pix_fmt bgra "$out/ff_32.bmp"
ff -i "$tmp/base.ppm" -pix_fmt rgb555le "$out/ff_555.bmp"
ff -i "$tmp/base.ppm" -pix_fmt rgb565le "$out/ff_565.bmp"
ff -i "$tmp/base.ppm" -pix_fmt pal8 "$out/ff_8.bmp"
ff -i "$tmp/bw.pbm" -pix_fmt monob "$out/ff_1.bmp"

# A numbered sequence of 5 BMP frames.
mkdir -p "$out/seq"
ff -f lavfi -i "testsrc=size=32x24:rate=5" -frames:v 5 -pix_fmt bgr24 "$out/seq/img%04d.bmp"
