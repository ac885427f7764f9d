#!/usr/bin/env bash
# Random use of the built program under a window manager: keys, menu items, opens of movies,
# stills, damaged and missing files through the open dialog, and closes (File > Exit, Alt+F4, a
# scripted play that ends by itself), followed by a restart. Whatever box a command brings up is
# dismissed (Escape, then Return: the default answer, then the close box). The program must never
# crash, every end must be exit 0, and the window must keep answering: every few commands a file
# typed into the open dialog must show up in the caption.
#
#   e2e_stress.sh TAVELO TAVELO_SETTINGS
# TAVELO_STRESS_SEED replays a run (the seed is printed); TAVELO_STRESS_COUNT sets the number of
# commands (200).
# ctest-timeout: 600
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

seed=${TAVELO_STRESS_SEED:-3535}
count=${TAVELO_STRESS_COUNT:-200}
echo "e2e_stress.sh: seed $seed (TAVELO_STRESS_SEED=$seed replays this run), $count commands"
RANDOM=$seed

# Web pages and help files open nowhere.
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"
start_window_manager
"$settings" float '\Software\Velkarn\Tavelo\3.1.0\' UpdateNextDate 200000

m=$work/media
ff -f lavfi -i "testsrc2=size=160x120:rate=25:duration=2" -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=2" \
   -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le -shortest "$m/movie.avi"
ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=3" -f lavfi -i "sine=frequency=330:duration=3" \
   -c:v mpeg2video -b:v 4M -c:a mp2 -f vob "$m/clip.mpg"
ff -f lavfi -i "sine=frequency=550:sample_rate=22050:duration=1.5" "$m/sound.wav"
ff -f lavfi -i "testsrc=size=120x90:rate=1:duration=1" -frames:v 1 "$m/still.png"
ff -f lavfi -i "testsrc=size=90x60:rate=1:duration=1" -frames:v 1 -pix_fmt bgr24 "$m/still.bmp"
head -c 3000 "$m/movie.avi" > "$m/cut.avi"
head -c 20000 "$m/clip.mpg" > "$m/cut.mpg"
head -c 500 "$m/still.png" > "$m/cut.png"
head -c 4096 /dev/urandom > "$m/noise.jpg"
: > "$m/empty.wav"
files=(movie.avi clip.mpg sound.wav still.png still.bmp cut.avi cut.mpg cut.png noise.jpg empty.wav missing.avi)
for f in "${files[@]}"; do [ "$f" = missing.avi ] || cp "$m/$f" "$m/keep-$f"; done

pid='' win=''
start_program() {
  "$prog" "$@" >> "$work/program.log" 2>&1 &
  pid=$!; pids+=("$pid")
  win=$(wait_window '^Tavelo 3\.1\.0' 60) || fail "no main window after a start with: $*"
  sleep 0.3
}
# The program's windows other than the main window.
others() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null || true); do [ "$w" = "$win" ] || echo "$w"; done
}
# Dismisses whatever the last command brought up; an open still running is waited for.
dismiss() {
  local tries=0 w keys=(Escape Return alt+F4)
  while kill -0 "$pid" 2>/dev/null; do
    w=$(others | tail -1)
    [ -n "$w" ] || return 0
    [ $tries -lt 15 ] || fail "a window of the program does not go away: $(xdotool getwindowname "$w" 2>&1)"
    # Menus are not activated by the window manager: the key then goes to whatever has the focus.
    timeout 3 xdotool windowactivate --sync "$w" > /dev/null 2>&1 || true
    xdotool key "${keys[$((tries % 3))]}"
    tries=$((tries + 1))
    sleep 0.2
  done
}
# An end of the program (a close, or a scripted play that ended): it must be exit 0; then a restart.
ended() {
  local rc=0
  wait_exit "$pid" 30 || rc=$?
  [ "$rc" -eq 0 ] || fail "command $i ($what): the program ended with $rc"
  restarts=$((restarts + 1))
  case $((RANDOM % 4)) in
    0) start_program ;;
    1) start_program "/open=$m/${files[$((RANDOM % ${#files[@]}))]}" ;;
    2) start_program "/play=$m/sound.wav" /close ;;
    *) start_program "/play=$m/movie.avi" ;;
  esac
}
# File > Exit (its last item); the window may have gone meanwhile (a scripted play that ended).
exit_menu() {
  focus_main
  xdotool key alt+f
  sleep 0.3
  xdotool key Up Return
}
focus_main() {
  [ "$(xdotool getactivewindow 2>/dev/null)" = "$win" ] && return 0
  timeout 3 xdotool windowactivate --sync "$win" > /dev/null 2>&1 || true
}
# Types a path into the open dialog (O); false when no dialog came (an open still running).
open_by_dialog() {
  focus_main
  xdotool key o
  wait_window '^Open File' 2 > /dev/null || return 1
  sleep 0.2
  xdotool key ctrl+a
  xdotool type --delay 1 "$1"
  xdotool key Return
  sleep 0.2
}
# The window answers: a still picture typed into the open dialog reaches the caption.
checks=0
answers() {
  local name="alive$checks.png" try
  checks=$((checks + 1))
  cp "$m/still.png" "$m/$name"
  for try in 1 2 3 4 5; do
    dismiss
    kill -0 "$pid" 2>/dev/null || return 0  # a scripted play ended meanwhile; the caller restarts
    if open_by_dialog "$m/$name"; then
      # A still picture has no frame rate: the frame-rate dialog comes before the caption.
      local deadline=$((SECONDS + 20))
      while [ $SECONDS -lt $deadline ]; do
        xdotool search --onlyvisible --name "^Tavelo 3\\.1\\.0 - ${name//./\\.}" > /dev/null 2>&1 && return 0
        dismiss
        sleep 0.2
      done
      import -window root "${TAVELO_E2E_SHOTS:-$work}/stress-$i.png" || true
      fail "command $i: the window stopped answering (no caption for $name)"
    fi
    sleep 1
  done
  fail "command $i: the open dialog never came"
}

keys=(space BackSpace Left Right ctrl+Right ctrl+Left ctrl+Next ctrl+Prior Home End F5 t F2 shift+F2 o plus minus)
menus=(alt+f alt+n alt+h F10)
restarts=0
start_program "/open=$m/movie.avi"
for ((i = 1; i <= count; i++)); do
  r=$((RANDOM % 100))
  if [ "$r" -lt 62 ]; then
    what="key ${keys[$((RANDOM % ${#keys[@]}))]}"
    focus_main; xdotool key "${what#key }"
  elif [ "$r" -lt 86 ]; then
    downs=$((RANDOM % 14))
    what="menu ${menus[$((RANDOM % ${#menus[@]}))]} down $downs"
    focus_main; xdotool key "$(echo "$what" | cut -d' ' -f2)"
    sleep 0.15
    xdotool key --delay 5 $(for ((d = 0; d < downs; d++)); do echo Down; done) Return
  elif [ "$r" -lt 97 ]; then
    f=${files[$((RANDOM % ${#files[@]}))]}
    what="open $f"
    open_by_dialog "$m/$f" || what="$what (refused: an open was running)"
  elif [ "$r" -lt 99 ]; then
    what="File > Exit"
    dismiss; exit_menu
  else
    what="Alt+F4"
    dismiss; focus_main; xdotool key alt+F4
  fi
  dismiss
  [ -z "${TAVELO_STRESS_TRACE:-}" ] || echo "$SECONDS s: $i $what" >&2
  # Media the commands deleted, moved or renamed come back.
  for f in "${files[@]}"; do [ "$f" = missing.avi ] || [ -e "$m/$f" ] || cp "$m/keep-$f" "$m/$f"; done
  if ! kill -0 "$pid" 2>/dev/null; then
    ended
  elif [ $((i % 40)) -eq 0 ]; then
    answers
    kill -0 "$pid" 2>/dev/null || ended
  fi
done
answers
kill -0 "$pid" 2>/dev/null || ended
dismiss; exit_menu
rc=0; wait_exit "$pid" 30 || rc=$?
[ "$rc" -eq 0 ] || fail "the last exit ended with $rc"
grep -E 'ERROR: (Address|Leak|Undefined)Sanitizer|runtime error:' "$work/program.log" && fail "a sanitizer report"
echo "e2e_stress.sh: $count commands, $restarts restarts, $checks checks in $SECONDS s"
