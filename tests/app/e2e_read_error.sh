#!/usr/bin/env bash
# A file cut short while it plays (truncate, a stick pulled out), then Pause and Play: the
# program shows the error in place of the picture, keeps answering and exits 0 through File >
# Exit. Meaningful under the address sanitizer too (a freed sound block written to, a seek past
# the file's end in the demuxer), where CI runs it.
#
#   e2e_read_error.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 110
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

"$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000

video="testsrc2=size=160x120:rate=25:duration=8"
sound="sine=frequency=440:sample_rate=22050:duration=8"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mpeg4 -c:a pcm_s16le "$work/media/cut.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v libtheora -c:a libvorbis "$work/media/cut.ogv"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -c:v mpeg2video -c:a mp2 -f vob "$work/media/cut.mpg"
ff -f lavfi -i "$sound" -c:a pcm_s16le "$work/media/cut.wav"

for name in cut.avi cut.ogv cut.mpg cut.wav; do
  file=$work/media/$name
  base=${name/./_}
  "$prog" "/play=$file" > "$work/$base.log" 2>&1 &
  pid=$!; pids+=("$pid")
  win=$(wait_window "^Tavelo 3\\.1\\.0 - ${name//./\\.}" 30) || fail "$name: no window"
  sleep 1.5
  truncate -s 1000 "$file"
  sleep 1
  focus_window "$win"
  xdotool key space   # Pause
  sleep 0.7
  xdotool key space   # Play: reads where the file no longer reaches
  sleep 2
  kill -0 "$pid" 2>/dev/null || { rc=0; wait "$pid" || rc=$?; fail "$name: the program ended ($rc) after the read error"; }
  import -window root "$work/$base.png"
  # Still answering: the File menu opens and Exit ends the program normally.
  exit_by_menu "$win"
  rc=0; wait_exit "$pid" 30 || rc=$?
  [ "$rc" -eq 0 ] || fail "$name: exit $rc after the read error"
  if [ -n "${TAVELO_E2E_SHOTS:-}" ]; then cp "$work/$base.png" "$TAVELO_E2E_SHOTS/"; fi
done
echo "e2e_read_error.sh: four files cut short while playing, no crash, exit 0 in $SECONDS s"
