#!/usr/bin/env bash
# The built program in a real X server (Xvfb, no window manager), driven from outside. Mode
# "run-script":
#  1. scripts/run.sh opens the main window; File > Exit closes it.
# Mode "program":
#  0. Without a reachable display the program says so in one line and exits 1.
#  2. A movie named with /play and /close plays to its end and the program exits 0.
#  3. With the movie open, F2 (Quick Screenshot) brings up the save dialog (no screenshot folder
#     yet); a typed PNG path saves frame 1, which must decode to the movie's first frame. A second
#     F2 saves without a dialog, in the same folder with the same extension.
#  4. The Open shortcut shows the open dialog; a typed path opens another movie.
#
#   end_to_end.sh run-script|program TAVELO TAVELO_SETTINGS
set -euo pipefail
usage="usage: end_to_end.sh run-script|program TAVELO TAVELO_SETTINGS"
mode=${1:?$usage}
prog=$(realpath "${2:?$usage}")
settings=$(realpath "${3:?$usage}")
case "$mode" in run-script|program) ;; *) echo "$usage" >&2; exit 2 ;; esac
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

# No update question at start (it would wait for an answer).
"$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000

if [ "$mode" = run-script ]; then
  # 1. scripts/run.sh starts the program in this build.
  TAVELO_BUILD_DIR=$(dirname "$prog") bash "$src/scripts/run.sh" > "$work/run.log" 2>&1 &
  pid=$!; pids+=("$pid")
  win=$(wait_window '^Tavelo 3\.1\.0' 40) || fail "scripts/run.sh showed no main window"
  exit_by_menu "$win"
  wait_exit "$pid" 10 || fail "the program did not exit through File > Exit"
  echo "end_to_end.sh: scripts/run.sh opened the window in $SECONDS s"
  exit 0
fi

# 0. Without a display the program says so in one line and ends with 1 (no toolkit abort).
for display in "" ":987"; do
  rc=0; out=$(env -u WAYLAND_DISPLAY DISPLAY="$display" "$prog" 2>&1 >/dev/null) || rc=$?
  [ "$rc" -eq 1 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "with DISPLAY='$display': exit $rc, said: $out"
done

ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1.2" -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=1.2" \
   -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le -shortest "$work/media/movie.avi"
ff -f lavfi -i "testsrc=size=96x64:rate=10:duration=1" -c:v rawvideo -pix_fmt bgr24 "$work/media/other.avi"
ff -i "$work/media/movie.avi" -frames:v 1 "$work/frame1.png"

# 2. Play to the end and close.
start=$SECONDS
"$prog" "/play=$work/media/movie.avi" /close > "$work/play.log" 2>&1 &
pid=$!; pids+=("$pid")
wait_window '^Tavelo 3\.1\.0 - movie\.avi' 20 > /dev/null || fail "no window for the movie"
rc=0; wait_exit "$pid" 20 || rc=$?
[ "$rc" -eq 0 ] || fail "playing with /close ended with $rc"
[ $((SECONDS - start)) -ge 1 ] || fail "the program closed before the movie could have played"

# 3. Screenshots.
"$prog" "/open=$work/media/movie.avi" > "$work/open.log" 2>&1 &
pid=$!; pids+=("$pid")
win=$(wait_window '^Tavelo 3\.1\.0 - movie\.avi' 20) || fail "no window for the open movie"
sleep 0.5
focus_window "$win"
xdotool key F2
wait_window '^Save Image' 15 > /dev/null || fail "F2 without a screenshot folder showed no save dialog"
sleep 0.3
xdotool key ctrl+a
xdotool type --delay 2 "$work/shots/first.png"
xdotool key Return
wait_file "$work/shots/first.png" 10 || fail "the screenshot was not saved"
diff=$(compare -metric AE "$work/shots/first.png" "$work/frame1.png" null: 2>&1) || true
[ "$diff" = "0" ] || fail "the screenshot differs from the movie's first frame in $diff pixels"
sleep 0.3
focus_window "$win"
xdotool key F2
wait_file "$work/shots/movie_00001.png" 10 || fail "the quick screenshot did not go to the last folder as PNG"

# 4. The Open shortcut and a typed path.
xdotool key o
wait_window '^Open File' 15 > /dev/null || fail "the Open shortcut showed no open dialog"
sleep 0.3
xdotool key ctrl+a
xdotool type --delay 2 "$work/media/other.avi"
xdotool key Return
wait_window '^Tavelo 3\.1\.0 - other\.avi' 15 > /dev/null || fail "the typed file was not opened"
exit_by_menu "$win"
rc=0; wait_exit "$pid" 10 || rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc"
echo "end_to_end.sh: all steps passed in $SECONDS s"
