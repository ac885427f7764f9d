#!/usr/bin/env bash
# The built program in Xvfb (no window manager), driven by keys as a user would:
#  1. The window titles are exactly the program's captions (nothing appended by the toolkit): the
#     main window with a movie open, and the Options dialog that the T key brings up.
#  2. A movie started with Space is stopped with Backspace: the keys follow the player's state
#     without a menu being opened first. With /close the stop ends the program with status 0.
#  3. With /close, a file that cannot be opened ends the program with a non-zero status and the
#     reason on stderr (no window waits for a person).
#
#   e2e_keys.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 90
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

# No update question at start (it would wait for an answer).
"$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000

# Long enough that only the Stop key can end it within the wait below.
ff -f lavfi -i "testsrc=size=64x48:rate=10:duration=30" -c:v rawvideo -pix_fmt bgr24 "$work/media/long.avi"

"$prog" "/open=$work/media/long.avi" /close > "$work/keys.log" 2>&1 &
pid=$!; pids+=("$pid")
win=$(wait_window '^Tavelo 3\.1\.0 - long\.avi' 20) || fail "no window for the movie"
sleep 0.5
title=$(xdotool getwindowname "$win")
[ "$title" = "Tavelo 3.1.0 - long.avi" ] || fail "the main window's title reads '$title'"

# 1. The Options dialog's title.
focus_window "$win"
xdotool key t
dlg=$(wait_window '^Options' 15) || fail "the T key showed no Options dialog"
title=$(xdotool getwindowname "$dlg")
[ "$title" = "Options" ] || fail "the Options dialog's title reads '$title'"
xdotool key Escape
deadline=$((SECONDS + 10))
while xdotool search --onlyvisible --name '^Options' > /dev/null 2>&1; do
  [ $SECONDS -lt $deadline ] || fail "Escape did not close the Options dialog"
  sleep 0.1
done

# 2. Space plays, Backspace stops; the stop ends the run (/close).
focus_window "$win"
xdotool key space
sleep 1.5
kill -0 "$pid" 2>/dev/null || fail "the program ended before Backspace was pressed"
xdotool key BackSpace
rc=0; wait_exit "$pid" 10 || rc=$?
[ "$rc" -eq 0 ] || fail "Backspace did not stop the movie started with Space (status $rc)"

# 3. A file that cannot be opened, with /close.
printf 'not a picture' > "$work/media/broken.png"
for sw in /open /play; do
  rc=0
  timeout 30 "$prog" "$sw=$work/media/broken.png" /close > "$work/out.log" 2> "$work/err.log" || rc=$?
  [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] || fail "$sw of a broken file with /close ended with $rc"
  grep -q 'broken\.png' "$work/err.log" || fail "$sw of a broken file with /close said on stderr: $(cat "$work/err.log")"
done
echo "e2e_keys.sh: all steps passed in $SECONDS s"
