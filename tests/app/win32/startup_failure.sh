#!/usr/bin/env bash
# A start from a folder that is no usable installation: one message box "升级" with the reason,
# never the dialog, status 0 once the box is dismissed, and not one byte changed.
# Usage: startup_failure.sh KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX
set -euo pipefail
source "$(dirname "$0")/common.sh"

# run_case NAME BOX [SETUP...]: an installation changed by SETUP (run in it) must give the box
# of the data file BOX and nothing else.
run_case() {
  local name=$1 box=$2
  shift 2
  local inst
  inst=$(kx_make_installation "$kx_work/$name")
  cd "$inst"
  "$@"
  cd - >/dev/null
  kx_snapshot "$inst" >"$kx_work/$name.before"

  echo "case $name"
  kw_launch "$inst" Kestrival.exe
  kw_wait 升级
  kw_expect_lines 升级 "$box"
  [ -z "$(kw_lines Kestrival)" ] || kx_fail "$name: the dialog showed"
  kw_key 升级 Return
  kx_wait_exit "$KX_PROMPT_SECONDS" "$(kx_find 升级)"
  [ "$kx_app_status" = 0 ] || kx_fail "exit status $kx_app_status"
  kx_snapshot "$inst" >"$kx_work/$name.after"
  diff "$kx_work/$name.before" "$kx_work/$name.after" || kx_fail "$name: files changed"
}

# Holds tsetting.ini from another program, with no sharing, until its input is closed.
hold_settings() {
  coproc HOLDER { exec "$kw_wine_run" "$kw_probe_exe" hold tsetting.ini; }
  kx_guard "$HOLDER_PID"
  read -r -t "$KX_PROMPT_SECONDS" -u "${HOLDER[0]}" held && [ "$held" = held ] || kx_fail "could not hold the settings file"
}

run_case settings_missing box-no-settings.txt rm tsetting.ini
run_case settings_read_only box-no-settings.txt chmod a-w tsetting.ini
run_case settings_held box-no-settings.txt hold_settings
eval "exec ${HOLDER[1]}>&-"
# Both missing: only the first message, then the end.
run_case both_missing box-no-settings.txt rm tsetting.ini HarrowglimmerPatch.dat
run_case package_missing box-no-package.txt rm HarrowglimmerPatch.dat
run_case package_read_only box-no-package.txt chmod a-w HarrowglimmerPatch.dat
