#!/usr/bin/env bash
# One whole upgrade run in real time: a click on "升级" writes the package's UTC date into the
# settings file beside the program at once, changing only that value; the three phase texts
# follow in turn, then, after the whole timetable, the completion message; dismissing it ends
# the program with status 0. No other file is touched.
# Usage: full_run.sh KESTRIVAL_EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/common.sh"
exe=$1
kx_start_display

# The timetable's length in whole seconds; the message can't come sooner.
run_seconds=94
# The click reaches the program a moment before the clock here is read, and that clock counts
# whole seconds.
clock_margin_seconds=1
# How long the completion message may take beyond that on a busy machine.
slack_seconds=150

inst=$(kx_make_installation "$exe")
kx_snapshot "$inst" tsetting.ini >"$kx_work/before"

KX_FORBIDDEN=升级
kx_launch "$inst" ./Kestrival
dlg=$(kx_wait_window Kestrival)
# The button's centre, as fractions of the dialog: x 134 + 50 / 2, y 101 + 14 / 2 of 320 x 143
# dialog units.
kx_click "$dlg" 0.497 0.755
pressed=$SECONDS
run_deadline=$((pressed + run_seconds + slack_seconds))

deadline=$((SECONDS + KX_PROMPT_SECONDS))
until cmp -s "$inst/tsetting.ini" "$kx_data/tsetting-stamped.ini"; do
  kx_check_forbidden
  kx_app_running || kx_fail "the program ended during the run"
  [ "$SECONDS" -lt "$deadline" ] || {
    cmp "$inst/tsetting.ini" "$kx_data/tsetting-stamped.ini" || true
    kx_fail "the stamp $kx_package_stamp was not written as the only change"
  }
  sleep "$KX_POLL_SECONDS"
done
echo "stamp written after $((SECONDS - pressed))s"

for phase in "Check Ver Info..." "Unzip files..." "Patch files..."; do
  kx_wait_text Kestrival "$phase" $((run_deadline - SECONDS))
  echo "\"$phase\" after $((SECONDS - pressed))s"
done

KX_FORBIDDEN=
box=$(kx_wait_window 升级 $((run_deadline - SECONDS)))
kx_wait_text 升级 升级完成
elapsed=$((SECONDS - pressed))
echo "completion message after ${elapsed}s"
[ "$elapsed" -ge $((run_seconds - clock_margin_seconds)) ] || kx_fail "the completion message came after ${elapsed}s, before the timetable's end"
[ -n "$(kx_find Kestrival)" ] || kx_fail "the dialog closed before the completion message"
kx_key "$box" Return
kx_wait_exit "$KX_PROMPT_SECONDS" "$box" "$dlg"
kx_expect_status 0

cmp "$inst/tsetting.ini" "$kx_data/tsetting-stamped.ini" || kx_fail "the settings file changed again"
kx_snapshot "$inst" tsetting.ini >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "another file changed"
