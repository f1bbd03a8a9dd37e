#!/usr/bin/env bash
# Installs the build into a temporary folder under the prefix /usr and compares the files that
# arrive with the expected list; then validates the desktop entry and the AppStream metadata
# as installed, and checks each PNG icon has the size its folder names.
# Usage: install_test.sh BUILD-DIR EXPECTED-LIST
set -uo pipefail
build=$1 expected=$2
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failed=0

if ! DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$dest.log" 2>&1; then
  cat "$dest.log"; rm -f "$dest.log"; exit 1
fi
rm -f "$dest.log"
if ! diff -u "$expected" <(cd "$dest" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); then
  echo "FAILED: the installed files differ from the expected list (- expected, + installed)"
  failed=1
fi
[[ -x "$dest/usr/bin/postlark" ]] || { echo "FAILED: the program is not executable"; failed=1; }

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$dest"/usr/share/applications/*.desktop || failed=1
else
  echo "desktop-file-validate is not installed: desktop entry not validated"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --pedantic "$dest"/usr/share/metainfo/*.xml || failed=1
else
  echo "appstreamcli is not installed: metadata not validated"
fi

# The PNG header holds width and height as 32-bit big-endian numbers at bytes 16 and 20.
for png in "$dest"/usr/share/icons/hicolor/*x*/apps/*.png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
  [[ "${w}x${h}" == "$size" ]] || { echo "FAILED: $png is ${w}x${h}"; failed=1; }
done
exit $failed
