#!/usr/bin/env bash
# A start outside a complete installation: one message box "升级", never the dialog, status 0
# once the box is dismissed, and not one byte written anywhere.
# Usage: startup_failure.sh KESTRIVAL_EXECUTABLE
set -euo pipefail
source "$(dirname "$0")/common.sh"
exe=$1
kx_start_display

no_settings=获取升级信息失败,请检查是否在安装目录运行
no_package=打开升级包失败

# run_case NAME PROGRAM_DIR_FILES WORKDIR_FILES MESSAGE: the program is copied into a directory
# of its own holding PROGRAM_DIR_FILES and started from a second one holding WORKDIR_FILES
# ("ini", "package"), where it must say MESSAGE; WORKDIR_FILES "same" starts it in its own
# directory.
run_case() {
  local name=$1 exe_files=$2 wd_files=$3 message=$4
  local root="$kx_work/$name"
  local exe_dir="$root/program" wd="$root/workdir"
  mkdir -p "$exe_dir"
  cp "$exe" "$exe_dir/Kestrival"
  case " $exe_files " in *" ini "*) kx_put_ini "$exe_dir" ;; esac
  case " $exe_files " in *" package "*) kx_put_package "$exe_dir" ;; esac
  if [ "$wd_files" = same ]; then
    wd=$exe_dir
  else
    mkdir -p "$wd"
    case " $wd_files " in *" ini "*) kx_put_ini "$wd" ;; esac
    case " $wd_files " in *" package "*) kx_put_package "$wd" ;; esac
  fi
  kx_snapshot "$root" >"$root.before"

  echo "case $name"
  KX_FORBIDDEN=Kestrival
  kx_launch "$wd" "$exe_dir/Kestrival"
  local box
  box=$(kx_wait_window 升级)
  kx_wait_text 升级 "$message"
  kx_key "$box" Return
  kx_wait_exit "$KX_PROMPT_SECONDS" "$box"
  kx_expect_status 0
  kx_snapshot "$root" >"$root.after"
  diff "$root.before" "$root.after" || kx_fail "$name: files changed"
}

# The settings file is looked for in the working directory, even when the program's own
# directory holds it.
run_case settings_only_beside_program "ini package" "package" "$no_settings"
run_case settings_missing "package" same "$no_settings"
# Both missing: only the first message, then the end.
run_case both_missing "" same "$no_settings"
run_case package_missing "ini" same "$no_package"
run_case package_only_beside_program "ini package" "ini" "$no_package"
