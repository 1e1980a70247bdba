#!/bin/bash
# Installs, on Debian 12, every package the project needs to build, run and
# test, and nothing when all of them are there already.
set -euo pipefail

packages=(
  # Native build, tests and benchmarks; file for the Debian package's library dependencies
  build-essential cmake googletest libbenchmark-dev valgrind strace time file
  # The disk benchmark: chattr, and mkfs.ext4 for an image where /var/tmp is on no disk
  e2fsprogs
  # The file-system matrix: images of each kind, FUSE drives, ACLs, the reference script
  xfsprogs btrfs-progs ntfs-3g exfat-fuse exfatprogs dosfstools fusefat fuse3 acl python3
  # Hardening: sanitizers' runtimes and the fuzzer
  clang libclang-rt-14-dev
  # Windows program: cross-compiler, resource tools, Wine and a virtual display
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine32 wine64 fonts-wine xvfb xauth x11-utils imagemagick xdotool
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

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
  as_root apt-get update -qq
  [ ${#missing[@]} -eq 0 ] ||
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
