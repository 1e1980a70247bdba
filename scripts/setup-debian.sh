#!/bin/bash
# Installs, on Debian 12, every package the project needs to build, run and
# test, and nothing when all of them are there already.
set -euo pipefail

packages=(
  # Native build, tests and benchmarks; file for the Debian package's library dependencies
  build-essential cmake googletest libbenchmark-dev valgrind strace time file
  # The disk benchmark: chattr, and mkfs.ext4 for an image where /var/tmp is on no disk
  e2fsprogs
  # The file-system matrix: images of each kind, FUSE drives (and bindfs, which sets
  # its own modes), ACLs, the reference script
  xfsprogs btrfs-progs ntfs-3g exfat-fuse exfatprogs dosfstools fusefat fuse3 bindfs acl python3
  # Hardening: sanitizers' runtimes and the fuzzer
  clang libclang-rt-14-dev
  # Windows program: cross-compiler, resource tools, Wine and a virtual display
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine32 wine64 fonts-wine xvfb xauth x11-utils imagemagick xdotool
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync serves lists that fail their checksums: ask again
# before going on with what arrived.
update_package_lists() {
  local attempt
  for attempt in 1 2 3; do
    as_root apt-get update -qq -o Acquire::Retries=3 && return 0
    [ $attempt -eq 3 ] || sleep $((attempt * 20))
  done
  echo "setup: some package lists could not be fetched; going on with the rest" >&2
}

# Where one architecture's security list is missing, the two halves of a
# multiarch library (wine32's i386 ones) would want different versions;
# the release's own versions always agree.
install_packages() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Acquire::Retries=3 "$@" && return 0
  echo "setup: installing again from bookworm's own versions" >&2
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Acquire::Retries=3 -t bookworm "$@"
}

# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  need_update=1
fi

missing=()
for package in "${packages[@]}"; do
  name=$package
  [ "$package" = wine32 ] && name=wine32:i386
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]:-package lists}" >&2
  update_package_lists
  [ ${#missing[@]} -eq 0 ] ||
    install_packages "${missing[@]}"
fi

# Where the kernel runs no 32-bit programs, qemu runs them, so that the
# 32-bit Windows program is tested there too. Bookworm's own qemu (7.2)
# stops Wine ("failed to map the shared user data"); its backports' runs it.
binfmt=/proc/sys/fs/binfmt_misc

# The first URI the machine's apt sources give for a Debian suite, from
# one-line .list files or deb822 .sources files.
mirror_of_suite() {
  local suite=$1 file uri
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    case $file in
    *.sources)
      uri=$(awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" }
        {
          delete field
          for (i = 1; i <= NF; i++)
            if ($i !~ /^#/ && match($i, /^[A-Za-z-]+:/)) {
              value = substr($i, RLENGTH + 1)
              gsub(/[ \t]+/, " ", value)
              field[tolower(substr($i, 1, RLENGTH - 1))] = " " value " "
            }
          if (index(field["types"], " deb ") && index(field["suites"], " " suite " ") &&
              !index(field["enabled"], " no ")) {
            split(field["uris"], uris, " ")
            print uris[1]
            exit
          }
        }' "$file")
      ;;
    *)
      uri=$(awk -v suite="$suite" '{ sub(/#.*/, "") }
        $1 == "deb" { sub(/^[ \t]*deb[ \t]+(\[[^]]*\][ \t]*)?/, ""); if ($2 == suite) { print $1; exit } }' "$file")
      ;;
    esac
    if [ -n "$uri" ]; then
      echo "$uri"
      return
    fi
  done
}

enable_backports() {
  [ -z "$(mirror_of_suite bookworm-backports)" ] || return 0
  local mirror
  mirror=$(mirror_of_suite bookworm)
  if [ -z "$mirror" ]; then
    echo "setup: no apt source names bookworm, beside which to add bookworm-backports" >&2
    exit 1
  fi
  echo "setup: adding bookworm-backports from $mirror" >&2
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: %s\n' \
    "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg |
    as_root tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
  update_package_lists
}

install_backports_qemu() {
  local installed
  installed=$(dpkg-query -W -f='${db:Status-Status} ${Version}' qemu-user 2>/dev/null) || true
  if [ "${installed%% *}" = installed ] && dpkg --compare-versions "${installed#* }" ge 1:10; then
    return 0
  fi
  echo "setup: installing qemu-user from bookworm-backports" >&2
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Acquire::Retries=3 --no-install-recommends \
    qemu-user/bookworm-backports
}

# The rule qemu-user ships for systemd-binfmt, registered by hand: Debian
# leaves i386 out of qemu-user-binfmt on amd64, whose kernel usually runs it.
register_qemu_i386() {
  [ ! -e "$binfmt/qemu-i386" ] || return 0
  mountpoint -q "$binfmt" || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  echo "setup: registering qemu-i386 with binfmt_misc" >&2
  as_root tee "$binfmt/register" </usr/share/qemu/binfmt.d/qemu-i386.conf >/dev/null
}

# Status 1: the kernel refused the program, rather than it missing or failing.
status=0
"$(dirname "$0")/runs-32bit-programs" >/dev/null || status=$?
if [ $status -eq 1 ]; then
  enable_backports
  install_backports_qemu
  register_qemu_i386
fi
