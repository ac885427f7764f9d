#!/usr/bin/env bash
# The update check while the server is slow: the built program in Xvfb, its update file reached
# through a loopback proxy that accepts the request and then stays silent. The program asks
# whether to check (a fresh installation is due at once); after Yes, while the check waits:
#  1. the window still repaints (it is resized and shows its new size drawn), and
#  2. a menu opens (File, by a click on its title) and closes again;
# then the read time-out ends the check with the Internet error message, and File > Exit closes
# the program.
#
#   e2e_update.sh TAVELO TAVELO_SETTINGS
# ctest-timeout: 90
set -euo pipefail
# shellcheck source=e2e_lib.sh
source "$(dirname "$0")/e2e_lib.sh"

# The proxy: takes each connection, writes its first line to the log, and answers nothing until
# the client gives up.
cat > "$work/silent_proxy.py" <<'EOF'
import socket, sys, threading
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
with open(sys.argv[1] + ".part", "w") as f:
    f.write(str(listener.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".part", sys.argv[1])
def hold(conn):
    data = conn.recv(4096)
    with open(sys.argv[2], "a") as log:
        log.write(data.split(b"\r\n")[0].decode("latin-1") + "\n")
    while conn.recv(4096):
        pass
    conn.close()
listener.settimeout(80)
while True:
    conn, _ = listener.accept()
    threading.Thread(target=hold, args=(conn,), daemon=True).start()
EOF
python3 "$work/silent_proxy.py" "$work/proxy.port" "$work/proxy.requests" > "$work/proxy.log" 2>&1 &
pids+=("$!")
wait_file "$work/proxy.port" 10 || fail "the loopback proxy did not start"
port=$(cat "$work/proxy.port")
export http_proxy="http://127.0.0.1:$port" https_proxy="http://127.0.0.1:$port" HTTPS_PROXY="http://127.0.0.1:$port"
unset no_proxy NO_PROXY all_proxy ALL_PROXY

"$prog" > "$work/program.log" 2>&1 &
pid=$!; pids+=("$pid")
win=$(wait_window '^Tavelo 3\.1\.0' 40) || fail "no main window"
question=$(wait_window '^Tavelo$' 20) || fail "no question whether to check for updates"
sleep 0.3
# What lies beyond the window's bottom-right corner now (the bare screen); taken before the check
# starts, as the check gives the steps below only its read time-out of 10 s.
eval "$(xdotool getwindowgeometry --shell "$win")"
grow_w=$((WIDTH + 200)) grow_h=$((HEIGHT + 150))
region="120x80+$((X + WIDTH + 40))+$((Y + HEIGHT + 40))"
import -window root -crop "$region" +repage "$work/old.png"
xdotool windowfocus "$question"
sleep 0.2
xdotool key Return  # Yes, the default
wait_file "$work/proxy.requests" 10 || fail "the check asked nothing of the server"
grep -q '^CONNECT ' "$work/proxy.requests" || fail "the proxy saw no request: $(cat "$work/proxy.requests")"

# The check's message (a modal box) is not up yet: what was just seen happened while it ran.
check_running() {
  kill -0 "$pid" 2>/dev/null || fail "the program ended during the check"
  [ -z "$(xdotool search --onlyvisible --name '^Tavelo$' 2>/dev/null)" ] || fail "$1 only after the check had ended"
}

# 1. Repaint: the part a bigger window newly covers shows the program's pixels, not what was
#    on the screen there before.
xdotool windowsize "$win" "$grow_w" "$grow_h"
changed=0
for _ in $(seq 1 25); do
  sleep 0.2
  import -window root -crop "$region" +repage "$work/new.png"
  changed=$(compare -metric AE "$work/old.png" "$work/new.png" null: 2>&1) || true
  [ "${changed%% *}" = 0 ] || break
done
[ "${changed%% *}" != 0 ] || fail "the resized window was not repainted during the check"
check_running "the window repainted"
[ -z "${TAVELO_E2E_SHOTS:-}" ] || import -window root "$TAVELO_E2E_SHOTS/during.png"

# 2. A menu opens (a click on its title) and closes while the check runs.
eval "$(xdotool getwindowgeometry --shell "$win")"
before=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)
xdotool mousemove $((X + 18)) $((Y + 10)) click 1
opened=0
for _ in $(seq 1 50); do
  now=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | wc -l)
  [ "$now" -gt "$before" ] && { opened=1; break; }
  sleep 0.1
done
[ "$opened" = 1 ] || fail "the File menu did not open during the check"
check_running "the File menu opened"
[ -z "${TAVELO_E2E_SHOTS:-}" ] || import -window root "$TAVELO_E2E_SHOTS/menu.png"
xdotool key Escape
sleep 0.3

# The read time-out ends the check: the Internet error message, answered with Return.
box=$(wait_window '^Tavelo$' 25) || fail "the check did not end with a message"
sleep 0.3
[ -z "${TAVELO_E2E_SHOTS:-}" ] || import -window root "$TAVELO_E2E_SHOTS/message.png"
xdotool windowfocus "$box"
sleep 0.2
xdotool key Return
sleep 0.5
exit_by_menu "$win"
wait_exit "$pid" 15 || fail "the program did not exit through File > Exit"
echo "e2e_update.sh: the window painted and its menu opened during a silent update check"
