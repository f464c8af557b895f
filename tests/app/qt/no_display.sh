#!/usr/bin/env bash
# Without a display to open a window on, however it is missing or broken, the program says so
# in one line on stderr and exits with status 1 within seconds: no abort, crash or hang, and
# no file touched.
# Usage: no_display.sh KESTRIVAL_EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/common.sh"
exe=$1
kx_start_display
x=$DISPLAY
inst=$(kx_make_installation "$exe")
kx_snapshot "$inst" >"$kx_work/before"

# A Wayland display that takes connections but never answers.
mute="$kx_work/mute-wayland"
/usr/bin/python3 -c 'import os, socket, sys, time
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(); parent = os.getppid()
while os.getppid() == parent: time.sleep(0.1)' "$mute" >/dev/null 2>&1 &
until [ -S "$mute" ]; do sleep "$KX_POLL_SECONDS"; done

# refused NAME [VAR=VALUE...]: started with only these display settings, the program refuses.
refused() {
  local name=$1 status=0 lines
  shift
  (cd "$inst" && exec timeout -s KILL 10 env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" \
    ./Kestrival) >"$kx_work/app.out" 2>"$kx_work/app.err" || status=$?
  [ "$status" = 1 ] || kx_fail "$name: exit status $status, expected 1"
  lines=$(grep -c . "$kx_work/app.err" || true)
  [ "$lines" = 1 ] || kx_fail "$name: $lines lines on stderr, expected 1"
  echo "$name: $(cat "$kx_work/app.err")"
}
refused none
refused no_screen_5 DISPLAY="$x.5"
refused screen_minus_1 DISPLAY="$x.-1"
refused x_forced QT_QPA_PLATFORM=xcb
refused none_of_a_list QT_QPA_PLATFORM='wayland;xcb'
refused mute_wayland WAYLAND_DISPLAY="$mute"
# A stopped X server takes connections and says nothing; it must go on whatever the outcome.
kill -STOP "$kx_xvfb_pid"
frozen=0
(refused frozen_x DISPLAY="$x") || frozen=$?
kill -CONT "$kx_xvfb_pid"
[ "$frozen" = 0 ] || exit "$frozen"
kx_snapshot "$inst" >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "files changed"
