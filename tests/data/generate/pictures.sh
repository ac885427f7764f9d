#!/usr/bin/env bash
# PNG, TIFF, JPEG and JPEG 2000 test pictures made by real encoders (ImageMagick, netpbm,
# opj_compress), each with a reference decode made by the libraries' own tools (pngtopam,
# tifftopnm, jpegtopnm, opj_decompress) as a netpbm file: name.ext has name.ref.pnm (P4, P5, P6)
# or name.ref.pam (P7, with alpha) beside it. Sizes are odd on purpose (rows without padding).
set -euo pipefail
out=${1:?usage: pictures.sh OUTPUT_DIR}
for tool in convert identify pnmtopng pngtopam pamtopnm pnmtotiff tifftopnm jpegtopnm pnmtojpeg ppmtopgm \
            pamditherbw pamdepth pamtojpeg2k opj_compress opj_decompress; do
  command -v "$tool" >/dev/null || { echo "pictures.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$out"

# ---- Sources ----
convert -size 61x43 -seed 3 plasma:fractal -depth 8 "$tmp/base.ppm"
convert -size 61x43 -seed 8 plasma:fractal -depth 8 "$tmp/other.ppm"
convert -size 61x43 gradient:white-black -rotate 90 -resize '61x43!' -depth 8 "$tmp/alpha.pgm"
ppmtopgm "$tmp/base.ppm" > "$tmp/grey.pgm"
pamditherbw "$tmp/grey.pgm" | pamtopnm > "$tmp/bilevel.pbm"
# Sixteen-bit samples whose low bytes differ from their high bytes.
convert -size 61x43 -seed 4 plasma:fractal -depth 16 "$tmp/rgb16.ppm"
convert -size 61x43 gradient:black-white -depth 16 -type Grayscale "$tmp/grey16.pgm"
# A larger photograph-like picture for the lossy coders.
convert rose: -resize '97x61!' -depth 8 "$tmp/photo.ppm"

# ---- PNG ----
pnmtopng "$tmp/base.ppm" > png_rgb.png
pnmtopng -interlace "$tmp/base.ppm" > png_interlaced.png
pnmtopng -size="3780 3780 1" "$tmp/base.ppm" > png_phys.png
convert "$tmp/base.ppm" -colors 40 PNG8:png_palette.png
pnmtopng "$tmp/bilevel.pbm" > png_grey1.png
pamdepth 3 "$tmp/grey.pgm" | pnmtopng > png_grey2.png
pamdepth 15 "$tmp/grey.pgm" | pnmtopng > png_grey4.png
pnmtopng "$tmp/grey.pgm" > png_grey8.png
pnmtopng "$tmp/grey16.pgm" > png_grey16.png
pnmtopng "$tmp/rgb16.ppm" > png_rgb16.png
pnmtopng -alpha="$tmp/alpha.pgm" "$tmp/base.ppm" > png_rgba.png
pnmtopng -alpha="$tmp/alpha.pgm" "$tmp/grey.pgm" > png_greyalpha.png
for f in png_*.png; do
  case $f in
    png_rgba.png | png_greyalpha.png) pngtopam -alphapam "$f" > "${f%.png}.ref.pam" ;;
    *) pngtopam "$f" > "${f%.png}.ref.pnm" ;;
  esac
done

# ---- TIFF ----
convert "$tmp/base.ppm" -compress None tif_none.tif
convert "$tmp/base.ppm" -compress LZW tif_lzw.tif
convert "$tmp/base.ppm" -compress RLE tif_packbits.tif
convert "$tmp/base.ppm" -compress Zip tif_deflate.tif
convert "$tmp/photo.ppm" -compress JPEG -quality 90 tif_jpeg.tif
pnmtotiff -g3 "$tmp/bilevel.pbm" > tif_g3.tif
pnmtotiff -g4 "$tmp/bilevel.pbm" > tif_g4.tif
convert "$tmp/bilevel.pbm" -compress Group4 tif_g4_im.tif
convert "$tmp/base.ppm" -colors 40 -type Palette -compress None tif_palette.tif
convert "$tmp/base.ppm" -colors 12 -type Palette -depth 4 -compress None tif_palette4.tif
pnmtotiff "$tmp/grey.pgm" > tif_grey8.tif
convert "$tmp/grey16.pgm" -depth 16 -compress None tif_grey16.tif
convert "$tmp/rgb16.ppm" -depth 16 -compress None tif_rgb16.tif
convert "$tmp/base.ppm" -interlace Plane -compress None tif_planar.tif
convert "$tmp/base.ppm" -define tiff:tile-geometry=16x16 -compress None tif_tiled.tif
convert "$tmp/base.ppm" "$tmp/other.ppm" -compress LZW tif_multipage.tif
convert "$tmp/base.ppm" "$tmp/alpha.pgm" -alpha off -compose CopyOpacity -composite -compress None tif_rgba.tif
# Unassociated alpha in the layouts libtiff's RGBA reader renders (tiles, planes, 16-bit tiles)
# and in Adobe Deflate strips.
convert tif_rgba.tif -define tiff:tile-geometry=16x16 -compress None tif_rgba_tiled.tif
convert tif_rgba.tif -interlace Plane -compress None tif_rgba_planar.tif
convert tif_rgba.tif -compress Zip tif_rgba_deflate.tif
convert "$tmp/rgb16.ppm" "$tmp/alpha.pgm" -alpha off -compose CopyOpacity -composite -depth 16 \
  -define tiff:tile-geometry=16x16 -compress None tif_rgba16_tiled.tif
convert "$tmp/base.ppm" -colorspace CMYK -compress None tif_cmyk.tif
# YCbCr inside JPEG compression.
convert "$tmp/photo.ppm" -compress JPEG -quality 90 -colorspace YCbCr tif_ycbcr.tif
convert "$tmp/base.ppm" -units PixelsPerCentimeter -density 100 -compress None tif_cm.tif
# tifftopnm is the reference where it reads a file exactly; it changes 16-bit samples and
# premultiplies unassociated alpha, and cannot read YCbCr: ImageMagick's decode (libtiff as well)
# is the reference there.
for f in tif_*.tif; do
  case $f in
    tif_rgb16.tif | tif_grey16.tif) convert "$f" -depth 16 pnm:- > "${f%.tif}.ref.pnm" ;;
    tif_rgba*.tif) convert "$f" -depth 8 pam:- > "${f%.tif}.ref.pam" ;;
    tif_ycbcr.tif) convert "$f" -depth 8 ppm:- > tif_ycbcr.ref.pnm ;;
    *) tifftopnm "$f" > "${f%.tif}.ref.pnm" 2>/dev/null ;;
  esac
done

# ---- JPEG ----
convert "$tmp/photo.ppm" -quality 90 jpg_baseline.jpg
convert "$tmp/photo.ppm" -quality 90 -interlace Plane jpg_progressive.jpg
convert "$tmp/photo.ppm" -quality 90 -colorspace Gray jpg_grey.jpg
convert "$tmp/photo.ppm" -quality 90 -colorspace CMYK jpg_cmyk.jpg
pnmtojpeg --quality=85 "$tmp/photo.ppm" > jpg_netpbm.jpg
convert "$tmp/photo.ppm" -quality 90 -units PixelsPerInch -density 300 jpg_dpi.jpg
convert "$tmp/photo.ppm" -quality 90 -units PixelsPerCentimeter -density 50 jpg_dpcm.jpg
for f in jpg_*.jpg; do jpegtopnm "$f" > "${f%.jpg}.ref.pnm" 2>/dev/null; done

# ---- JPEG 2000 ----
pnmtopng -alpha="$tmp/alpha.pgm" "$tmp/base.ppm" > "$tmp/rgba.png"
pnmtopng -alpha="$tmp/alpha.pgm" "$tmp/grey.pgm" > "$tmp/greyalpha.png"
opj_compress -i "$tmp/base.ppm" -o jp2_lossless.jp2 >/dev/null
opj_compress -i "$tmp/base.ppm" -o jp2_lossless.j2k >/dev/null
opj_compress -i "$tmp/photo.ppm" -r 20 -o jp2_lossy.jp2 >/dev/null
opj_compress -i "$tmp/photo.ppm" -r 20 -I -o jp2_lossy.j2k >/dev/null
opj_compress -i "$tmp/grey.pgm" -o jp2_grey.j2k >/dev/null
opj_compress -i "$tmp/grey16.pgm" -o jp2_grey16.jp2 >/dev/null
opj_compress -i "$tmp/rgba.png" -o jp2_rgba.jp2 >/dev/null
opj_compress -i "$tmp/greyalpha.png" -o jp2_greyalpha.jp2 >/dev/null
convert "$tmp/base.ppm" -quality 0 jp2_im.jp2
pamtojpeg2k "$tmp/base.ppm" > jp2_netpbm.j2k
for f in jp2_*.jp2 jp2_*.j2k; do
  ref=${f%.*}.${f##*.}
  case $f in
    jp2_rgba.jp2 | jp2_greyalpha.jp2)
      opj_decompress -i "$f" -o "$tmp/dec.png" >/dev/null
      pngtopam -alphapam "$tmp/dec.png" > "${ref}.ref.pam" ;;
    jp2_grey*.j*)
      opj_decompress -i "$f" -o "$tmp/dec.pgm" >/dev/null
      cp "$tmp/dec.pgm" "${ref}.ref.pnm" ;;
    *)
      opj_decompress -i "$f" -o "$tmp/dec.ppm" >/dev/null
      cp "$tmp/dec.ppm" "${ref}.ref.pnm" ;;
  esac
done
