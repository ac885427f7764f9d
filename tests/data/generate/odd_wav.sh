#!/usr/bin/env bash
# PCM WAV files whose format the WAV unit's conversion cannot take, their headers written by
# Python from a 16-bit tone: 12-bit samples (in 16-bit containers, low bits clear) and a block
# alignment that is not one sample of every channel. FFmpeg reads both. Also MPEG layer 3 as
# ffmpeg writes it by default (a variable rate: a byte rate of 0), with FFmpeg's decode as
# 16-bit PCM (mp3_vbr.pcm) and its sample frame count (mp3_vbr.samples).
set -euo pipefail
out=${1:?usage: odd_wav.sh OUTPUT_DIR}
for tool in ffmpeg ffprobe python3; do
  command -v "$tool" >/dev/null || { echo "odd_wav.sh: $tool is missing" >&2; exit 1; }
done
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=1" \
  -ac 2 -c:a pcm_s16le -f s16le "$out/tone.s16"
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
pcm = open(out + "/tone.s16", "rb").read()
def wav(name, bits, align, data):
    fmt = struct.pack("<HHIIHH", 1, 2, 22050, 22050 * align, align, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    open(out + "/" + name, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)
words = struct.unpack("<%dh" % (len(pcm) // 2), pcm)
wav("pcm12.wav", 12, 4, struct.pack("<%dh" % len(words), *[w & ~15 for w in words]))
wav("align6.wav", 16, 6, pcm[: len(pcm) // 6 * 6])
PY

ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi \
  -i "aevalsrc=0.5*sin(2*PI*523*t)|0.3*sin(2*PI*(200+900*t)*t):s=44100:d=2.3" -c:a mp3 "$out/mp3_vbr.wav"
ffmpeg -hide_banner -loglevel error -nostdin -y -i "$out/mp3_vbr.wav" -f s16le -c:a pcm_s16le "$out/mp3_vbr.pcm"
ffprobe -v error -select_streams a:0 -show_entries frame=nb_samples -of csv=p=0 "$out/mp3_vbr.wav" |
  awk '{ n += $1 } END { print n }' >"$out/mp3_vbr.samples"
