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
for tool in ffmpeg sox convert; do
  command -v "$tool" >/dev/null || { echo "make-seeds.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
cmake --build "$build" --target fuzz_seed_writer >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

targets=(tga pcx bmp gif flic zmv zmv_strip wav snd_convert seq_name cmd_line registry_store)
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

# The rest, and one conversion seed per WAV seed.
"$build/fuzz/fuzz_seed_writer" "$corpus" "$w"/*.wav
du -sh "$corpus"
