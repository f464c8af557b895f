#!/bin/sh
# The committed icon images are what make_icon.py draws, byte for byte.
# Usage: icons_match.sh PYTHON ICONS_DIR
set -eu
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$1" "$2/make_icon.py" "$out"
for f in kestrival-32.xpm kestrival-16.xpm kestrival.ico; do
  cmp "$2/$f" "$out/$f"
done
