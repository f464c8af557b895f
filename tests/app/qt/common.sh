# Shared set-up of the end-to-end tests: sourced after `set -euo pipefail`.
kx_tests_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
kx_data="$kx_tests_dir/data"
# shellcheck source=../../../scripts/lib/x11.sh
source "$kx_tests_dir/../../../scripts/lib/x11.sh"
trap kx_cleanup EXIT
kx_make_work

# The package's last write: late evening UTC, already the next day in the program's time zone
# (UTC+8), so a stamp taken from local time instead of UTC shows.
kx_package_time='2024-02-29 20:30:00 UTC'
export TZ=CST-8

# kx_put_ini DIR / kx_put_package DIR: the installation files, as the tests expect them.
kx_put_ini() { cp "$kx_data/tsetting.ini" "$1/tsetting.ini"; }
kx_put_package() {
  printf 'upgrade package\n' >"$1/HarrowglimmerPatch.dat"
  touch -d "$kx_package_time" "$1/HarrowglimmerPatch.dat"
}

# kx_make_installation EXE: a complete installation in $kx_work/installation (the program,
# its settings file and the package); prints its path.
kx_make_installation() {
  local inst="$kx_work/installation"
  mkdir -p "$inst"
  cp "$1" "$inst/Kestrival"
  kx_put_ini "$inst"
  kx_put_package "$inst"
  echo "$inst"
}

# kx_expect_status N: the ended program's exit status must be N.
kx_expect_status() {
  [ "$kx_app_status" = "$1" ] || kx_fail "exit status $kx_app_status, expected $1"
}
