#!/usr/bin/env bash
# A start in a complete installation shows the dialog "Kestrival" with the installed version
# and no message; Escape ends the program with status 0 and leaves every file as it was.
# Arguments are not interpreted, not even the toolkit's own options, and a display missing
# from QT_QPA_PLATFORM's list gives way to the next.
# Usage: normal_start.sh KESTRIVAL_EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/common.sh"
exe=$1
kx_start_display

inst=$(kx_make_installation "$exe")
kx_snapshot "$inst" >"$kx_work/before"

KX_FORBIDDEN=升级
QT_QPA_PLATFORM="wayland;xcb" WAYLAND_DISPLAY=nonesuch kx_launch "$inst" ./Kestrival -platform offscreen -display :4095 --help -style nonesuch
dlg=$(kx_wait_window Kestrival)
kx_wait_text Kestrival 20200101
kx_key "$dlg" Escape
kx_wait_exit "$KX_PROMPT_SECONDS" "$dlg"
kx_expect_status 0
kx_snapshot "$inst" >"$kx_work/after"
diff "$kx_work/before" "$kx_work/after" || kx_fail "files changed"
