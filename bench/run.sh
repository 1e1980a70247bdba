#!/bin/bash
# bench/run.sh [BUILD_DIR]: installs what is missing, builds Release in
# BUILD_DIR (default build-bench) and prints every figure beside its goal:
# 10,000 small files on a disk and on tmpfs, one 512 MiB file with LF and
# one with CR LF line ends on tmpfs, tailsnip-cli's peak memory and system
# calls, and the line-end loop's instructions per byte. See bench/README.md.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
"$bench/../scripts/setup-debian.sh"
# shellcheck source=bench/common.sh
source "$bench/common.sh" "$@"

echo "Tailsnip benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), source $(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)"
echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
  "Linux $(uname -r), load average at start $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
start=$SECONDS
build_tools

# --- Where the trees live ----------------------------------------------------

tmpfs=$(mktemp -d /tmp/tailsnip-bench.XXXXXX)
disk=""
disk_image=""
cleanup() {
  cd /
  for place in "$tmpfs" "$disk"; do
    [ -n "$place" ] || continue
    if mountpoint -q "$place"; then umount "$place"; fi
    rm -rf "$place"
  done
  [ -z "$disk_image" ] || rm -f "$disk_image"
}
trap cleanup EXIT
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=3g tailsnip-bench "$tmpfs" 2>/dev/null; then
  tmpfs_note="a tmpfs of its own, 3 GiB"
else
  rmdir "$tmpfs"
  tmpfs=$(mktemp -d /dev/shm/tailsnip-bench.XXXXXX)
  tmpfs_note="/dev/shm (not root, or mounting not allowed)"
fi

# The disk part needs a file system on a disk: /var/tmp's when it is one;
# otherwise, as root, an ext4 image in the build folder on a loop device.
case $(findmnt -n -o FSTYPE -T /var/tmp) in
ext2 | ext3 | ext4 | xfs | btrfs | f2fs | jfs)
  disk=$(mktemp -d /var/tmp/tailsnip-bench.XXXXXX)
  disk_note="/var/tmp's own file system"
  ;;
*)
  if [ "$(id -u)" -eq 0 ]; then
    disk_image=$build/disk.img
    disk=$(mktemp -d /tmp/tailsnip-disk.XXXXXX)
    truncate -s 2G "$disk_image"
    mkfs.ext4 -q -F "$disk_image"
    mount -o loop "$disk_image" "$disk"
    disk_note="an ext4 image in $build on a loop device (/var/tmp is on no disk)"
  fi
  ;;
esac
# ext4 without a journal will not reuse an inode freed in the last minutes,
# and each new file scans past all such inodes of its block group: a run
# among the inodes an earlier run freed is slower for that alone. Folders
# made in a folder marked "top of a hierarchy" are spread over other block
# groups, so each run on the disk gets a fresh one. Elsewhere the mark is
# not supported and not needed.
[ -z "$disk" ] || chattr +T "$disk" 2>/dev/null || true

file_system() { findmnt -n -o FSTYPE,SOURCE -T "$1" | awk '{ print $1 " (" $2 ")" }'; }

# --- Timed runs ----------------------------------------------------------------

declare -A every best best_user best_system peak
runs=0
# record KEY: adds this run's time to KEY's and keeps the CPU split of the best.
record() {
  every[$1]+=" $seconds"
  if [ -z "${best[$1]:-}" ] || awk -v a="$seconds" -v b="${best[$1]}" 'BEGIN { exit !(a < b) }'; then
    best[$1]=$seconds
    best_user[$1]=$user_seconds
    best_system[$1]=$system_seconds
  fi
}

# run_tool PLACE TREE TOOL: one timed run of TOOL on a fresh copy of TREE,
# from a current directory beside it (where tailsnip-cli writes temp.txt),
# both in a folder of their own. On the disk the copy is written to it first.
run_tool() {
  local place=$1 tree=$2 tool=$3
  local run=$place/run-$((++runs))
  mkdir -p "$run/cwd"
  cp -a "$place/$tree" "$run/work"
  [ "$place" != "$disk" ] || sync
  cd "$run/cwd"
  case $tool in
  tailsnip)
    measure "$run/output" "$cli" "$run/work"
    check_tailsnip_run "$run/output" "$run/cwd"
    same_tree "$place/reference" "$run/work"
    if ((peak_kib > ${peak[$tree]:-0})); then peak[$tree]=$peak_kib; fi
    ;;
  sed)
    # shellcheck disable=SC2016 # sed's own "$d": delete the last line
    measure "$run/output" find "$run/work" -type f -exec sed -i '$d' {} +
    ;;
  cp) measure "$run/output" cp -a "$run/work" "$run/copy" ;;
  in_turn)
    measure "$run/output" "$tools/trim-in-turn" "$run/work"
    check_tailsnip_run "$run/output" "$run/cwd"
    same_tree "$place/reference" "$run/work"
    ;;
  floor) measure "$run/output" "$tools/rewrite-floor" "$run/work" ;;
  no_flush) measure "$run/output" "$tools/rewrite-floor" --no-flush "$run/work" ;;
  esac
  record "$place.$tree.$tool"
  cd /
  # On the disk each run keeps its folder (see above); tmpfs has no such trap.
  [ "$place" = "$disk" ] || rm -rf "$run"
}

# run_tree PLACE TREE TOOLS...: every tool, $rounds times each (on the
# disk, where each run takes seconds, $disk_rounds), in turn.
disk_rounds=3
run_tree() {
  local place=$1 tree=$2 round tool count=$rounds
  shift 2
  [ "$place" != "$disk" ] || count=$disk_rounds
  make_reference "$place/$tree" "$place/reference"
  for ((round = 0; round < count; round++)); do
    for tool in $(rotated "$round" "$@"); do
      run_tool "$place" "$tree" "$tool"
    done
  done
  rm -rf "$place/reference"
}

"$tools/make-text" tree "$tmpfs/small"
run_tree "$tmpfs" small tailsnip sed cp floor
# The system calls of one run over the small files.
fresh_copy "$tmpfs/small" "$tmpfs/work"
(cd "$tmpfs" && strace -f -c -o "$tmpfs/syscalls" "$cli" "$tmpfs/work" >/dev/null 2>&1)
files=$(find "$tmpfs/small" -type f | wc -l)
small_mib=$(mebibytes $(($(du -s -B 1024 --apparent-size "$tmpfs/small" | cut -f 1))))
if [ -n "$disk" ]; then
  fresh_copy "$tmpfs/small" "$disk/small"
  run_tree "$disk" small tailsnip in_turn sed floor no_flush
  # Many small files made durable: one after another, from threads, by volume.
  flush_ways=$("$tools/flush-ways" "$disk" 85 4)
fi
rm -rf "$tmpfs/small" "$tmpfs/work"

# trace_calls TREE TOOL: strace -c -w of one run of TOOL on a fresh copy of
# TREE: where its time goes, system call by call.
declare -A call_times
trace_calls() {
  local tree=$1 tool=$2
  local command=("$cli" "$tmpfs/work")
  case $tool in
  floor) command=("$tools/rewrite-floor" "$tmpfs/work") ;;
  cp) command=(cp -a "$tmpfs/work" "$tmpfs/copy") ;;
  esac
  fresh_copy "$tmpfs/$tree" "$tmpfs/work"
  (cd "$tmpfs" && strace -f -c -w -o "$tmpfs/calls" "${command[@]}" >/dev/null 2>&1)
  call_times[$tree.$tool]=$(awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $2 >= 0.005 && $NF != "total" {
    printf "%s%s %.3f", sep, $NF, $2; sep = ", " }' "$tmpfs/calls")
  rm -rf "$tmpfs/work" "$tmpfs/copy" "$tmpfs/calls"
}
for style in lf crlf; do
  mkdir "$tmpfs/$style"
  if [ $style = lf ]; then
    "$tools/make-text" file "$tmpfs/$style/big.txt" 512
  else
    "$tools/make-text" file "$tmpfs/$style/big.txt" 512 crlf
  fi
  run_tree "$tmpfs" $style tailsnip cp floor
  trace_calls $style tailsnip
  trace_calls $style floor
  trace_calls $style cp
  big_mib=$(($(stat -c %s "$tmpfs/$style/big.txt") >> 20))
  rm -rf "${tmpfs:?}/$style"
done

# --- Figures -----------------------------------------------------------------

tree_label() {
  case $1 in
  small) echo "$files small files ($small_mib MiB)" ;;
  lf) echo "one $big_mib MiB file, LF line ends" ;;
  crlf) echo "one $big_mib MiB file, CR LF line ends" ;;
  esac
}
# cell KEY: "best (user + system)" or "-" when not run.
cell() {
  if [ -z "${best[$1]:-}" ]; then echo "-"; else echo "${best[$1]} (${best_user[$1]}+${best_system[$1]})"; fi
}
print_table() {
  local place=$1 tree tool
  shift
  printf '   %-38s' tree
  for tool in "$@"; do printf ' %20s' "$(tool_label "$tool")"; done
  echo
  for tree in small lf crlf; do
    [ -n "${best[$place.$tree.${1}]:-}" ] || continue
    printf '   %-38s' "$(tree_label $tree)"
    for tool in "$@"; do printf ' %20s' "$(cell "$place.$tree.$tool")"; done
    echo
  done
  echo "   every run:"
  for tree in small lf crlf; do
    for tool in "$@"; do
      [ -z "${every[$place.$tree.$tool]:-}" ] ||
        printf '     %-20s%s\n' "$tree $(tool_label "$tool")" "${every[$place.$tree.$tool]}"
    done
  done
}
tool_label() {
  case $1 in
  tailsnip) echo tailsnip-cli ;;
  sed) echo "find+sed -i" ;;
  cp) echo "cp -a" ;;
  in_turn) echo "one at a time" ;;
  floor) echo "rewrite floor" ;;
  no_flush) echo "floor, no fsync" ;;
  esac
}

echo "== On tmpfs: $(file_system "$tmpfs"), $tmpfs_note"
echo "   Seconds, best of $rounds runs (in brackets its user + system CPU seconds), each on a"
echo "   fresh copy. 'rewrite floor' reads every file and renames an unchanged, flushed copy"
echo "   over it: the least a safe replacement costs, without looking at a byte."
echo
print_table "$tmpfs" tailsnip sed cp floor
echo
if [ -n "$disk" ]; then
  echo "== On disk: $(file_system "$disk"), $disk_note"
  echo "   The same small files, best of $disk_rounds runs; each copy written to the disk first (sync)."
  echo "   'one at a time' is the engine as the dialog program runs it, and as tailsnip-cli"
  echo "   did before it put copies in flight: each copy flushed on its own and renamed before"
  echo "   the next entry is read. The rewrite floor flushes each file on its own too; sed"
  echo "   flushes nothing."
  echo
  print_table "$disk" tailsnip in_turn sed floor no_flush
  echo
  echo "   flush-ways: a batch of new files made durable three ways (the run shares one flush"
  echo "   of the volume where the system has it, and flushes from eight threads elsewhere):"
  echo "$flush_ways" | sed 's/^/   /'
else
  echo "== On disk: skipped, /var/tmp is on no disk file system and only root can mount an image"
fi
echo
echo "== System calls per file: strace -f -c of one tailsnip-cli run over the $files small files"
awk -v files="$files" '
  $NF == "total" { printf "   %-16s %8.2f\n", "all", $4 / files; next }
  $1 ~ /^[0-9.]+$/ && NF >= 5 && $4 / files >= 0.005 { printf "   %-16s %8.2f\n", $NF, $4 / files }
' "$tmpfs/syscalls"
echo
"$bench/instructions.sh" "$build"
echo

# --- Goals -------------------------------------------------------------------

of() { echo "${best[$1]}"; }
cpu_of() { awk -v u="${best_user[$1]}" -v s="${best_system[$1]}" 'BEGIN { printf "%.2f", u + s }'; }
# cpu_ratio A B: A / B on the CPU seconds of their best runs.
cpu_ratio() { ratio "$(cpu_of "$1")" "$(cpu_of "$2")"; }
goal_row() { # LABEL FIGURE GOAL CONDITION CPU_FIGURE FILE_SYSTEM
  printf '   %-50s %9s  %-9s %-8s %8s   %s\n' "$1" "$2" "$3" "$(verdict "$4")" "$5" "$6"
}
unmet=()
check() { # NAME CONDITION
  if ! awk "BEGIN { exit !($2) }"; then unmet+=("$1"); fi
}
echo "== Goals (figures from the best runs above)"
printf '   %-50s %9s  %-9s %-8s %8s   %s\n' "" figure goal "" "CPU time" "file system"
if [ -n "$disk" ]; then
  d=$disk.small
  vs_sed=$(ratio "$(of "$d.tailsnip")" "$(of "$d.sed")")
  vs_flush=$(ratio "$(of "$d.in_turn")" "$(of "$d.tailsnip")")
  vs_floor=$(ratio "$(of "$d.floor")" "$(of "$d.tailsnip")")
  goal_row "on disk, small files: tailsnip / sed" "${vs_sed}x" "<= 1x" "$vs_sed <= 1" "-" "$(file_system "$disk")"
  goal_row "on disk, small files: one at a time / tailsnip" "${vs_flush}x" ">= 2.5x" "$vs_flush >= 2.5" "-" "$(file_system "$disk")"
  echo "   (beside the rewrite floor, which flushes each file too: ${vs_floor}x)"
  check disk "$vs_sed <= 1 && $vs_flush >= 2.5"
fi
t=$tmpfs
small_vs_sed=$(ratio "$(of "$t.small.sed")" "$(of "$t.small.tailsnip")")
lf_vs_floor=$(ratio "$(of "$t.lf.tailsnip")" "$(of "$t.lf.floor")")
crlf_vs_cp=$(ratio "$(of "$t.crlf.tailsnip")" "$(of "$t.crlf.cp")")
peak_kib=0
for tree in "${!peak[@]}"; do
  if ((peak[$tree] > peak_kib)); then peak_kib=${peak[$tree]}; fi
done
peak_mib=$(mebibytes "$peak_kib")
goal_row "tmpfs, small files: sed / tailsnip" "${small_vs_sed}x" ">= 3x" "$small_vs_sed >= 3" \
  "$(cpu_ratio "$t.small.sed" "$t.small.tailsnip")x" "$(file_system "$t")"
goal_row "tmpfs, $big_mib MiB LF file: tailsnip / rewrite floor" "${lf_vs_floor}x" "<= 1.15x" \
  "$lf_vs_floor <= 1.15" "$(cpu_ratio "$t.lf.tailsnip" "$t.lf.floor")x" "$(file_system "$t")"
goal_row "tmpfs, $big_mib MiB CR LF file: tailsnip / cp -a" "${crlf_vs_cp}x" "<= 1.5x" \
  "$crlf_vs_cp <= 1.5" "$(cpu_ratio "$t.crlf.tailsnip" "$t.crlf.cp")x" "$(file_system "$t")"
goal_row "peak resident memory of tailsnip-cli, any run" "$peak_mib MiB" "< 64 MiB" "$peak_mib < 64" "-" \
  "(small $(mebibytes "${peak[small]}"), LF $(mebibytes "${peak[lf]}"), CR LF $(mebibytes "${peak[crlf]}") MiB)"
check small "$small_vs_sed >= 3"
check lf "$lf_vs_floor <= 1.15"
check crlf "$crlf_vs_cp <= 1.5"
check memory "$peak_mib < 64"
echo "   'CPU time': the same ratio on user + system seconds, which waiting for a busy processor"
echo "   or a disk does not inflate."
load=$(cut -d ' ' -f 1 /proc/loadavg)
if awk -v l="$load" -v n="$(nproc)" 'BEGIN { exit !(l > n / 2) }'; then
  echo "   Note: the machine was busy (load average $load on $(nproc) cores); the wall times include"
  echo "   waiting for it, and the best of each few runs may still be disturbed."
fi
echo
echo "Checked: after every tailsnip-cli run, every file equals the reference made by sed"
echo "(last line removed, line ends made CR LF); each run printed \"finished!\", exited 0"
echo "and left no temp.txt."

# --- Where the time goes, for each goal out of reach ---------------------------

if [ ${#unmet[@]} -gt 0 ]; then
  echo
  echo "== Goals out of reach: the kernel's part of the time"
fi
split() { echo "${best[$1]} s, of which ${best_system[$1]} s in the kernel and ${best_user[$1]} s in the program"; }
for goal in "${unmet[@]}"; do
  case $goal in
  disk)
    flushes=$(awk -v a="$(of "$d.floor")" -v b="$(of "$d.no_flush")" 'BEGIN { printf "%.3f", a - b }')
    echo "   On disk, small files: tailsnip-cli $(split "$d.tailsnip")."
    echo "     The rewrite floor takes $(of "$d.floor") s with a flush per file and $(of "$d.no_flush") s without:"
    echo "     the flushes alone cost $flushes s, $(awk -v s="$flushes" -v n="$files" 'BEGIN { printf "%.0f", s / n * 1e6 }') us per file, waiting on the disk; sed takes $(of "$d.sed") s."
    ;;
  small)
    echo "   tmpfs, small files: tailsnip-cli $(split "$t.small.tailsnip")."
    echo "     A third of sed's time is $(awk -v s="$(of "$t.small.sed")" 'BEGIN { printf "%.3f", s / 3 }') s; the rewrite floor alone, which reads each file"
    echo "     and renames a copy over it without looking at a byte, takes $(split "$t.small.floor")."
    ;;
  lf | crlf)
    if [ "$goal" = lf ]; then label="LF file" other=floor; else label="CR LF file" other=cp; fi
    echo "   tmpfs, $label: tailsnip-cli $(split "$t.$goal.tailsnip");"
    echo "     $(tool_label $other) $(split "$t.$goal.$other")."
    if [ "$goal" = lf ]; then
      echo "     The translation is tailsnip-cli's user time; reading and writing are the kernel's, as"
      echo "     for the floor."
    else
      echo "     tailsnip-cli reads every byte once, to know that it needs no new line ends (pread64),"
      echo "     has the kernel copy it (copy_file_range) and frees the replaced file (rename);"
      echo "     cp -a only copies."
    fi
    echo "     Seconds in each system call (strace -f -c -w of one more run):"
    echo "       tailsnip-cli:  ${call_times[$goal.tailsnip]}"
    echo "       $(printf '%-14s' "$(tool_label $other):") ${call_times[$goal.$other]}"
    ;;
  memory) echo "   Peak memory: $peak_mib MiB." ;;
  esac
done
echo
echo "Whole benchmark: $((SECONDS - start)) s, load average at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
