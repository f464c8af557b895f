#!/usr/bin/env bash
# Without any display the program says so in one line on stderr and exits with status 1,
# without aborting.
# Usage: no_display.sh KESTRIVAL_EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/common.sh"
exe=$1

inst=$(kx_make_installation "$exe")
kx_snapshot "$inst" >"$kx_work/before"

status=0
(cd "$inst" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ./Kestrival) \
  >"$kx_work/app.out" 2>"$kx_work/app.err" || status=$?
[ "$status" = 1 ] || kx_fail "exit status $status, expected 1"
lines=$(grep -c . "$kx_work/app.err" || true)
[ "$lines" = 1 ] || kx_fail "$lines lines on stderr, expected 1"
echo "stderr: $(cat "$kx_work/app.err")"
kx_snapshot "$inst" >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "files changed"
