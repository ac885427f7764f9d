#!/usr/bin/env bash
# The built program in a real X server (Xvfb): quick screenshots (F2) taken while a movie plays.
# Every saved file must be exactly one of the movie's frames, the one its name gives (the video
# thread rewrites the picture while it is saved, and its frame number moves on meanwhile).
#
#   e2e_screenshot.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 150
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

key='\Software\Velkarn\Tavelo\3.1.0\'
"$settings" float "$key" UpdateNextDate 200000
"$settings" str "$key" ScreenshotFolder "$work/shots/"
"$settings" str "$key" ScreenshotExt ".png"

# Uncompressed, so that the program's pictures and ffmpeg's are the same to the bit; a moving
# pattern, so that every frame differs from every other everywhere.
ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=14" -c:v rawvideo -pix_fmt bgr24 "$work/media/movie.avi"

"$prog" "/play=$work/media/movie.avi" > "$work/play.log" 2>&1 &
pid=$!; pids+=("$pid")
win=$(wait_window '^Tavelo 3\.1\.0 - movie\.avi' 20) || fail "no window for the movie"
sleep 1
focus_window "$win"
shots=8
for _ in $(seq "$shots"); do
  xdotool key F2
  sleep 0.6
done
deadline=$((SECONDS + 20))
while [ "$(find "$work/shots" -name 'movie_*.png' | wc -l)" -lt "$shots" ]; do
  [ $SECONDS -lt $deadline ] || fail "only $(find "$work/shots" -name 'movie_*.png' | wc -l) of $shots screenshots were saved"
  sleep 0.2
done
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "the program ended while the screenshots were taken"

for shot in "$work/shots"/movie_*.png; do
  name=$(basename "$shot" .png)
  frame=$((10#${name#movie_}))  # counted from 1
  ff -i "$work/media/movie.avi" -vf "select=eq(n\,$((frame - 1)))" -frames:v 1 "$work/frame.png"
  diff=$(compare -metric AE "$shot" "$work/frame.png" null: 2>&1) || true
  [ "$diff" = "0" ] || fail "$name.png differs from frame $frame of the movie in $diff pixels"
done

exit_by_menu "$win"
rc=0; wait_exit "$pid" 20 || rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc"
echo "e2e_screenshot.sh: $shots screenshots while playing, each one whole frame, the one named"
