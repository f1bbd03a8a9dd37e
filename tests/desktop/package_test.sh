#!/usr/bin/env bash
# Builds the Debian package from the build folder with CPack into a temporary folder, checks
# that it holds exactly the installed files and that its dependencies were found, and runs
# lintian on it: errors fail the test, warnings are shown.
# Usage: package_test.sh BUILD-DIR EXPECTED-LIST
set -uo pipefail
build=$1 expected=$2
for tool in dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"; exit 1
fi
deb=$(ls "$out"/*.deb 2>/dev/null | head -n1)
[[ -n "$deb" ]] || { echo "FAILED: cpack made no .deb"; cat "$out/cpack.log"; exit 1; }
echo "package: $(basename "$deb")"
failed=0

if ! diff -u "$expected" <(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' |
    sed 's|^\./||' | LC_ALL=C sort); then
  echo "FAILED: the package's files differ from the expected list (- expected, + packaged)"
  failed=1
fi
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6; do
  [[ "$depends" == *"$lib"* ]] || { echo "FAILED: no dependency on $lib"; failed=1; }
done

lintian --tag-display-limit 0 "$deb" >"$out/lintian.log" 2>&1
cat "$out/lintian.log"
if grep -q '^E:' "$out/lintian.log"; then
  echo "FAILED: lintian reports errors"
  failed=1
fi
exit $failed
