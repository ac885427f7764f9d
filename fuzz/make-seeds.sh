#!/usr/bin/env bash
# Remakes the seed corpora in fuzz/corpus/ from real encoders (the test media generator's TGA,
# PCX and BMP files; small GIF animations by ImageMagick and FFmpeg; short WAV files by FFmpeg and
# sox) and from fuzz_seed_writer (FLIC, ZMV, strips, names, command lines, conversion records,
# store files). Seeds are kept small: the targets read every one in every CI run.
#
#   bash fuzz/make-seeds.sh BUILD_DIR     (a build configured with -DTAVELO_FUZZ=ON)
#
# The former crashers in fuzz/crashers/ are never touched.
set -euo pipefail
build=${1:?usage: make-seeds.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
corpus="$here/corpus"
for tool in ffmpeg sox convert pnmtosgi pnmtorast ppmtoxpm pamtopnm; do
  command -v "$tool" >/dev/null || { echo "make-seeds.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
cmake --build "$build" --target fuzz_seed_writer >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

targets=(tga pcx bmp gif flic zmv zmv_strip wav snd_convert seq_name cmd_line registry_store
         sgi sun pnm bay xpm avi packed_blob cine update_file)
for t in "${targets[@]}"; do
  rm -rf "${corpus:?}/$t"
  mkdir -p "$corpus/$t"
done

# TGA, PCX and BMP: the test media generator's 37 x 23 pictures (netpbm, FFmpeg, ImageMagick).
mkdir -p "$tmp/formats"
bash "$root/tests/data/generate/formats.sh" "$tmp/formats" >/dev/null
for f in nb_rgb_rle nb_cmap_rle nb_grey_raw ff_bgr24_raw ff_bgra_rle ff_rgb555_rle ff_pal8_rle; do
  cp "$tmp/formats/$f.tga" "$corpus/tga/"
done
for f in nb_24 nb_8 nb_4planes nb_4packed nb_1 ff_24 ff_8; do
  cp "$tmp/formats/$f.pcx" "$corpus/pcx/"
done
for f in im_8_rle im_4 im_1 im_v5_24 im_os2_8 nb_4 ff_32 ff_555 ff_565; do
  cp "$tmp/formats/$f.bmp" "$corpus/bmp/"
done

# GIF: a still picture, interlaced, transparent, every disposal method over partial frames with
# local palettes, optimized layers, and FFmpeg's encoder with one global palette.
g="$corpus/gif"
convert -size 19x13 gradient:red-blue "$g/still.gif"
convert -size 17x11 gradient:green-yellow -interlace GIF "$g/interlaced.gif"
convert -size 21x15 xc:none -fill red -draw "circle 10,7 10,2" "$g/transparent.gif"
convert -delay 10 -dispose None -size 24x16 xc:skyblue \
  -dispose Background \( -size 8x6 xc:red -repage +2+2 \) \
  -dispose Previous \( -size 8x6 plasma:green-yellow -repage +10+5 \) \
  -dispose None \( -size 5x5 xc:yellow -repage +15+9 \) \
  -loop 0 "$g/dispose.gif"
convert -delay 20 -size 16x12 gradient:red-blue \( -size 16x12 gradient:blue-red \) \
  \( -size 16x12 xc:white -fill black -draw "rectangle 4,4 9,8" \) -loop 0 -layers optimize "$g/optimized.gif"
ff -f lavfi -i "testsrc=size=24x16:rate=10:duration=0.3" "$g/ffmpeg.gif"

# WAV: short sounds in every stored format the conversion knows.
w="$corpus/wav"
ff -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.05" -ac 2 -c:a pcm_s16le "$tmp/src.wav"
ff -i "$tmp/src.wav" -ac 1 -c:a pcm_u8 -metadata title="Odd!" "$w/pcm8_list.wav"
ff -i "$tmp/src.wav" -c:a pcm_s16le "$w/pcm16_stereo.wav"
sox "$tmp/src.wav" -b 24 -e signed-integer "$w/pcm24.wav"
sox "$tmp/src.wav" -c 1 -e floating-point -b 32 "$w/float32.wav"
ff -i "$tmp/src.wav" -c:a adpcm_ima_wav "$w/ima.wav"
sox "$tmp/src.wav" -c 1 -e ms-adpcm "$w/msadpcm.wav"
ff -i "$tmp/src.wav" -c:a pcm_alaw "$w/alaw.wav"
sox "$tmp/src.wav" -c 1 -e u-law "$w/mulaw.wav"
ff -i "$tmp/src.wav" -ac 1 -c:a libgsm_ms "$w/gsm.wav"
ff -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=0.2" -c:a libmp3lame -b:a 32k "$w/mp3.wav"

# SGI, Sun raster, PNM and XPM: small pictures by ImageMagick, netpbm and FFmpeg.
convert -size 13x9 gradient:red-blue -fill '#30c020' -draw 'rectangle 3,2 8,5' -depth 8 "$tmp/p.ppm"
convert "$tmp/p.ppm" -colors 12 "$tmp/q.ppm"
convert -size 11x7 gradient:'rgba(255,0,0,1)'-'rgba(0,0,255,0.2)' "$tmp/a.png"
convert "$tmp/p.ppm" -compress RLE "$corpus/sgi/im-rle.sgi"
convert "$tmp/p.ppm" -compress None "$corpus/sgi/im-raw.sgi"
convert "$tmp/p.ppm" -colorspace gray -compress RLE "$corpus/sgi/im-gray-rle.sgi"
convert "$tmp/a.png" -compress RLE "$corpus/sgi/im-rgba-rle.sgi"
convert "$tmp/p.ppm" -depth 16 "$corpus/sgi/im-16.sgi"
pnmtosgi "$tmp/p.ppm" >"$corpus/sgi/nb-rle.sgi" 2>/dev/null
convert "$tmp/p.ppm" "$corpus/sun/im-24.ras"
convert "$tmp/a.png" "$corpus/sun/im-32.ras"
pnmtorast -rle "$tmp/q.ppm" >"$corpus/sun/nb-8-rle.ras" 2>/dev/null
pnmtorast -standard "$tmp/q.ppm" >"$corpus/sun/nb-8.ras" 2>/dev/null
ff -i "$tmp/p.ppm" -pix_fmt bgr24 -f image2 -c:v sunrast -rle 1 "$corpus/sun/ff-24-rle.ras"
convert "$tmp/p.ppm" -compress None "$corpus/pnm/plain.ppm"
cp "$tmp/p.ppm" "$corpus/pnm/raw.ppm"
convert "$tmp/p.ppm" -colorspace gray -compress None "$corpus/pnm/plain.pgm"
convert "$tmp/p.ppm" -colorspace gray -depth 16 "$corpus/pnm/raw16.pgm"
convert "$tmp/p.ppm" -monochrome -compress None "$corpus/pnm/plain.pbm"
convert "$tmp/p.ppm" -monochrome "$corpus/pnm/raw.pbm"
convert "$tmp/a.png" "$corpus/pnm/rgba.pam"
cat "$tmp/p.ppm" "$tmp/q.ppm" "$tmp/p.ppm" >"$corpus/pnm/three-images.ppm"
convert "$tmp/p.ppm" "$corpus/xpm/im.xpm"
convert "$tmp/a.png" "$corpus/xpm/im-alpha.xpm"
ppmtoxpm "$tmp/q.ppm" >"$corpus/xpm/nb.xpm" 2>/dev/null

# AVI: a few frames with sound in the stored formats the readers handle, by FFmpeg.
v="testsrc=size=16x12:rate=5:duration=0.6"
s="sine=frequency=440:sample_rate=8000:duration=0.6"
a="$corpus/avi"
ff -f lavfi -i "$v" -f lavfi -i "$s" -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le "$a/raw-bgr24.avi"
ff -f lavfi -i "$v" -f lavfi -i "$s" -c:v rawvideo -pix_fmt pal8 -c:a pcm_u8 "$a/raw-pal8.avi"
ff -f lavfi -i "$v" -f lavfi -i "$s" -c:v rawvideo -pix_fmt rgb555le -c:a adpcm_ima_wav "$a/raw-rgb555.avi"
ff -f lavfi -i "$v" -f lavfi -i "$s" -c:v mjpeg -q:v 8 -c:a adpcm_ms "$a/mjpeg.avi"
ff -f lavfi -i "$v" -c:v msvideo1 -g 3 "$a/msvideo1.avi"
ff -f lavfi -i "$v" -f lavfi -i "$s" -c:v mpeg4 -g 3 -q:v 8 -c:a libmp3lame -b:a 32k -ar 22050 "$a/mpeg4-mp3.avi"

# A JPEG for a packed-picture blob of method 8 (16 x 12, as seed_writer expects).
ff -f lavfi -i "testsrc=size=16x12" -frames:v 1 "$tmp/blob.jpg"

# Update files: a newer release with its description, the running release, a description past
# character 98, bare LF and CR line ends, names in lower case and repeated, an empty reply.
u="$corpus/update_file"
printf 'UPDATE_NAME=Tavelo\r\nUPDATE_VER=3.2.0\r\nUPDATE_DATE=2010-02-03\r\nUPDATE_DESC=Faster start\r\nUPDATE_DESC=  New formats  \r\nUPDATE_WHATSNEW_URL=https://www.tavelo.org/new.html\r\nUPDATE_URL=https://www.tavelo.org/download.html\r\n' >"$u/newer.update"
printf 'UPDATE_NAME=Tavelo\r\nUPDATE_VER=3.1.0\r\nUPDATE_DATE=2009-05-21\r\nUPDATE_URL=https://www.tavelo.org/\r\n' >"$u/same.update"
printf 'UPDATE_NAME=Tavelo\r\nUPDATE_VER=3.2.0\r\nUPDATE_DATE=2010-01-02\r\nUPDATE_URL=http://dl/\r\n########################################\r\nUPDATE_DESC=too late\r\n' >"$u/late-description.update"
printf 'update_name=a\nUPDATE_NAME=b\rUPDATE_DESC=x\nUPDATE_DESC=y\r\nUPDATE_DATE=2010-13-40\nUPDATE_URL=' >"$u/odd-lines.update"
: >"$u/empty.update"

# The rest, one conversion seed per WAV seed and one blob per JPEG.
"$build/fuzz/fuzz_seed_writer" "$corpus" "$w"/*.wav "$tmp/blob.jpg"
du -sh "$corpus"
