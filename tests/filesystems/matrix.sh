#!/bin/bash
# Runs tailsnip-cli over small trees on one kind of file system, twice as
# root and twice as an ordinary user who owns the tree, and checks what a
# user sees after each run (tree.py). Images go through loop devices; NTFS,
# exFAT and FAT32 through FUSE, mounted for that user with umask=000 as a
# stick often is; the overlay's lower layer is read-only.
#   matrix.sh TAILSNIP-CLI ext4|xfs|btrfs|ntfs|exfat|fat32|overlay|tmpfs
# Exits 77 (skipped), saying why in one line, where this machine cannot
# mount that file system. Every mount and loop device it made is gone when
# it ends, however it ends.
set -euo pipefail
cli=$1
kind=$2
tree="python3 $(dirname "$(readlink -f "$0")")/tree.py"
user=65534 # nobody
foreign=1234:1234 # an owner only the superuser's run can keep

skip() {
  echo "$kind: skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "mounting needs root"
umask 022

work=$(mktemp -d -t tailsnip-filesystem.XXXXXX)
chmod 755 "$work"
mounts=()
loops=()
cleanup() {
  set +e
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
  done
  for loop in "${loops[@]}"; do
    losetup -d "$loop"
    # A FUSE driver lets go of its device only as it exits, after the unmount.
    for _ in $(seq 50); do
      [ "$(losetup -n -O BACK-FILE "$loop" 2>/dev/null)" = "$work/image" ] || break
      sleep 0.1
    done
  done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

needs() {
  command -v "$1" >/dev/null || skip "no $1 (Debian package $2)"
}

# A fresh image made by the given mkfs command, attached to a loop device.
attach_image() {
  local size=$1
  shift
  [ -e /dev/loop-control ] || skip "no loop devices"
  truncate -s "$size" "$work/image"
  "$@" "$work/image" >"$work/mkfs.log" 2>&1 || skip "$1 failed: $(tail -n 1 "$work/mkfs.log")"
  loop=$(losetup -f --show "$work/image" 2>&1) || skip "no loop device: $loop"
  loops+=("$loop")
}

# Mounts with the given command, whose last argument is the mount point.
mount_with() {
  "$@" >"$work/mount.log" 2>&1 || skip "cannot mount: $(tail -n 1 "$work/mount.log")"
  mounts+=("${!#}")
}

fuse_options=uid=$user,gid=$user,umask=000,allow_other
drive=$work/mnt
mkdir "$drive"
case $kind in
ext4 | xfs | btrfs)
  case $kind in
  ext4) needs mkfs.ext4 e2fsprogs && attach_image 32M mkfs.ext4 -q -F ;;
  xfs) needs mkfs.xfs xfsprogs && attach_image 300M mkfs.xfs -q -f ;; # its least size
  btrfs) needs mkfs.btrfs btrfs-progs && attach_image 128M mkfs.btrfs -q -f ;;
  esac
  mount_with mount -t "$kind" "$loop" "$drive"
  ;;
ntfs)
  needs mkfs.ntfs ntfs-3g
  [ -e /dev/fuse ] || skip "no FUSE (/dev/fuse)"
  attach_image 32M mkfs.ntfs -q -F -Q
  mount_with ntfs-3g -o "$fuse_options" "$loop" "$drive"
  ;;
exfat)
  needs mkfs.exfat exfatprogs
  needs mount.exfat-fuse exfat-fuse
  [ -e /dev/fuse ] || skip "no FUSE (/dev/fuse)"
  attach_image 32M mkfs.exfat
  mount_with mount.exfat-fuse -o "$fuse_options" "$loop" "$drive"
  ;;
fat32)
  needs mkfs.vfat dosfstools
  needs fusefat fusefat
  [ -e /dev/fuse ] || skip "no FUSE (/dev/fuse)"
  attach_image 64M mkfs.vfat -F 32
  mount_with fusefat -o "rw+,$fuse_options" "$loop" "$drive"
  ;;
tmpfs)
  mount_with mount -t tmpfs -o size=64m tmpfs "$drive"
  ;;
overlay)
  # The trees are made in the lower layer, which is then made read-only:
  # every replacement copies a file up.
  mkdir "$work/lower" "$work/rw"
  mount_with mount -t tmpfs -o size=32m tmpfs "$work/lower"
  mount_with mount -t tmpfs -o size=32m tmpfs "$work/rw"
  mkdir "$work/rw/upper" "$work/rw/work"
  ;;
*)
  echo "unknown file system: $kind" >&2
  exit 2
  ;;
esac

trees=$drive
[ "$kind" = overlay ] && trees=$work/lower
held=$($tree make "$trees/root" --foreign $foreign)
echo "$kind, root's tree: $held"
held=$($tree make "$trees/user")
echo "$kind, $user's tree: $held"
case $kind in
ntfs | exfat | fat32) ;; # the mount gives every file its owner
*) chown -R -h $user:$user "$trees/user" ;;
esac
if [ "$kind" = overlay ]; then
  mount -o remount,ro "$work/lower"
  mount_with mount -t overlay overlay \
    -o "lowerdir=$work/lower,upperdir=$work/rw/upper,workdir=$work/rw/work" "$drive"
fi

# The user must reach the program, and keeps its journal in a home of its own.
install -m 755 "$cli" "$work/tailsnip-cli"
mkdir -p "$work/state/root" "$work/state/user"
chown $user:$user "$work/state/user"

status=0
echo "$kind, root's runs:"
$tree trim-twice "$drive/root" env XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" . ||
  status=1
echo "$kind, $user's runs:"
$tree trim-twice "$drive/user" setpriv --reuid=$user --regid=$user --clear-groups \
  env HOME="$work/state/user" XDG_STATE_HOME="$work/state/user" \
  sh -c 'umask 022 && exec "$0" .' "$work/tailsnip-cli" || status=1
# Backups: a second name of the file where the file system keeps links, a
# copy where it keeps none; the original's bytes and time either way, left
# alone later. (fusefat gives a file it made the time of its first rename.)
echo "$kind, backups:"
mkdir "$drive/backups"
printf 'a\nb\n' >"$drive/backups/f"
touch -d @978307200 "$drive/backups/f"
printf 'a\nb\n' >"$work/original"
printf 'a\r\n' >"$work/shortened"
for _ in 1 2; do
  env XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" -q --backup=numbered \
    "$drive/backups" >/dev/null || status=1
done
if ! cmp -s "$work/original" "$drive/backups/f.~1~" ||
  { [ "$kind" != fat32 ] && [ "$(stat -c %Y "$drive/backups/f.~1~")" != 978307200 ]; } ||
  ! cmp -s "$work/shortened" "$drive/backups/f.~2~" || [ -s "$drive/backups/f" ] ||
  [ "$(ls -A "$drive/backups" | wc -l)" -ne 3 ]; then
  echo "$kind: backups not as made: $(ls -A "$drive/backups" | xargs)"
  status=1
fi
# A backup takes its name only once whole and flushed (a link, an unnamed
# copy named, or a copy renamed), never by being created under it: a crash
# would leave part of a file there, taken for a whole backup.
echo "$kind, a backup named only once whole:"
mkdir "$drive/named"
printf 'a\nb\n' >"$drive/named/f"
# (A sanitizer's leak checker cannot run while traced.)
strace -f -e trace=open,openat,creat -o "$work/backup.trace" \
  env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" -q --backup=numbered \
  "$drive/named" >/dev/null || status=1
if ! cmp -s "$work/original" "$drive/named/f.~1~" || grep -q 'f\.~1~.*O_CREAT' "$work/backup.trace"; then
  echo "$kind: the backup was not made, or was created under its own name"
  status=1
fi
# A FUSE file system's program flushes its storage only when a file is
# flushed, never for a flush of the whole volume: each file is flushed.
case $kind in
ntfs | exfat | fat32)
  echo "$kind, each file flushed:"
  mkdir "$drive/flushed"
  for n in 1 2 3 4 5; do printf 'a\nb\n' >"$drive/flushed/$n"; done
  strace -f -y -e trace=fsync,fdatasync -o "$work/flush.trace" \
    env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" -q "$drive/flushed" >/dev/null || status=1
  flushed=$(grep -c 'sync([0-9]*</[^>]*/flushed/' "$work/flush.trace" || true)
  if [ "$flushed" -lt 5 ]; then
    echo "$kind: $flushed of 5 files flushed"
    status=1
  fi
  ;;
esac
# A dry run claims nothing, and still sees another run's claim as the
# system's table of locks shows it: by the file system's device, which on
# btrfs is not the one its folders report.
echo "$kind, a claim seen without claiming:"
mkdir "$drive/claimed"
seen=0
flock -x "$drive/claimed" env XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" -nq \
  "$drive/claimed" >/dev/null 2>&1 || seen=$?
if [ $seen -ne 2 ]; then
  echo "$kind: a dry run did not see another run's claim (status $seen)"
  status=1
fi
# A folder that passes its project on to its files takes no copy of a file
# of another project: the dry run names the file as the run does, with the
# same reason, and the file stays as it was.
if [ "$kind" = xfs ] && chattr +P -p 7 "$drive/claimed" 2>/dev/null; then
  echo "$kind, a file of a project other than its folder's:"
  printf 'a\nb\n' >"$drive/claimed/other"
  chattr -p 9 "$drive/claimed/other"
  for run in --dry-run --lines=1; do
    said=$(env XDG_STATE_HOME="$work/state/root" "$work/tailsnip-cli" "$run" "$drive/claimed" || true)
    if [[ $said != *"/other: its permissions or attributes could not be kept"* ]] ||
      ! cmp -s "$work/original" "$drive/claimed/other"; then
      echo "$kind, $run: $said"
      status=1
    fi
  done
fi
[ $status -eq 0 ] && echo "$kind: every check held"
exit $status
