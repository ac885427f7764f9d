#!/usr/bin/env bash
# AVI fixtures written by ffmpeg: every video codec and sound format the AVI readers must handle,
# each with FFmpeg's own decode beside it:
#   <name>.bgr24   every decoded picture as B, G, R rows, top-down (FFmpeg's decode and conversion)
#   <name>.rgb555  the same as 5-5-5 words, for the 16-bit raw file
#   <name>.pts     the frame number (timestamp) of each decoded picture, one a line: an AVI frame
#                  without data (an empty chunk) shows the picture before it
#   <name>.s16     the sound as interleaved 16-bit PCM
#   <name>.probe   what ffprobe reports: key=value lines (frames, rate, size, sound format)
#   <name>.samples the sample frames ffprobe decodes from the sound
#   <name>.keys    the frame numbers (timestamps) of the key-frame packets, one a line
# Movies are 96 x 72 at 12 frames per second, 30 frames, with a key frame every 6 frames where
# the codec has inter frames.
set -euo pipefail
out=${1:?usage: avi.sh OUTPUT_DIR}
for tool in ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "avi.sh: $tool is missing" >&2; exit 1; }
done
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

video="testsrc2=size=96x72:rate=12:duration=2.5"
sound="aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*(300+700*t)*t)|0.4*sin(2*PI*550*t):s=44100:d=2.5"

ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le "$out/raw_bgr24.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v rawvideo -pix_fmt pal8 -ar 22050 -ac 1 -c:a pcm_u8 "$out/raw_pal8.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v rawvideo -pix_fmt rgb555le -ar 22050 -c:a adpcm_ima_wav \
  "$out/raw_rgb555.avi"
ff -f lavfi -i "$video" -c:v rawvideo -pix_fmt bgra "$out/raw_bgra.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mjpeg -q:v 4 -ar 22050 -c:a adpcm_ms "$out/mjpeg.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mpeg4 -g 6 -q:v 5 -ar 22050 -ac 1 -c:a libmp3lame -b:a 32k \
  "$out/mpeg4.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v msmpeg4 -g 6 -q:v 5 -c:a pcm_s16le "$out/msmpeg4v3.avi"
ff -f lavfi -i "$video" -c:v msvideo1 -g 6 "$out/msvideo1.avi"
ff -f lavfi -i "$video" -c:v cinepak -g 6 "$out/cinepak.avi"
ff -f lavfi -i "$video" -c:v zmbv -pix_fmt pal8 -g 6 "$out/zmbv.avi"
# A sound format the audio conversion does not know (AAC), and a container that is not AVI.
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mpeg4 -g 6 -q:v 5 -c:a aac -b:a 96k "$out/mpeg4_aac.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mpeg4 -g 6 -q:v 5 -c:a pcm_s16le "$out/mpeg4_pcm.mkv"

for f in "$out"/*.avi "$out"/*.mkv; do
  name=${f%.*}
  ff -i "$f" -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt bgr24 "$name.bgr24"
  ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 "$f" >"$name.pts"
  ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags -of csv=p=0 "$f" |
    awk -F, '$2 ~ /K/ { print $1 }' >"$name.keys"
  probe() { ffprobe -v error -select_streams "$1" -show_entries "stream=$2" -of default=noprint_wrappers=1 "$f"; }
  {
    probe v:0 nb_frames,r_frame_rate,width,height,codec_tag_string
    if ffprobe -v error -select_streams a:0 -show_entries stream=index -of csv=p=0 "$f" | grep -q .; then
      probe a:0 codec_tag,sample_rate,channels,bits_per_sample | sed 's/^/audio_/'
    fi
  } >"$name.probe"
  if grep -q '^audio_' "$name.probe"; then
    ff -i "$f" -map 0:a:0 -f s16le -c:a pcm_s16le "$name.s16"
    ffprobe -v error -select_streams a:0 -show_entries frame=nb_samples -of csv=p=0 "$f" |
      awk '{ n += $1 } END { print n }' >"$out/$(basename "$name").samples"
  fi
done
ff -i "$out/raw_rgb555.avi" -fps_mode passthrough -f rawvideo -pix_fmt rgb555le "$out/raw_rgb555.rgb555"
