#!/bin/bash
# Packs a built tree with CPack and compares the package's name and the files
# it holds with the expected ones, given as the package's file name followed
# by every file in it.
#   package_contents.sh BUILD_DIR ZIP|DEB PACKAGE_NAME FILE...
set -uo pipefail
export LC_ALL=C # one sort order for both lists
build=$1 generator=$2 expected_name=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -G "$generator" -B "$work" >"$work/log" 2>&1; then
  cat "$work/log" >&2
  exit 1
fi
package=$(find "$work" -maxdepth 1 -type f \( -name '*.zip' -o -name '*.deb' \) -printf '%f\n')
case $generator in
ZIP) listing=$(cd "$work" && cmake -E tar tf "$package") ;;
DEB) listing=$(dpkg-deb -c "$work/$package" | awk '{ print $6 }') ;;
esac
files=$(grep -v '/$' <<<"$listing" | sort)
expected_files=$(printf '%s\n' "$@" | sort)

status=0
if [ "$package" != "$expected_name" ]; then
  echo "expected the package $expected_name, got: $package" >&2
  status=1
fi
if [ "$files" != "$expected_files" ]; then
  printf 'expected the files:\n%s\ngot:\n%s\n' "$expected_files" "$files" >&2
  status=1
fi
exit $status
