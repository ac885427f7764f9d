#!/usr/bin/env bash
# Movies and sound for the codec libraries over the shared FFmpeg reader, all written by FFmpeg:
#   MPEG-1 and MPEG-2 program streams with MP2 sound, a PAL video CD (2324-byte packs), an SVCD and
#   a DVD stream (AC3 sound) whose bit rates fall inside their kinds' rules, a raw MPEG-2 video
#   stream (.m2v); MP2, MP3 (also at a low sampling rate) and AC3 sound files;
#   Ogg Theora with Vorbis, and Vorbis alone;
#   Windows Media: WMV1 with WMA1, WMV2 with WMA2, and WMA alone.
# The pictures move (testsrc2) and the MPEG ones use B-frames, so decoding order differs from
# display order.
set -euo pipefail
out=${1:?usage: codec_movies.sh OUTPUT_DIR}
command -v ffmpeg >/dev/null || { echo "codec_movies.sh: ffmpeg is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
ff() { ffmpeg -v error -nostdin -y "$@"; }
video() { echo "testsrc2=size=$1:rate=$2:duration=$3"; }
sound() { echo "sine=frequency=440:beep_factor=3:sample_rate=$1:duration=$2"; }

# MPEG.
ff -f lavfi -i "$(video 320x240 25 3)" -f lavfi -i "$(sound 44100 3)" -ac 2 \
  -c:v mpeg1video -b:v 1500k -bf 2 -g 12 -c:a mp2 -b:a 192k -f mpeg "$out/mpeg1.mpg"
ff -f lavfi -i "$(video 352x288 25 2)" -f lavfi -i "$(sound 44100 2)" -target pal-vcd "$out/vcd.mpg"
ff -f lavfi -i "$(video 352x288 25 3)" -f lavfi -i "$(sound 48000 3)" -ac 2 \
  -c:v mpeg2video -b:v 2000k -bf 2 -g 12 -c:a mp2 -b:a 192k -f vob "$out/mpeg2.mpg"
ff -f lavfi -i "$(video 480x576 25 1)" -f lavfi -i "$(sound 44100 1)" -target pal-svcd \
  -b:v 2000k -maxrate:v 2400k "$out/svcd.mpg"
ff -f lavfi -i "$(video 720x576 25 1)" -f lavfi -i "$(sound 48000 1)" -target pal-dvd \
  -b:v 4000k -maxrate:v 6000k "$out/dvd.vob"
ff -f lavfi -i "$(video 320x240 25 2)" -c:v mpeg2video -b:v 1500k -bf 2 -f mpeg2video "$out/raw.m2v"
ff -f lavfi -i "$(sound 44100 2)" -ac 2 -c:a mp2 -b:a 192k "$out/tone.mp2"
ff -f lavfi -i "$(sound 44100 2)" -c:a libmp3lame -b:a 128k "$out/tone.mp3"
ff -f lavfi -i "$(sound 22050 2)" -c:a libmp3lame -b:a 64k "$out/lsf.mp3"
ff -f lavfi -i "$(sound 48000 2)" -ac 2 -c:a ac3 -b:a 192k "$out/tone.ac3"
# MPEG-2 video as ffmpeg writes it by default: I and P pictures only, none with a display time.
ff -f lavfi -i "mandelbrot=size=176x144:rate=12" -t 3 -c:v mpeg2video -f mpeg2video "$out/ip.m2v"
# An MP3 whose LAME header counts one more frame that is all padding, as LAME itself ends a file
# (its flush frame): the padding to drop starts in the frame before the last. Made from ffmpeg's
# MP3 by repeating its last frame and raising the header's frame count and padding by one frame.
ff -f lavfi -i "$(sound 44100 2)" -ac 2 -c:a libmp3lame -b:a 128k "$out/lame_flush.mp3"
python3 - "$out/lame_flush.mp3" <<'PY'
import struct, sys
name = sys.argv[1]
d = bytearray(open(name, "rb").read())
pos = 10 + ((d[6] << 21) | (d[7] << 14) | (d[8] << 7) | d[9]) if d[:3] == b"ID3" else 0
info = d.find(b"Info", pos)
tag = d.find(b"Lavc", info)
assert info > 0 and tag > info and struct.unpack(">I", d[info + 4:info + 8])[0] & 1
frames = struct.unpack(">I", d[info + 8:info + 12])[0]
d[info + 8:info + 12] = struct.pack(">I", frames + 1)
v = int.from_bytes(d[tag + 21:tag + 24], "big")
d[tag + 21:tag + 24] = ((v & ~0xFFF) | ((v & 0xFFF) + 1152)).to_bytes(3, "big")
# The frames: MPEG-1 layer 3 at 128 kbit/s and 44.1 kHz, 417 bytes and a padding byte.
at, last = pos, None
while at + 4 <= len(d) and d[at] == 0xFF and (d[at + 1] & 0xE0) == 0xE0:
    last = (at, 417 + ((d[at + 2] >> 1) & 1))
    at += last[1]
assert last is not None and at == len(d)
d += d[last[0]:last[0] + last[1]]
open(name, "wb").write(d)
PY

# Ogg.
ff -f lavfi -i "$(video 320x240 25 3)" -f lavfi -i "$(sound 44100 3)" -ac 2 \
  -c:v libtheora -q:v 6 -g 15 -c:a libvorbis -q:a 3 "$out/theora.ogv"
ff -f lavfi -i "$(sound 44100 2)" -ac 2 -c:a libvorbis -q:a 3 "$out/vorbis.ogg"
# A sound shorter than one page whose last packet's padding is cut by the page's end position.
ff -f lavfi -i "sine=frequency=440:sample_rate=44100" -af atrim=end_sample=2546 -ac 2 -c:a libvorbis "$out/short.oga"

# Windows Media.
ff -f lavfi -i "$(video 320x240 25 3)" -f lavfi -i "$(sound 44100 3)" -ac 2 \
  -c:v wmv1 -b:v 800k -g 25 -c:a wmav1 -b:a 64k "$out/wmv1.wmv"
ff -f lavfi -i "$(video 320x240 25 3)" -f lavfi -i "$(sound 44100 3)" -ac 2 \
  -c:v wmv2 -b:v 800k -g 25 -c:a wmav2 -b:a 64k "$out/wmv2.wmv"
ff -f lavfi -i "$(sound 44100 2)" -ac 2 -c:a wmav2 -b:a 64k "$out/tone.wma"
