#!/usr/bin/env bash
# A start in a complete installation shows the dialog "Kestrival" with the installed version and
# no message. The about box opens from the window menu by keyboard alone and closes with Escape,
# leaving the dialog as it was; Escape then ends the program with status 0, every file untouched.
# Usage: normal_start.sh KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX
set -euo pipefail
source "$(dirname "$0")/common.sh"

inst=$(kx_make_installation)
kx_snapshot "$inst" >"$kx_work/before"
kw_launch "$inst" Kestrival.exe
kw_wait Kestrival
kw_expect_lines Kestrival dialog.txt

# The window menu, then its last entry: Wine puts an about entry of its own with the same
# access key above ours.
kw_key Kestrival alt+space
kw_wait ""
kw_key Kestrival Up
kw_key Kestrival Return
kw_wait "关于 Kestrival"
kw_expect_lines "关于 Kestrival" about.txt
[ "$(kw_lines Kestrival | grep "^W")" = "$(printf 'W\tKestrival\t#32770\t0\t')" ] || kx_fail "the dialog takes input under the about box"
kw_key "关于 Kestrival" Escape
kw_wait_gone "关于 Kestrival"
kw_expect_lines Kestrival dialog.txt

kw_key Kestrival Escape
kx_wait_exit "$KX_PROMPT_SECONDS" "$(kx_find Kestrival)"
[ "$kx_app_status" = 0 ] || kx_fail "exit status $kx_app_status"
kx_snapshot "$inst" >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "files changed"
