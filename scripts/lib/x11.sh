# Drives Kestrival on a private virtual X display, as a user would, and reads its texts the way
# a screen reader does, over a private session bus: sourced by scripts/demo, scripts/screenshot
# and the end-to-end tests. Needs xvfb, xdotool, x11-utils, imagemagick, dbus, at-spi2-core
# and python3-pyatspi.
#
# Everything it starts is stopped by kx_cleanup, which the caller runs from its EXIT trap, or,
# should the caller be killed outright (a test runner's time limit), by a guard that outlives
# it: nothing is left behind, whatever way the caller ends.

# How long to wait for a window or an exit that should come promptly, in seconds. Generous:
# a sanitizer build on a busy machine starts slowly.
KX_PROMPT_SECONDS=${KX_PROMPT_SECONDS:-60}
# How often to look again while waiting, in seconds.
KX_POLL_SECONDS=0.1
# The virtual screen; fixed so screenshots come out the same on every machine.
KX_SCREEN=1024x768x24

kx_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
kx_guard_pid=
kx_xvfb_pid=
kx_bus_pid=
kx_app_pid=
kx_app_status=
kx_work=

kx_fail() {
  echo "FAIL: $*" >&2
  if [ -n "$kx_work" ] && [ -s "$kx_work/app.err" ]; then
    echo "--- program's stderr:" >&2
    tail -n 20 "$kx_work/app.err" >&2
  fi
  exit 1
}

# Makes the private work directory (kx_work) that kx_cleanup removes again, and starts the
# guard.
kx_make_work() {
  kx_work=$(mktemp -d "${TMPDIR:-/tmp}/kestrival-x11.XXXXXX")
  : >"$kx_work/pids"
  mkfifo "$kx_work/guard"
  local caller=$$
  (
    # Waits on a pipe no one writes to: a pause that starts no process of its own.
    exec 3<>"$kx_work/guard"
    while kill -0 "$caller" 2>/dev/null; do read -r -t 1 -u 3 || true; done
    # What must end in order first, such as a server that ends its own clients.
    # The caller's errexit must not cut this short: a process may have gone meanwhile.
    [ ! -f "$kx_work/on-abort" ] || timeout 30 bash "$kx_work/on-abort" || true
    xargs -r kill -KILL <"$kx_work/pids" || true
    rm -rf "$kx_work"
  ) >/dev/null 2>&1 &
  kx_guard_pid=$!
}

# Records a process the guard must end should the caller be killed. Commands it must run
# before that go into $kx_work/on-abort.
kx_guard() {
  echo "$1" >>"$kx_work/pids"
}

kx_cleanup() {
  local status=$?
  if [ -n "$kx_guard_pid" ]; then
    kill "$kx_guard_pid" 2>/dev/null || true
    wait "$kx_guard_pid" 2>/dev/null || true
  fi
  if [ -n "$kx_app_pid" ] && kill -0 "$kx_app_pid" 2>/dev/null; then
    kill -KILL "$kx_app_pid" 2>/dev/null || true
    wait "$kx_app_pid" 2>/dev/null || true
  fi
  if [ -n "$kx_bus_pid" ]; then
    kill "$kx_bus_pid" 2>/dev/null || true
    wait "$kx_bus_pid" 2>/dev/null || true
  fi
  if [ -n "$kx_xvfb_pid" ]; then
    kill "$kx_xvfb_pid" 2>/dev/null || true
    wait "$kx_xvfb_pid" 2>/dev/null || true
  fi
  if [ -n "$kx_work" ]; then
    if [ "$status" -ne 0 ] && [ -n "${KESTRIVAL_KEEP_WORK:-}" ]; then
      echo "kept $kx_work" >&2
    else
      rm -rf "$kx_work"
    fi
  fi
  return "$status"
}

# kx_wait_announced FILE PATTERN PID LOG NAME: waits, boundedly, until the server PID has
# written a line matching PATTERN (its display or address) to FILE; fails if it dies first.
kx_wait_announced() {
  local deadline=$((SECONDS + KX_PROMPT_SECONDS))
  until grep -q "$2" "$1"; do
    kill -0 "$3" 2>/dev/null || { cat "$4" >&2; kx_fail "$5 did not start"; }
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "$5 announced nothing"
    sleep "$KX_POLL_SECONDS"
  done
}

# Starts Xvfb on a display no one else uses (the server picks it, so parallel runs never
# collide) and points DISPLAY at it. The program under test is made to use X whatever the
# caller's environment says.
kx_start_display() {
  [ -n "$kx_work" ] || kx_make_work
  local dfile="$kx_work/display"
  : >"$dfile"
  Xvfb -displayfd 3 -screen 0 "$KX_SCREEN" -nolisten tcp -noreset \
    3>"$dfile" >"$kx_work/xvfb.log" 2>&1 &
  kx_xvfb_pid=$!
  kx_guard "$kx_xvfb_pid"
  kx_wait_announced "$dfile" '^[0-9][0-9]*$' "$kx_xvfb_pid" "$kx_work/xvfb.log" Xvfb
  DISPLAY=":$(head -n 1 "$dfile")"
  export DISPLAY
  unset WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=xcb
  export XDG_RUNTIME_DIR="$kx_work/runtime"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
  xdotool mousemove 0 0
  kx_start_session_bus
}

# A session bus of our own, so the accessibility service that reads the program's texts
# serves this display only; it ends with the bus.
kx_start_session_bus() {
  local afile="$kx_work/bus.address"
  : >"$afile"
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$kx_work/bus" \
    --print-address=3 3>"$afile" >"$kx_work/bus.log" 2>&1 &
  kx_bus_pid=$!
  kx_guard "$kx_bus_pid"
  kx_wait_announced "$afile" '^unix:' "$kx_bus_pid" "$kx_work/bus.log" dbus-daemon
  export DBUS_SESSION_BUS_ADDRESS
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$afile")
  unset AT_SPI_BUS_ADDRESS
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
}

# kx_launch DIR PROGRAM [ARGS...]: starts PROGRAM with DIR as its working directory; its
# output goes to $kx_work/app.out and app.err.
kx_launch() {
  local dir=$1
  shift
  kx_app_status=
  (cd "$dir" && exec "$@") >"$kx_work/app.out" 2>"$kx_work/app.err" &
  kx_app_pid=$!
  kx_guard "$kx_app_pid"
}

# True while the launched program runs (a finished but unreaped child counts as ended).
kx_app_running() {
  local state
  state=$(awk '{print $3}' "/proc/$kx_app_pid/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Visible windows, one "id<TAB>title" line each; the root window is no window of the program.
kx_windows() {
  local id root
  root=$(xwininfo -root | awk '/Window id:/ { print $4 }')
  root=$((root))
  for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
    [ "$id" != "$root" ] || continue
    printf '%s\t%s\n' "$id" "$(xdotool getwindowname "$id" 2>/dev/null)"
  done
}

# Window ids whose title is exactly TITLE.
kx_find() {
  kx_windows | awk -F '\t' -v t="$1" '$2 == t { print $1 }'
}

# Titles that must never show up while the kx_wait_* functions wait, one per line.
KX_FORBIDDEN=

kx_check_forbidden() {
  local t
  [ -n "$KX_FORBIDDEN" ] || return 0
  while IFS= read -r t; do
    [ -z "$(kx_find "$t")" ] || kx_fail "a window titled \"$t\" appeared"
  done <<<"$KX_FORBIDDEN"
}

# kx_wait_window TITLE [SECONDS]: waits until a window titled TITLE is visible and prints its
# id. Fails when the program ends first or the time runs out.
kx_wait_window() {
  local title=$1 seconds=${2:-$KX_PROMPT_SECONDS} ids
  local deadline=$((SECONDS + seconds))
  while :; do
    kx_check_forbidden
    ids=$(kx_find "$title")
    if [ -n "$ids" ]; then
      echo "$ids" | head -n 1
      return 0
    fi
    kx_app_running || kx_fail "the program ended before \"$title\" appeared"
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "no window \"$title\" within ${seconds}s; windows: $(kx_windows | tr '\n' ' ')"
    sleep "$KX_POLL_SECONDS"
  done
}

# kx_texts TITLE: the texts shown in the window titled TITLE, one per line, as a screen reader
# reads them.
kx_texts() {
  timeout 30 /usr/bin/python3 "$kx_lib_dir/atspi_texts.py" 2>/dev/null \
    | awk -F '\t' -v t="$1" '$1 == t { sub(/^[^\t]*\t/, ""); print }' || true
}

# kx_wait_text TITLE TEXT [SECONDS]: waits until the window titled TITLE shows TEXT. Fails when
# the program ends first or the time runs out.
kx_wait_text() {
  local title=$1 text=$2 seconds=${3:-$KX_PROMPT_SECONDS}
  local deadline=$((SECONDS + seconds))
  until kx_texts "$title" | grep -qxF -- "$text"; do
    kx_check_forbidden
    kx_app_running || kx_fail "the program ended before \"$title\" showed \"$text\""
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "\"$title\" did not show \"$text\" within ${seconds}s; it shows: $(kx_texts "$title" | tr '\n' '|')"
    sleep "$KX_POLL_SECONDS"
  done
}

# Reaps the ended program and prints its exit status.
kx_reap() {
  if [ -z "$kx_app_status" ]; then
    kx_app_status=0
    wait "$kx_app_pid" 2>/dev/null || kx_app_status=$?
  fi
  echo "$kx_app_status"
}

# kx_wait_exit [SECONDS] [ALLOWED_IDS...]: waits for the program to end, failing if any
# visible window other than ALLOWED_IDS appears meanwhile; sets kx_app_status.
kx_wait_exit() {
  local seconds=${1:-$KX_PROMPT_SECONDS}
  shift || true
  local deadline=$((SECONDS + seconds)) id
  while kx_app_running; do
    for id in $(kx_windows | cut -f 1); do
      case " $* " in *" $id "*) ;; *) kx_fail "window \"$(xdotool getwindowname "$id")\" appeared while the program should be ending" ;; esac
    done
    [ "$SECONDS" -lt "$deadline" ] || kx_fail "the program did not end within ${seconds}s"
    sleep "$KX_POLL_SECONDS"
  done
  kx_reap >/dev/null
}

# kx_key WINDOW KEY: gives WINDOW the keyboard focus and types KEY there.
kx_key() {
  timeout 20 xdotool windowfocus --sync "$1" || kx_fail "could not focus window $1"
  xdotool key --clearmodifiers "$2"
}

# kx_click WINDOW FX FY: a left click at the fractions FX, FY of WINDOW's width and height.
kx_click() {
  local x y
  read -r x y < <(xdotool getwindowgeometry --shell "$1" | awk -F = -v fx="$2" -v fy="$3" '
      $1 == "WIDTH" { w = $2 } $1 == "HEIGHT" { h = $2 }
      END { printf "%d %d\n", w * fx, h * fy }')
  xdotool mousemove --window "$1" "$x" "$y" click 1
  xdotool mousemove 0 0
}

# kx_shot WINDOW|root FILE: a PNG of one window or of the whole screen, without the time
# stamps that would make two shots of the same picture differ.
kx_shot() {
  import -window "$1" +set date:create +set date:modify -define png:exclude-chunks=date,time \
    "$2"
}

# kx_snapshot DIR [EXCEPT]: names, kinds, sizes, modes, modification times and contents of
# everything under DIR but the entry named EXCEPT, so two snapshots differ whenever anything
# else was created, removed or touched.
kx_snapshot() {
  (
    cd "$1" || exit 1
    local skip=()
    [ -z "${2:-}" ] || skip=(! -path "./$2")
    find . -mindepth 1 "${skip[@]}" -printf '%P\t%y\t%s\t%m\t%T@\n' | LC_ALL=C sort
    find . -type f "${skip[@]}" -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum
  )
}

# kx_ini_value FILE: the Version value of the [DB] section, as the program would show it.
kx_ini_value() {
  awk '{ sub(/\r$/, "") }
       /^[ \t]*\[/ { db = tolower($0) ~ /^[ \t]*\[db\][ \t]*$/; next }
       db && tolower($0) ~ /^[ \t]*version[ \t]*=/ { sub(/^[^=]*=[ \t]*/, ""); print; exit }' "$1"
}
