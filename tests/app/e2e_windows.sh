#!/usr/bin/env bash
# The program's windows fit what they show and the screen (Xvfb 1280x1024 with openbox), checked
# from outside:
#  1. File Info (F5) of a GIF in a deep folder and of a TIFF of 72 x 150 dpi: the window lies on
#     the screen and is wide enough for its three columns (wider than the designed 800 pixels when
#     the columns need it, never past the screen).
#  2. Options (T): on the screen, at least its designed 414 x 275.
#  3. File Formats (View menu): on the screen, at least its designed 403 x 316.
#  4. Current Frame Info (F6) of the TIFF, whose name has 199 characters: the box is on the screen.
# With TAVELO_E2E_SHOTS=DIR the screenshots of each window are kept there (to be looked at).
#
#   e2e_windows.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 120
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

shots=${TAVELO_E2E_SHOTS:-$work/shots}
mkdir -p "$shots"
"$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000
start_window_manager

deep="$work/media/a folder with a rather long name for the pictures of the summer/and one more level"
mkdir -p "$deep"
ff -f lavfi -i "testsrc=size=320x240:rate=5:duration=0.6" "$deep/animation.gif"
# The TIFF's name is long enough to break in a message box: 199 characters with its folder.
tiff=$work/media/$(printf 'n%.0s' $(seq $((195 - ${#work} - 7)))).tif
convert -size 240x300 gradient:red-blue -depth 8 -units PixelsPerInch -density 72x150 -compress LZW "$tiff"

# The window named $1 lies wholly on the screen and is at least $2 x $3 (client area); sets
# shown (its id) and shown_width.
on_screen() {
  local id X Y WIDTH HEIGHT SCREEN WINDOW
  id=$(wait_window "$1" 15) || fail "no window \"$1\""
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$id")"
  [ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le 1280 ] && [ $((Y + HEIGHT)) -le 1024 ] ||
    fail "\"$1\" lies off the screen: ${WIDTH}x${HEIGHT} at $X,$Y"
  [ "$WIDTH" -ge "$2" ] && [ "$HEIGHT" -ge "$3" ] || fail "\"$1\" is ${WIDTH}x${HEIGHT}, less than $2x$3"
  shown=$id shown_width=$WIDTH
}
# Closes the window $1 with Escape and waits until it is gone.
close_window() {
  xdotool windowactivate --sync "$1" 2>/dev/null || true
  xdotool key Escape
  local deadline=$((SECONDS + 10))
  while xdotool getwindowname "$1" >/dev/null 2>&1 && xwininfo -id "$1" 2>/dev/null | grep -q IsViewable; do
    [ $SECONDS -lt $deadline ] || fail "window $1 did not close"
    sleep 0.1
  done
}
# A still picture may ask for its frame rate first: that question is not what is checked here.
skip_frame_rate() {
  local id
  id=$(wait_window '^Input Frame Rate' 3) && close_window "$id" || true
}

start_program() {
  "$prog" "/open=$1" > "$work/program.log" 2>&1 &
  pid=$!; pids+=("$pid")
  wait_window '^Tavelo 3\.1\.0' 30 > /dev/null || fail "no main window"
  sleep 0.5
  skip_frame_rate
  win=$(wait_window "^Tavelo 3\.1\.0 - $2" 15) || fail "no main window for $2"
}

# 1. File Info of the GIF (a long folder and format name) and of the TIFF.
start_program "$deep/animation.gif" 'animation\.gif'
focus_window "$win"
xdotool key F5
on_screen '^File Information' 780 400
info=$shown
[ "$shown_width" -gt 800 ] || fail "File Information stays ${shown_width} wide for the GIF's long columns"
import -window root "$shots/info-gif.png"
close_window "$info"

exit_by_menu "$win"
wait_exit "$pid" 10 || fail "the program did not exit through File > Exit"

start_program "$tiff" 'nnnn'
focus_window "$win"
xdotool key F5
on_screen '^File Information' 780 400
info=$shown
import -window root "$shots/info-tiff.png"
close_window "$info"

# 2. Options.
focus_window "$win"
xdotool key t
on_screen '^Options' 414 275
options=$shown
import -window root "$shots/options.png"
close_window "$options"

# 3. File Formats, through the View menu (the item after Fit Window to Image).
focus_window "$win"
xdotool key alt+n
sleep 0.3
xdotool key Right
sleep 0.3
xdotool key Down Return
on_screen 'File Associations' 403 316
formats=$shown
import -window root "$shots/file-formats.png"
close_window "$formats"

# 4. Current Frame Info (the TIFF's name has 199 characters): the box breaks the name and stays
#    on the screen.
focus_window "$win"
xdotool key F6
on_screen '^Tavelo( — Tavelo)?$' 200 100
box=$shown
import -window root "$shots/frame-info.png"
close_window "$box"

exit_by_menu "$win"
rc=0; wait_exit "$pid" 10 || rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc"
echo "e2e_windows.sh: all windows fit, in $SECONDS s"
