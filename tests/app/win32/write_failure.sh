#!/usr/bin/env bash
# A settings file made read-only after the start: "升级" gives the dialog's own box "写入版本信息失败"
# and no run; once it is dismissed the dialog is as before and its close box ends the program
# with status 0, every file untouched.
# Usage: write_failure.sh KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX
set -euo pipefail
source "$(dirname "$0")/common.sh"

inst=$(kx_make_installation)
kw_launch "$inst" Kestrival.exe
kw_wait Kestrival
chmod a-w "$inst/tsetting.ini"
kx_snapshot "$inst" >"$kx_work/before"

kw_key Kestrival Return
kw_wait 升级
kw_expect_lines 升级 box-write-failed.txt
# Past the first step's time: a run would have begun.
sleep 1.5
kw_expect_lines Kestrival dialog-blocked.txt
kw_key 升级 Return
kw_wait_gone 升级
kw_expect_lines Kestrival dialog.txt

kw_probe close Kestrival
kx_wait_exit "$KX_PROMPT_SECONDS" "$(kx_find Kestrival)"
[ "$kx_app_status" = 0 ] || kx_fail "exit status $kx_app_status"
kx_snapshot "$inst" >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "files changed"
