#!/usr/bin/env bash
# `cmake --install` into a directory whose name needs quoting: the program, its icon and a
# valid desktop entry land directly in it, and the program starts from there the way a desktop
# launches the entry. System directories are refused.
# Usage: install.sh CMAKE_COMMAND BUILD_DIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
cmake=$1
build=$2
kx_start_display

# Shared system directories and any bin/ are refused before anything is copied; staged, so a
# broken refusal can't touch the real ones.
stage="$kx_work/stage"
for refused in / /usr /usr/local /opt "$kx_work/bin"; do
  if DESTDIR="$stage" "$cmake" --install "$build" --prefix "$refused" >"$kx_work/refused.log" 2>&1; then
    kx_fail "installed into $refused"
  fi
  grep -q 'belongs in the directory of the installation' "$kx_work/refused.log" \
    || { cat "$kx_work/refused.log" >&2; kx_fail "no reason given for refusing $refused"; }
  [ ! -e "$stage" ] || kx_fail "files were copied for $refused before the refusal"
done

prefix="$kx_work/Kestrival's \$HOME dir"
"$cmake" --install "$build" --prefix "$prefix" >"$kx_work/install.log" \
  || { cat "$kx_work/install.log" >&2; kx_fail "the install failed"; }

[ -x "$prefix/Kestrival" ] || kx_fail "no executable Kestrival in the prefix"
[ ! -e "$prefix/bin" ] || kx_fail "a bin/ directory was installed"
head -c 8 "$prefix/kestrival.png" | cmp -s - <(printf '\x89PNG\r\n\x1a\n') \
  || kx_fail "kestrival.png is not a PNG"
entry="$prefix/Kestrival.desktop"
desktop-file-validate "$entry" || kx_fail "desktop-file-validate rejects the entry"
grep -qx "Icon=$prefix/kestrival.png" "$entry" || kx_fail "the entry's icon is not the installed one"
grep -qx 'Name=Kestrival' "$entry" || kx_fail "the entry's name is not Kestrival"

mapfile -d '' words < <(/usr/bin/python3 "$kx_tests_dir/desktop_command.py" "$entry")
[ "${words[0]}" = "$prefix" ] || kx_fail "the entry starts in \"${words[0]}\", not in the prefix"
if [ "${#words[@]}" != 2 ] || [ "${words[1]}" != "$prefix/Kestrival" ]; then
  kx_fail "the entry runs \"${words[*]:1}\", not the installed program"
fi

kx_put_ini "$prefix"
kx_put_package "$prefix"
KX_FORBIDDEN=升级
kx_launch "${words[0]}" "${words[@]:1}"
dlg=$(kx_wait_window Kestrival)
kx_key "$dlg" Escape
kx_wait_exit "$KX_PROMPT_SECONDS" "$dlg"
kx_expect_status 0
