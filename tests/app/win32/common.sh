# Shared set-up of the Windows end-to-end tests: sourced after `set -euo pipefail`, with the
# arguments KESTRIVAL_EXE WIN_PROBE_EXE WINEPREFIX_TO_COPY.
kx_tests_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
kx_data="$kx_tests_dir/data"
source "$kx_tests_dir/../../../scripts/lib/x11.sh"
source "$kx_tests_dir/../../../scripts/lib/wine-x11.sh"
trap kw_cleanup EXIT
exe=$(realpath "$1")
kx_start_display
kw_start "$(realpath "$2")" "$3"

# The package's last write: late evening UTC, already the next day in the program's time zone
# (UTC+8), so a stamp taken from local time instead of UTC shows.
kx_package_time='2024-02-29 20:30:00 UTC'
export TZ=CST-8

# kx_make_installation [DIR]: the program, its settings file and the package in DIR (default
# $kx_work/installation); prints its path.
kx_make_installation() {
  local inst=${1:-$kx_work/installation}
  mkdir -p "$inst"
  cp "$exe" "$inst/Kestrival.exe"
  cp "$kx_data/tsetting.ini" "$inst/tsetting.ini"
  printf 'upgrade package\n' >"$inst/HarrowglimmerPatch.dat"
  touch -d "$kx_package_time" "$inst/HarrowglimmerPatch.dat"
  echo "$inst"
}

# kw_expect_lines CAPTION GOLDEN: the window CAPTION and its controls are as the data file says.
kw_expect_lines() {
  diff <(kw_lines "$1") "$kx_data/$2" || kx_fail "\"$1\" differs from $2"
}
