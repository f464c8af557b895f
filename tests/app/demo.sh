#!/usr/bin/env bash
# The demo without a display, from an existing build: it drives a whole run, reports the
# versions before and after, saves its four screenshots, and leaves no process behind.
# Usage: demo.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
src=$1
build=$2

demo="$kx_work/demo"
shots="$kx_work/shots"
# In a session of its own, so whatever it started can be found afterwards.
status=0
env -u DISPLAY -u WAYLAND_DISPLAY setsid bash -c 'echo $$ >"$1"; shift; exec "$@"' - \
  "$kx_work/sid" "$src/scripts/demo" --no-build --build-dir "$build" --demo-dir "$demo" \
  --shots "$shots" >"$kx_work/demo.out" 2>&1 || status=$?
cat "$kx_work/demo.out"
[ "$status" = 0 ] || kx_fail "the demo ended with status $status"

# Helpers that end with the demo's bus may take a moment; ended ones no longer count.
session_left() {
  ps -e -o sid=,stat=,pid=,args= | awk -v s="$(cat "$kx_work/sid")" '$1 == s && $2 !~ /^Z/'
}
deadline=$((SECONDS + KX_PROMPT_SECONDS))
while [ -n "$(session_left)" ]; do
  [ "$SECONDS" -lt "$deadline" ] || { session_left >&2; kx_fail "the demo left processes behind"; }
  sleep "$KX_POLL_SECONDS"
done

grep -qx 'installed version before: 20240101' "$kx_work/demo.out" || kx_fail "no version before"
grep -qx 'installed version after:  20250630' "$kx_work/demo.out" || kx_fail "no version after"
[ "$(kx_ini_value "$demo/tsetting.ini")" = 20250630 ] || kx_fail "the demo's settings file lacks the stamp"
for f in 1-start 2-unzip-files 3-patch-files 4-complete; do
  grep -qx "  $shots/$f.png" "$kx_work/demo.out" || kx_fail "screenshot $f not reported"
  head -c 8 "$shots/$f.png" | cmp -s - <(printf '\x89PNG\r\n\x1a\n') || kx_fail "$f.png is not a PNG"
done
