#!/usr/bin/env bash
# WAV files for the WAV unit, written by ffmpeg and sox: PCM of 8 and 16 bits in mono and stereo
# (some with LIST and bext chunks, odd-sized sub-chunks and an odd-sized data chunk), IMA and MS
# ADPCM, A-law, mu-law, GSM 6.10 and MPEG audio layer 3, and the extensible format (24-bit PCM
# and float). Beside each <name>.wav:
#   <name>.pcm      FFmpeg's decode in the PCM the unit delivers (8-bit files as unsigned 8-bit,
#                   24-bit ones as signed 24-bit, all others as signed 16-bit little-endian),
#                   interleaved;
#   <name>.samples  the number of sample frames ffprobe decodes from it.
set -euo pipefail
out=${1:?usage: wav.sh OUTPUT_DIR}
for tool in ffmpeg ffprobe sox; do
  command -v "$tool" >/dev/null || { echo "wav.sh: $tool is missing" >&2; exit 1; }
done
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

# A tone, a sweep and some noise, different on the two channels, faded in.
src="$out/source.wav"
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*523*t)+0.2*sin(2*PI*(100+1500*t)*t)|0.4*sin(2*PI*330*t)+0.08*(random(0)-0.5):s=44100:d=1.7" \
  -af "afade=t=in:d=0.04" -c:a pcm_s16le "$src"

# PCM. The first has a LIST chunk (with an odd-sized title) before an odd-sized data chunk.
ff -i "$src" -ar 11025 -ac 1 -c:a pcm_u8 -metadata title="Odd!" -metadata artist="Velkarn" "$out/pcm8_mono.wav"
ff -i "$src" -c:a pcm_s16le -write_bext 1 -metadata comment="bext and LIST" "$out/pcm16_stereo.wav"
sox "$src" -r 22050 -c 2 -b 8 -e unsigned-integer "$out/pcm8_stereo.wav"
sox "$src" -r 16000 -c 1 -b 16 -e signed-integer "$out/pcm16_mono.wav"
# Exactly 10000 sample frames of 8-bit mono.
ff -i "$src" -ac 1 -af "aresample=8000,atrim=end_sample=10000" -c:a pcm_u8 "$out/pcm_10000.wav"

# Compressed formats.
ff -i "$src" -ar 22050 -c:a adpcm_ima_wav "$out/ima_ffmpeg.wav"
sox "$src" -r 11025 -c 1 -e ima-adpcm "$out/ima_sox.wav"
ff -i "$src" -ar 22050 -c:a adpcm_ms "$out/msadpcm_ffmpeg.wav"
sox "$src" -r 16000 -c 2 -e ms-adpcm "$out/msadpcm_sox.wav"
ff -i "$src" -ar 8000 -c:a pcm_alaw "$out/alaw.wav"
sox "$src" -r 8000 -c 1 -e u-law "$out/mulaw.wav"
ff -i "$src" -ar 8000 -ac 1 -c:a libgsm_ms "$out/gsm_ffmpeg.wav"
sox "$src" -r 8000 -c 1 -e gsm-full-rate "$out/gsm_sox.wav"
ff -i "$src" -c:a libmp3lame -b:a 128k "$out/mp3.wav"

# The extensible format (its sub-format names PCM or float), as ffmpeg and sox write it.
ff -i "$src" -c:a pcm_s24le "$out/ext24_ffmpeg.wav"
sox "$src" -r 22050 -c 1 -b 24 -e signed-integer "$out/ext24_sox.wav"
ff -i "$src" -c:a pcm_f32le "$out/extfloat_ffmpeg.wav"

for f in "$out"/*.wav; do
  name=$(basename "$f" .wav)
  [ "$name" = source ] && continue
  bits=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$f")
  if [ "$bits" = pcm_u8 ]; then
    ff -i "$f" -f u8 -c:a pcm_u8 "$out/$name.pcm"
  elif [ "$bits" = pcm_s24le ]; then
    ff -i "$f" -f s24le -c:a pcm_s24le "$out/$name.pcm"
  else
    ff -i "$f" -f s16le -c:a pcm_s16le "$out/$name.pcm"
  fi
  ffprobe -v error -select_streams a:0 -show_entries frame=nb_samples -of csv=p=0 "$f" |
    awk '{ n += $1 } END { print n }' >"$out/$name.samples"
done
rm -f "$src"
