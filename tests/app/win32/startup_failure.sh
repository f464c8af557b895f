#!/usr/bin/env bash
# A start from a folder that is no usable installation: one message box "升级" with the reason,
# never the dialog, status 0 once the box is dismissed, and not one byte changed.
# Usage: startup_failure.sh KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX
set -euo pipefail
source "$(dirname "$0")/common.sh"

no_settings=获取升级信息失败,请检查是否在安装目录运行
no_package=打开升级包失败

# run_case NAME MESSAGE [SETUP...]: an installation changed by SETUP (run in it) must give
# MESSAGE and nothing else.
run_case() {
  local name=$1 message=$2
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
  local lines
  lines=$(kw_probe list | cut -f 1-5)
  [ "$(grep -c '^W' <<<"$lines")" = 1 ] || kx_fail "$name: more than the box: $lines"
  grep -qxF "$(printf 'W\t升级\t#32770\t1\t')" <<<"$lines" || kx_fail "$name: not an unowned box: $lines"
  grep -qF "$(printf '\tStatic\t%s' "$message")" <<<"$lines" || kx_fail "$name: not \"$message\": $lines"
  kw_key 升级 Return
  kx_wait_exit "$KX_PROMPT_SECONDS" "$(kx_find 升级)"
  kx_expect_status 0
  kx_snapshot "$inst" >"$kx_work/$name.after"
  diff "$kx_work/$name.before" "$kx_work/$name.after" || kx_fail "$name: files changed"
}

# Holds tsetting.ini from another program, with no sharing, until the case is over.
hold_settings() {
  exec {hold}> >(exec "$kw_wine_run" "$kw_probe_exe" hold tsetting.ini >"$kx_work/held")
  kx_guard $!
  local deadline=$((SECONDS + KX_PROMPT_SECONDS))
  until grep -qx held "$kx_work/held" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "could not hold the settings file"
    sleep "$KX_POLL_SECONDS"
  done
}

run_case settings_missing "$no_settings" rm tsetting.ini
run_case settings_read_only "$no_settings" chmod a-w tsetting.ini
run_case settings_held "$no_settings" hold_settings
exec {hold}>&-
# Both missing: only the first message, then the end.
run_case both_missing "$no_settings" rm tsetting.ini HarrowglimmerPatch.dat
run_case package_missing "$no_package" rm HarrowglimmerPatch.dat
run_case package_read_only "$no_package" chmod a-w HarrowglimmerPatch.dat
