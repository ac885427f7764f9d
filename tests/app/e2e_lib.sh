# Shared set-up of the end-to-end scripts (tests/app/e2e_*.sh and end_to_end.sh), sourced right
# after "set -euo pipefail". Reads the arguments TAVELO TAVELO_SETTINGS into prog and settings (a
# script with arguments of its own reads them and sets prog and settings before sourcing this), sets
# src to the source tree, re-runs the script inside xvfb-run (1280x1024, no window manager; a script
# that needs one starts openbox itself: start_window_manager), gives it a private HOME and XDG
# folders, and defines the helpers below. The caller's "$@" is passed on.
# shellcheck shell=bash
if [ -z "${prog:-}" ]; then
  usage="usage: $(basename "$0") TAVELO TAVELO_SETTINGS"
  prog=$(realpath "${1:?$usage}")
  settings=$(realpath "${2:?$usage}")
fi
src=$(cd "$(dirname "$0")/../.." && pwd)
e2e_args=("$@")
if [ "${TAVELO_E2E_INSIDE:-}" != 1 ]; then
  for tool in xvfb-run xdotool ffmpeg compare; do
    command -v "$tool" >/dev/null || { echo "$(basename "$0"): $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
  done
  export TAVELO_E2E_INSIDE=1
  # -noreset: the server does not start over each time its last client leaves. Without it, a
  # program started right after the one before ended can meet the server in the middle of that
  # reset; one such start was refused ("not authorized") while nine scripts ran at once.
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" bash "$0" "${e2e_args[@]}"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache XDG_DOCUMENTS_DIR=$work/home/Documents TAVELO_AUDIO=null
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_DOCUMENTS_DIR" "$work/media" "$work/shots"
# Leaks inside the system's X11 and font libraries are theirs, not the program's.
printf 'leak:libfontconfig\nleak:libxcb\nleak:libX11\nleak:libdbus\nleak:libQt6XcbQpa\nleak:libQt6Gui\n' > "$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

fail() { echo "$(basename "$0"): $*" >&2; for f in "$work"/*.log; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; } >&2; done; exit 1; }

# The window whose name matches $1 (a regular expression), waiting up to $2 seconds.
wait_window() {
  local deadline=$((SECONDS + $2)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
wait_file() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do [ -s "$1" ] && return 0; sleep 0.1; done
  return 1
}
# Gives the window the keyboard: a click on the empty right end of its menu bar.
focus_window() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + WIDTH - 6)) $((Y + 8)) click 1
  sleep 0.3
}
# Exits through the File menu (Exit is its last item).
exit_by_menu() {
  focus_window "$1"
  xdotool key alt+f
  sleep 0.3
  xdotool key Up Return
}
wait_exit() {
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 124
    sleep 0.1
  done
  wait "$pid"
}

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
# Starts openbox in this X server (focus, title bars, close boxes and Alt+F4 need a window manager).
start_window_manager() {
  openbox --sm-disable > "$work/openbox.log" 2>&1 &
  pids+=("$!")
  local deadline=$((SECONDS + 10))
  until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    [ $SECONDS -lt $deadline ] || fail "openbox did not start"
    sleep 0.1
  done
}
