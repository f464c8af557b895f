#!/usr/bin/env bash
# The README's demo without a display, from an existing build, is the whole upgrade run in real
# time: a click on "升级" writes the package's UTC date into the settings file at once,
# changing only that value; the three phase texts follow in turn, the completion message only
# after the whole timetable, and dismissing it ends the program with status 0. The demo
# reports the versions and its screenshots, touches no other file and leaves no process behind.
# Usage: full_run.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
src=$1
build=$2
demo="$kx_work/demo"
shots="$kx_work/shots"
out="$kx_work/app.out"
# The timetable's length in whole seconds, less one for the clocks' rounding.
min_run_seconds=93

# The demo sets its installation up afresh; anything else it changes is a fault.
"$src/scripts/make-demo-install" "$build" "$demo" >/dev/null
kx_snapshot "$demo" tsetting.ini >"$kx_work/before"
# In a session of its own, so whatever it started can be found afterwards.
kx_launch "$kx_work" env -u DISPLAY -u WAYLAND_DISPLAY setsid bash -c 'echo $$ >"$1"; shift; exec "$@"' - \
  "$kx_work/sid" "$src/scripts/demo" --no-build --build-dir "$build" --demo-dir "$demo" --shots "$shots"

deadline=$((SECONDS + KX_PROMPT_SECONDS))
until grep -q 'pressing 升级' "$out"; do
  [ "$SECONDS" -lt "$deadline" ] && kx_app_running || { cat "$out"; kx_fail "升级 was never pressed"; }
  sleep "$KX_POLL_SECONDS"
done
deadline=$((SECONDS + KX_PROMPT_SECONDS))
until cmp -s "$demo/tsetting.ini" "$kx_data/demo-stamped.ini"; do
  [ "$SECONDS" -lt "$deadline" ] || { cmp "$demo/tsetting.ini" "$kx_data/demo-stamped.ini" || true; kx_fail "the stamp was not written at once as the only change"; }
  sleep "$KX_POLL_SECONDS"
done
# The demo gives itself a time limit.
while kx_app_running; do sleep "$KX_POLL_SECONDS"; done
kx_reap >/dev/null
cat "$out"
[ "$kx_app_status" = 0 ] || kx_fail "the demo ended with status $kx_app_status"

# Helpers that end with the demo's bus may take a moment; ended ones no longer count.
session_left() {
  ps -e -o sid=,stat=,pid=,args= | awk -v s="$(cat "$kx_work/sid")" '$1 == s && $2 !~ /^Z/'
}
deadline=$((SECONDS + KX_PROMPT_SECONDS))
while [ -n "$(session_left)" ]; do
  [ "$SECONDS" -lt "$deadline" ] || { session_left >&2; kx_fail "the demo left processes behind"; }
  sleep "$KX_POLL_SECONDS"
done

grep -qx 'installed version before: 20240101' "$out" || kx_fail "no version before"
grep -qx 'installed version after:  20250630' "$out" || kx_fail "no version after"
phases=$(grep -o '^"[^"]*" after' "$out" | tr -d '"' | tr '\n' '|')
[ "$phases" = "Check Ver Info... after|Unzip files... after|Patch files... after|" ] || kx_fail "phases out of order: $phases"
elapsed=$(sed -n 's/^the completion message "升级完成" came after \([0-9]*\) s.*/\1/p' "$out")
[ "${elapsed:-0}" -ge "$min_run_seconds" ] || kx_fail "the completion message came after ${elapsed:-?}s, before the timetable's end"
for f in 1-start 2-check-ver-info 3-unzip-files 4-patch-files 5-complete; do
  grep -qx "  $shots/$f.png" "$out" || kx_fail "screenshot $f not reported"
  head -c 8 "$shots/$f.png" | cmp -s - <(printf '\x89PNG\r\n\x1a\n') || kx_fail "$f.png is not a PNG"
done
cmp "$demo/tsetting.ini" "$kx_data/demo-stamped.ini" || kx_fail "the settings file changed again"
kx_snapshot "$demo" tsetting.ini >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "another file changed"
