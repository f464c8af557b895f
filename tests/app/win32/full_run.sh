#!/usr/bin/env bash
# One whole upgrade run in real time. "升级" stamps the settings file with the package's UTC
# date at once, every other byte kept; the phase texts and the bar follow the timetable from the
# press; keys typed and the close box meanwhile do nothing, then or later; "升级完成" comes after
# the full bar, the dialog's close box does nothing under it, and dismissing it ends the program
# with status 0. No other file changes.
# Usage: full_run.sh KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Polling a busy machine sees a change this late at most, in ms.
tolerance=1000
run_limit_seconds=200

inst=$(kx_make_installation)
kx_snapshot "$inst" tsetting.ini >"$kx_work/before"
kw_launch "$inst" Kestrival.exe
kw_wait Kestrival
watch="$kx_work/watch"
kw_probe watch 升级 "$run_limit_seconds" >"$watch" &
watcher=$!
kx_guard "$watcher"
until grep -q Kestrival "$watch"; do sleep "$KX_POLL_SECONDS"; done

pressed=${EPOCHREALTIME/./}
kw_key Kestrival Return
timeout "$KX_PROMPT_SECONDS" bash -c 'until grep -q "Check Ver Info" "$1"; do sleep 0.1; done' - "$watch" || kx_fail "no run began"
cmp "$inst/tsetting.ini" "$kx_data/stamped.ini" || kx_fail "the stamp is not the only change"
for key in Escape alt+space Return; do kw_key Kestrival "$key"; done
kw_probe close Kestrival

wait "$watcher" || { cat "$watch"; kx_fail "the run never ended in its box"; }
# timetable.tsv: each change's time after the press (ms), the bar's position, the status text.
awk -F '\t' -v press=$((pressed / 1000)) -v tol="$tolerance" '
  FNR == NR { at[++n] = $1; if ($3 != "") due_text[$3] = $1; next }
  function fail(m) { print "FAIL: " m > "/dev/stderr"; bad = 1; exit 1 }
  function due(t,  k) { for (k = 0; k < n && at[k + 1] <= t; k++); return k - 1 }
  { t = $1 - press }
  $2 == "W" && $3 != "Kestrival" && $3 != "升级" { fail("a window \"" $3 "\" (" $4 ") showed during the run") }
  $2 == "W" && $3 == "升级" && !box { box = t; if ($6 != "") fail("the box is owned by " $6) }
  $2 == "C" && $3 == "升级" && $5 == "Static" && $6 !~ /^(#.*)?$/ { done = $6 }
  $2 == "C" && $4 == 1001 && $6 != "20200101" && !($6 in shown) {
    shown[$6] = 1
    if (!($6 in due_text) || t < due_text[$6] || t > due_text[$6] + tol) fail("\"" $6 "\" after " t " ms")
  }
  $2 == "C" && $4 == 1000 && (bar = $7) && (bar < due(t - tol) || bar > due(t + tol)) { fail("bar at " bar " after " t " ms") }
  END {
    if (bad) exit 1
    for (s in due_text) if (!(s in shown)) fail("\"" s "\" never showed")
    if (done != "升级完成" || bar != 100 || box < at[n]) fail("\"" done "\" at " box " ms, the bar at " bar)
  }' "$kx_data/timetable.tsv" "$watch" || { cat "$watch"; kx_fail "the run went wrong"; }

# The dialog stays usable under the box, but the run ends it, not its close box.
kw_probe close Kestrival
sleep 1
[ -n "$(kw_lines Kestrival)" ] || kx_fail "the dialog closed under the completion box"
kw_key 升级 Return
kx_wait_exit "$KX_PROMPT_SECONDS" "$(kx_find 升级)" "$(kx_find Kestrival)"
[ "$kx_app_status" = 0 ] || kx_fail "exit status $kx_app_status"
cmp "$inst/tsetting.ini" "$kx_data/stamped.ini" || kx_fail "the settings file changed again"
kx_snapshot "$inst" tsetting.ini >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "another file changed"
