#!/usr/bin/env bash
# How the program starts and ends, driven from outside in Xvfb:
#  1. A display whose socket accepts but whose server refuses the connection (a wrong
#     XAUTHORITY): one line on stderr and exit 1, no toolkit abort.
#  2. /play=F /close on a fresh profile (the first-run update question would come up) ends by
#     itself when the movie has played.
#  3. File > Exit while a large file is still opening (under a window manager, which gives the
#     window the keyboard): the open breaks off, the program ends with 0 and saves its settings.
#  4. The same with Alt+F4.
#  5. SIGTERM and SIGINT end the program as a close does: exit 0, settings saved.
#
#   e2e_lifecycle.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 180
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

key='\Software\Velkarn\Tavelo\3.1.0\'
store=$XDG_CONFIG_HOME/tavelo/user.reg
# A fresh profile, or one without the update question, whose recent-files key holds a stray value:
# the save at the end rewrites that key, so the value is gone once the settings were saved.
fresh_profile() {
  rm -rf "$XDG_CONFIG_HOME/tavelo"
  "$settings" str "${key}RecentFiles" Stray marker
  [ "${1:-}" = fresh ] || "$settings" float "$key" UpdateNextDate 200000
  grep -q Stray "$store" || fail "the settings tool wrote no store"
}
saved() { ! grep -q Stray "$store"; }

# 1. A server that wants a cookie the program does not have.
for n in $(seq 40 99); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break; done
xauth -q -f "$work/server.auth" add ":$n" . "$(mcookie)" 2> /dev/null
Xvfb ":$n" -auth "$work/server.auth" -nolisten tcp > "$work/xvfb-auth.log" 2>&1 &
pids+=("$!")
deadline=$((SECONDS + 10))
until [ -e "/tmp/.X11-unix/X$n" ]; do [ $SECONDS -lt $deadline ] || fail "the second X server did not start"; sleep 0.1; done
: > "$work/empty.auth"
rc=0; out=$(DISPLAY=":$n" XAUTHORITY="$work/empty.auth" "$prog" 2>&1 >/dev/null) || rc=$?
[ "$rc" -eq 1 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "with a refusing display: exit $rc, said: $out"
echo "refusing display: $out"

ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=1.2" -c:v rawvideo -pix_fmt bgr24 "$work/media/movie.avi"
# A programme stream long enough that its open (a scan of the whole file) takes seconds.
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=10" -c:v mpeg2video -b:v 20M -f vob "$work/part.vob"
for _ in $(seq 100); do cat "$work/part.vob"; done > "$work/media/big.vob"

# 2. A scripted play on a fresh profile ends by itself.
fresh_profile fresh
"$prog" "/play=$work/media/movie.avi" /close > "$work/play.log" 2>&1 &
pid=$!; pids+=("$pid")
rc=0; wait_exit "$pid" 30 || rc=$?
[ "$rc" -eq 0 ] || fail "/play /close on a fresh profile ended with $rc (124: still running)"
saved || fail "/play /close did not save the settings"

# 3. and 4. Closing while the big file opens.
close_while_opening() {  # $1: how (menu or alt+F4)
  fresh_profile
  "$prog" "/open=$work/media/big.vob" > "$work/open-$1.log" 2>&1 &
  pid=$!; pids+=("$pid")
  win=$(wait_window '^Tavelo 3\.1\.0' 20) || fail "no main window ($1)"
  # The open starts at the window's first idle step; a warm file cache makes it quick on an idle
  # machine, so the close follows soon after.
  sleep 0.5
  xdotool search --onlyvisible --name 'big\.vob' > /dev/null 2>&1 && fail "the big file opened too fast to close during its open ($1)"
  if [ "$1" = menu ]; then
    # The open lets events in only between its steps: the menu is given time to come up.
    xdotool windowactivate --sync "$win" key alt+f
    sleep 1
    xdotool key Up Return
  else
    xdotool windowactivate --sync "$win" key alt+F4
  fi
  rc=0; wait_exit "$pid" 20 || rc=$?
  [ "$rc" -eq 0 ] || { import -window root "${TAVELO_E2E_SHOTS:-$work}/close-$1.png" || true; fail "closing by $1 during the open ended with $rc"; }
  saved || fail "closing by $1 during the open did not save the settings"
}
start_window_manager
close_while_opening menu
close_while_opening alt+F4

# 5. The signals of a logout and of Ctrl+C.
for sig in TERM INT; do
  fresh_profile
  "$prog" "/open=$work/media/movie.avi" > "$work/sig-$sig.log" 2>&1 &
  pid=$!; pids+=("$pid")
  wait_window '^Tavelo 3\.1\.0 - movie\.avi' 20 > /dev/null || fail "no window for the movie (SIG$sig)"
  kill -s "$sig" "$pid"
  rc=0; wait_exit "$pid" 20 || rc=$?
  [ "$rc" -eq 0 ] || fail "SIG$sig ended the program with $rc"
  saved || fail "SIG$sig did not save the settings"
  grep -q 'movie\.avi' "$store" || fail "SIG$sig: the movie is not in the saved recent files"
done
echo "e2e_lifecycle.sh: all steps passed in $SECONDS s"
