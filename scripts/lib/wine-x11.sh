# Runs Kestrival.exe under Wine on a private virtual X display, in a Wine session of its own,
# and reads its windows through the win_probe helper: sourced after scripts/lib/x11.sh by the
# Windows end-to-end tests, scripts/demo and scripts/bench. Needs wine and what x11.sh needs.
#
# The session's server is started here, so the guard of x11.sh can end it: its clients, the
# program included, end with it, whatever way the caller ends.

kw_wine_run="$kx_lib_dir/wine-run"
kw_server_pid=
kw_probe_exe=

# kw_start PROBE [PREFIX]: a private prefix in the work directory (a linked copy of PREFIX when
# given, for speed, else a fresh one) and its server, for programs on the display in DISPLAY.
kw_start() {
  kw_probe_exe=$1
  [ -n "$kx_work" ] || kx_make_work
  export WINEPREFIX="$kx_work/wineprefix"
  if [ -n "${2:-}" ] && [ -f "$2/system.reg" ]; then
    # The registry is rewritten by renaming, the rest only read; real copies all the same for
    # the registry, so nothing done here can reach the shared prefix.
    cp -al "$2" "$WINEPREFIX"
    for f in "$WINEPREFIX"/*.reg; do cp --remove-destination "$2/${f##*/}" "$f"; done
  else
    "$kw_wine_run" --make-prefix
  fi
  # The server's socket lies in a folder named after the prefix's device and inode; this
  # system's Wine makes the folder's parent afresh and names it in the prefix.
  local server_dir name
  server_dir="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
  rm -f "$WINEPREFIX/wineserver"
  WINEDEBUG=-all wineserver --foreground --persistent >"$kx_work/wineserver.log" 2>&1 &
  kw_server_pid=$!
  kx_guard "$kw_server_pid"
  # Killed outright, the server would leave its clients' service processes running.
  printf 'WINEPREFIX=%q wineserver --kill\n' "$WINEPREFIX" >>"$kx_work/on-abort"
  local deadline=$((SECONDS + KX_PROMPT_SECONDS))
  while :; do
    name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) || name=".wine-$(id -u)"
    [ ! -S "${TMPDIR:-/tmp}/$name/$server_dir/socket" ] || break
    kill -0 "$kw_server_pid" 2>/dev/null || { cat "$kx_work/wineserver.log" >&2; kx_fail "wineserver did not start"; }
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "wineserver made no socket"
    sleep "$KX_POLL_SECONDS"
  done
}

# For the caller's EXIT trap: the session's programs and server, then what x11.sh started.
kw_cleanup() {
  local status=$?
  if [ -n "$kw_server_pid" ]; then
    wineserver --kill 2>/dev/null || true
    wait "$kw_server_pid" 2>/dev/null || true
  fi
  # Hands the caller's status on; errexit would end the trap at a failed one.
  set +e
  (exit "$status")
  kx_cleanup
}

# kw_probe list | watch UNTIL SECONDS: win_probe, which sees the windows of this session only.
kw_probe() {
  "$kw_wine_run" "$kw_probe_exe" "$@"
}

# kw_wait CAPTION [SECONDS]: waits until the program shows a window CAPTION.
kw_wait() {
  kw_probe watch "$1" "${2:-$KX_PROMPT_SECONDS}" >"$kx_work/waited" \
    || kx_fail "no window \"$1\"; windows: $(cut -f 2- "$kx_work/waited" | tr '\n' '|')"
}

# kw_launch DIR EXE: starts the Windows program DIR/EXE with DIR as its working directory.
kw_launch() {
  kx_launch "$1" "$kw_wine_run" "./$2"
}

# kw_lines CAPTION: the probe's lines of the window CAPTION and its children, sorted, without
# the process id.
kw_lines() {
  kw_probe list | awk -F '\t' -v OFS='\t' -v c="$1" '$2 == c { if ($1 == "W") NF = 5; print }' | LC_ALL=C sort
}

# kw_text CAPTION ID: the text of control ID in the window CAPTION.
kw_text() {
  kw_probe list | awk -F '\t' -v c="$1" -v id="$2" '$1 == "C" && $2 == c && $3 == id { print $5; exit }'
}

# kw_wait_text CAPTION ID TEXT [SECONDS]: waits until control ID of the window CAPTION shows TEXT.
kw_wait_text() {
  local deadline=$((SECONDS + ${4:-$KX_PROMPT_SECONDS}))
  until [ "$(kw_text "$1" "$2")" = "$3" ]; do
    kx_app_running || kx_fail "the program ended before \"$1\" showed \"$3\""
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "\"$1\" did not show \"$3\" in time"
    sleep "$KX_POLL_SECONDS"
  done
}

# kw_key CAPTION KEY: types KEY into the window CAPTION, as a user would.
kw_key() {
  local id
  id=$(kx_find "$1" | head -n 1)
  [ -n "$id" ] || kx_fail "no window \"$1\" to type $2 into; windows: $(kx_windows | tr '\n' ' ')"
  kx_key "$id" "$2"
}

# kw_wait_gone CAPTION: waits until the program shows no window CAPTION.
kw_wait_gone() {
  local deadline=$((SECONDS + KX_PROMPT_SECONDS))
  while [ -n "$(kw_lines "$1")" ]; do
    kx_app_running || kx_fail "the program ended while \"$1\" was up"
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "\"$1\" stayed up"
    sleep "$KX_POLL_SECONDS"
  done
}
