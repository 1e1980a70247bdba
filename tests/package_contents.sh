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

# The Debian package's tmpfiles line makes the markers' folder root's, even
# where a user's run made it first: applied under a scratch root, it must
# leave that folder root's, sticky and open to all.
if [ "$generator" = DEB ]; then
  dpkg-deb -R "$work/$package" "$work/unpacked"
  if [ ! -x "$work/unpacked/DEBIAN/postinst" ]; then
    echo "the package has no postinst that makes the markers' folder" >&2
    status=1
  fi
  if [ "$(id -u)" -eq 0 ] && command -v systemd-tmpfiles >/dev/null; then
    folder=$work/root/var/tmp/tailsnip
    mkdir -p "$folder" && chown nobody "$folder" && chmod 755 "$folder"
    systemd-tmpfiles --create --root="$work/root" \
      "$work/unpacked/usr/lib/tmpfiles.d/tailsnip-cli.conf" >&2
    made=$(stat -c '%U %a' "$folder")
    if [ "$made" != "root 1777" ]; then
      echo "expected the markers' folder to be 'root 1777', got: '$made'" >&2
      status=1
    fi
  else
    echo "not checked: the markers' folder as installed (needs root and systemd-tmpfiles)"
  fi
fi
exit $status
