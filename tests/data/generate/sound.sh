#!/usr/bin/env bash
# Sound fixtures: WAV files in every stored format the conversion streams decode, written by
# ffmpeg and sox, each with FFmpeg's own decode of it to 16-bit PCM (<name>.s16, interleaved,
# little-endian) and the number of sample frames ffprobe decodes from it (<name>.samples).
set -euo pipefail
out=${1:?usage: sound.sh OUTPUT_DIR}
for tool in ffmpeg ffprobe sox; do
  command -v "$tool" >/dev/null || { echo "sound.sh: $tool is missing" >&2; exit 1; }
done
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

# A source with some life in it: two tones and a sweep on the left, a tone and quiet noise on
# the right, with a short fade so the start and end are not silent.
src="$out/source.wav"
ff -f lavfi -i "aevalsrc=0.45*sin(2*PI*440*t)+0.25*sin(2*PI*(200+900*t)*t)+0.1*sin(2*PI*3150*t)|0.5*sin(2*PI*660*t)+0.05*(random(0)-0.5):s=44100:d=2.3" \
  -af "afade=t=in:d=0.05" -c:a pcm_s16le "$src"

ff -i "$src" -ar 22050 -c:a adpcm_ima_wav "$out/ima_ffmpeg.wav"
sox "$src" -r 11025 -c 1 -e ima-adpcm "$out/ima_sox.wav"
ff -i "$src" -ar 22050 -c:a adpcm_ms "$out/msadpcm_ffmpeg.wav"
sox "$src" -r 16000 -c 1 -e ms-adpcm "$out/msadpcm_sox.wav"
ff -i "$src" -ar 8000 -c:a pcm_alaw "$out/alaw.wav"
sox "$src" -r 8000 -c 1 -e u-law "$out/mulaw.wav"
ff -i "$src" -ar 8000 -ac 1 -c:a libgsm_ms "$out/gsm_ffmpeg.wav"
sox "$src" -r 8000 -c 1 -e gsm-full-rate "$out/gsm_sox.wav"
ff -i "$src" -c:a libmp3lame -b:a 128k "$out/mp3_stereo.wav"
ff -i "$src" -ar 22050 -ac 1 -c:a libmp3lame -b:a 32k "$out/mp3_mono22k.wav"
ff -i "$src" -c:a mp2 -b:a 192k "$out/mp2.wav"
# ffmpeg writes floats with the extensible header; sox's wavpcm keeps the plain tag 3.
sox "$src" -t wavpcm -r 22050 -e floating-point -b 32 "$out/float.wav"

for f in ima_ffmpeg ima_sox msadpcm_ffmpeg msadpcm_sox alaw mulaw gsm_ffmpeg gsm_sox mp3_stereo mp3_mono22k mp2 float; do
  ff -i "$out/$f.wav" -f s16le -c:a pcm_s16le "$out/$f.s16"
  ffprobe -v error -select_streams a:0 -show_entries frame=nb_samples -of csv=p=0 "$out/$f.wav" |
    awk '{ n += $1 } END { print n }' >"$out/$f.samples"
done
