#!/bin/bash
# bench/run.sh [--against REVISION] [--rounds N] [BUILD_DIR]: installs what
# is missing, builds Release in BUILD_DIR (default build-bench) and prints
# every figure beside its goal: 10,000 small files on a disk and on tmpfs,
# one 512 MiB file with LF and one with CR LF line ends on tmpfs, with and
# without --keep-line-ends, tailsnip-cli's peak memory and system calls, and
# the line-end loop's instructions per byte. With --against, REVISION's
# tailsnip-cli runs in turns with this tree's on every default-mode figure,
# and a table gives their ratios. See bench/README.md.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)

against=""
rounds_given=""
usage() { echo "usage: bench/run.sh [--against REVISION] [--rounds N] [BUILD_DIR]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
  --against) [ $# -ge 2 ] || usage; against=$2; shift 2 ;;
  --against=*) against=${1#*=}; shift ;;
  --rounds) [ $# -ge 2 ] || usage; rounds_given=$2; shift 2 ;;
  --rounds=*) rounds_given=${1#*=}; shift ;;
  -h | --help) usage ;;
  -*) echo "bench: unknown option $1" >&2; usage ;;
  *) break ;;
  esac
done
[ $# -le 1 ] || usage
[ -z "$rounds_given" ] || [[ $rounds_given =~ ^[1-9][0-9]*$ ]] || usage

"$bench/../scripts/setup-debian.sh"
# shellcheck source=bench/common.sh
source "$bench/common.sh" "$@"
disk_rounds=3 # each run on the disk takes seconds
if [ -n "$rounds_given" ]; then
  rounds=$rounds_given
  disk_rounds=$rounds_given
fi

tmpfs=""
disk=""
disk_image=""
cleanup() {
  cd /
  remove_before_scratch
  for place in "$tmpfs" "$disk"; do
    [ -n "$place" ] || continue
    if mountpoint -q "$place"; then umount "$place"; fi
    rm -rf "$place"
  done
  [ -z "$disk_image" ] || rm -f "$disk_image"
}
trap cleanup EXIT

echo "Tailsnip benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), source $(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)"
echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
  "Linux $(uname -r), load average at start $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
start=$SECONDS
build_tools
if [ -n "$against" ]; then
  build_before "$against"
  echo "Against: tailsnip-cli of $before_name, built in ${before_cli%/*}"
  echo
fi

# --- Where the trees live ----------------------------------------------------

tmpfs=$(mktemp -d /tmp/tailsnip-bench.XXXXXX)
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=4g tailsnip-bench "$tmpfs" 2>/dev/null; then
  tmpfs_note="a tmpfs of its own, 4 GiB"
else
  rmdir "$tmpfs"
  tmpfs=$(mktemp -d /dev/shm/tailsnip-bench.XXXXXX)
  tmpfs_note="/dev/shm (not root, or mounting not allowed)"
fi

# The disk part runs on ext4 on the machine's disk: as root, a fresh image
# in the build folder on a loop device, the same wherever the machine keeps
# its own files; otherwise /var/tmp's file system, when it is on a disk.
disk_file_system() { findmnt -n -o FSTYPE -T "$1" | grep -qxE 'ext[234]|xfs|btrfs|f2fs|jfs'; }
if [ "$(id -u)" -eq 0 ] && disk_file_system "$build"; then
  disk_image=$build/disk.img
  disk=$(mktemp -d /tmp/tailsnip-disk.XXXXXX)
  rm -f "$disk_image"
  truncate -s 4G "$disk_image"
  # An inode for every 8 KiB: each run on the disk keeps its 10,000 files.
  mkfs.ext4 -q -F -i 8192 "$disk_image"
  mount -o loop "$disk_image" "$disk"
  disk_note="an ext4 image in $build on a loop device"
elif disk_file_system /var/tmp; then
  disk=$(mktemp -d /var/tmp/tailsnip-bench.XXXXXX)
  disk_note="/var/tmp's own file system (not root: no image of ext4 mounted)"
fi
# ext4 without a journal will not reuse an inode freed in the last minutes,
# and each new file scans past all such inodes of its block group: a run
# among the inodes an earlier run freed is slower for that alone. Folders
# made in a folder marked "top of a hierarchy" are spread over other block
# groups, so each run on the disk gets a fresh one. Elsewhere the mark is
# not supported and not needed.
[ -z "$disk" ] || chattr +T "$disk" 2>/dev/null || true

place_label() { if [ "$1" = "$disk" ]; then echo disk; else echo tmpfs; fi; }
file_system() { findmnt -n -o FSTYPE,SOURCE -T "$1" | awk '{ print $1 " (" $2 ")" }'; }

# --- Timed runs ----------------------------------------------------------------

tool_label() {
  case $1 in
  tailsnip) echo tailsnip-cli ;;
  before) echo "tailsnip-cli $before_label" ;;
  keep) echo "tailsnip-cli -k" ;;
  sed) echo "find+sed -i" ;;
  cp) echo "cp -a" ;;
  in_turn) echo "one at a time" ;;
  floor) echo "rewrite floor" ;;
  no_flush) echo "floor, no fsync" ;;
  cut) echo "cut floor" ;;
  esac
}

declare -A every every_cpu best best_user best_system peak
runs=0
# record KEY: adds this run's wall and CPU time to KEY's and keeps the CPU
# split of the best.
record() {
  every[$1]+=" $seconds"
  every_cpu[$1]+=" $(awk -v u="$user_seconds" -v s="$system_seconds" 'BEGIN { printf "%.2f", u + s }')"
  if [ -z "${best[$1]:-}" ] || awk -v a="$seconds" -v b="${best[$1]}" 'BEGIN { exit !(a < b) }'; then
    best[$1]=$seconds
    best_user[$1]=$user_seconds
    best_system[$1]=$system_seconds
  fi
}

# run_tool PLACE TREE TOOL: one timed run of TOOL on a fresh copy of TREE,
# from a current directory beside it (where trim-in-turn, and tailsnip-cli
# of earlier revisions, write temp.txt), both in a folder of their own. On
# the disk the copy is written to it first. Each run's result is checked before its
# time counts: a fast but wrong run gives no figure.
run_tool() {
  local place=$1 tree=$2 tool=$3
  local run=$place/run-$((++runs))
  mkdir -p "$run/cwd"
  cp -a "$place/$tree" "$run/work"
  [ "$place" != "$disk" ] || sync
  cd "$run/cwd"
  case $tool in
  tailsnip) measure "$run/output" "$cli" "$run/work" ;;
  before) measure "$run/output" "$before_cli" "$run/work" ;;
  keep) measure "$run/output" "$cli" --keep-line-ends "$run/work" ;;
  sed)
    # shellcheck disable=SC2016 # sed's own "$d": delete the last line
    measure "$run/output" find "$run/work" -type f -exec sed -i '$d' {} +
    ;;
  cp) measure "$run/output" cp -a "$run/work" "$run/copy" ;;
  in_turn) measure "$run/output" "$tools/trim-in-turn" "$run/work" ;;
  floor) measure "$run/output" "$tools/rewrite-floor" "$run/work" ;;
  no_flush) measure "$run/output" "$tools/rewrite-floor" --no-flush "$run/work" ;;
  cut) measure "$run/output" "$tools/cut-floor" "$run/work" ;;
  esac
  check_status "$(tool_label "$tool")" "$run/output"
  case $tool in
  tailsnip | before | keep | in_turn) check_tailsnip_run "$run/output" "$run/cwd" ;;
  esac
  case $tool in
  tailsnip | before | in_turn) same_tree "$place/reference" "$run/work" ;;
  keep | sed | cut) same_tree "$place/reference-keep" "$run/work" ;;
  cp) same_tree "$place/$tree" "$run/copy" ;;
  floor | no_flush) same_tree "$place/$tree" "$run/work" ;;
  esac
  case $tool in
  tailsnip | before | keep) if ((peak_kib > ${peak[$tool.$tree]:-0})); then peak[$tool.$tree]=$peak_kib; fi ;;
  esac
  record "$place.$tree.$tool"
  cd /
  # On the disk each run keeps its folder (see above); tmpfs has no such trap.
  [ "$place" = "$disk" ] || rm -rf "$run"
}

# run_tree PLACE TREE TOOLS...: every tool, $rounds times each (on the
# disk, $disk_rounds), in turn; on the disk the two tools that flush each
# file on their own run once: each run takes ten times the others, and their
# figures are far from any goal's edge. With --against, the earlier
# tailsnip-cli runs right beside this one, before it in one round and after
# it in the next, so that the machine's load weighs on both alike.
run_tree() {
  local place=$1 tree=$2 round tool count=$rounds
  shift 2
  [ "$place" != "$disk" ] || count=$disk_rounds
  make_reference "$place/$tree" "$place/reference"
  case " $* " in
  *" keep "* | *" sed "* | *" cut "*) make_reference "$place/$tree" "$place/reference-keep" keep ;;
  esac
  for ((round = 0; round < count; round++)); do
    for tool in $(rotated "$round" "$@"); do
      if [ "$place" = "$disk" ] && ((round > 0)) && [[ $tool == in_turn || $tool == floor ]]; then
        continue
      elif [ "$tool" != tailsnip ] || [ -z "$against" ]; then
        run_tool "$place" "$tree" "$tool"
      elif ((round % 2 == 0)); then
        run_tool "$place" "$tree" tailsnip
        run_tool "$place" "$tree" before
      else
        run_tool "$place" "$tree" before
        run_tool "$place" "$tree" tailsnip
      fi
    done
  done
  rm -rf "$place/reference" "$place/reference-keep"
}

"$tools/make-text" tree "$tmpfs/small"
run_tree "$tmpfs" small tailsnip keep sed cp floor cut
# The system calls of one run over the small files.
fresh_copy "$tmpfs/small" "$tmpfs/work"
(cd "$tmpfs" && strace -f -c -o "$tmpfs/syscalls" "$cli" "$tmpfs/work" >/dev/null 2>&1)
files=$(find "$tmpfs/small" -type f | wc -l)
small_mib=$(mebibytes $(($(du -s -B 1024 --apparent-size "$tmpfs/small" | cut -f 1))))
if [ -n "$disk" ]; then
  fresh_copy "$tmpfs/small" "$disk/small"
  run_tree "$disk" small tailsnip keep in_turn sed floor no_flush cut
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
  keep) command=("$cli" --keep-line-ends "$tmpfs/work") ;;
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
    # --keep-line-ends on the large file: its cost should not grow with the size.
    run_tree "$tmpfs" $style tailsnip keep cp floor
    trace_calls $style keep
    # Starting any program, timed the same way, is no part of the cut.
    for ((round = 0; round < rounds; round++)); do
      measure "$tmpfs/start" /bin/true
      record start
    done
    rm -f "$tmpfs/start" "$tmpfs/start.errors"
  else
    "$tools/make-text" file "$tmpfs/$style/big.txt" 512 crlf
    run_tree "$tmpfs" $style tailsnip cp floor
  fi
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
  printf '   %-34s' tree
  for tool in "$@"; do printf ' %18s' "$(tool_label "$tool")"; done
  echo
  for tree in small lf crlf; do
    [ -n "${best[$place.$tree.${1}]:-}" ] || continue
    printf '   %-34s' "$(tree_label $tree)"
    for tool in "$@"; do printf ' %18s' "$(cell "$place.$tree.$tool")"; done
    echo
  done
  echo "   every run:"
  for tree in small lf crlf; do
    for tool in "$@"; do
      [ -z "${every[$place.$tree.$tool]:-}" ] ||
        printf '     %-26s%s\n' "$tree $(tool_label "$tool")" "${every[$place.$tree.$tool]}"
    done
  done
}

echo "== On tmpfs: $(file_system "$tmpfs"), $tmpfs_note"
echo "   Seconds, best of $rounds runs (in brackets its user + system CPU seconds), each on a"
echo "   fresh copy. 'tailsnip-cli -k' runs with --keep-line-ends. 'rewrite floor' reads every"
echo "   file and renames an unchanged, flushed copy over it: the least a safe replacement"
echo "   costs, without looking at a byte. 'cut floor' cuts every file's last line in place,"
echo "   as -k does, with one flush at the end and none of the run's safety (no lease, no check,"
echo "   no journal): the least a durable cut costs."
echo
print_table "$tmpfs" tailsnip keep sed cp floor cut
echo
if [ -n "$disk" ]; then
  echo "== On disk: $(file_system "$disk"), $disk_note"
  echo "   The same small files, best of $disk_rounds runs; each copy written to the disk first (sync)."
  echo "   'one at a time' is the engine as the dialog program runs it, and as tailsnip-cli"
  echo "   did before it put copies in flight: each copy flushed on its own and renamed before"
  echo "   the next entry is read. The rewrite floor flushes each file on its own too; these"
  echo "   two run once. sed flushes nothing."
  echo
  print_table "$disk" tailsnip keep in_turn sed floor no_flush cut
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

# --- This tree against an earlier one ------------------------------------------

# peak_of TOOL: the highest peak resident size of TOOL's runs, in KiB.
peak_of() {
  local tree most=0
  for tree in small lf crlf; do
    if ((${peak[$1.$tree]:-0} > most)); then most=${peak[$1.$tree]}; fi
  done
  echo "$most"
}
# worse_than_before RATIO: whether RATIO (new / old) is more than 5% worse.
worse_than_before() { awk -v r="$1" 'BEGIN { exit !(r > 1.05) }'; }
comparison_line() { printf '   %-26s %7s %7s %6s   %7s %7s %6s   %6s %6s %6s%s\n' "$@"; }
# compare_row LABEL KEY: this tree's default mode against the earlier one on
# KEY (PLACE.TREE); adds the best ratio to `worst_before_ratio` unless a
# third argument says the row is not one of the LF figures.
compare_row() {
  local new=$2.tailsnip old=$2.before ratios flag=""
  local new_median old_median new_cpu old_cpu
  new_median=$(median "${every[$new]}")
  old_median=$(median "${every[$old]}")
  new_cpu=$(median "${every_cpu[$new]}")
  old_cpu=$(median "${every_cpu[$old]}")
  ratios=("$(ratio "${best[$new]}" "${best[$old]}")" "$(ratio "$new_median" "$old_median")"
    "$(ratio "$new_cpu" "$old_cpu")")
  if worse_than_before "${ratios[0]}"; then
    flag="  WORSE by more than 5%"
    ((++rows_worse))
  fi
  comparison_line "$1" "${best[$new]}" "$new_median" "$new_cpu" \
    "${best[$old]}" "$old_median" "$old_cpu" "${ratios[@]}" "$flag"
  if [ -z "${3:-}" ] && awk -v r="${ratios[0]}" -v w="$worst_before_ratio" 'BEGIN { exit !(w == "" || r > w) }'; then
    worst_before_ratio=${ratios[0]}
  fi
}
worst_before_ratio=""
rows_worse=0
if [ -n "$against" ]; then
  echo "== This tree's tailsnip-cli against $before_name's, default mode, run in turns"
  echo "   Seconds: the best and the median of each program's runs, and the median of their CPU"
  echo "   seconds (user + system), which waiting for a busy processor does not inflate. Ratios"
  echo "   are this tree's / $before_label's; a row whose best time is more than 5% worse is flagged."
  printf '   %-26s %-22s   %-22s   %s\n' "" "this tree" "$before_label" "this / $before_label"
  comparison_line figure best median CPU best median CPU best median CPU ""
  compare_row "tmpfs, $files small files" "$tmpfs.small"
  compare_row "tmpfs, $big_mib MiB LF file" "$tmpfs.lf"
  compare_row "tmpfs, $big_mib MiB CR LF file" "$tmpfs.crlf" not-lf
  [ -z "$disk" ] || compare_row "disk, $files small files" "$disk.small"
  new_peak=$(peak_of tailsnip)
  old_peak=$(peak_of before)
  peak_ratio=$(ratio "$new_peak" "$old_peak")
  flag=""
  if worse_than_before "$peak_ratio"; then
    flag="  WORSE by more than 5%"
    ((++rows_worse))
  fi
  comparison_line "peak resident memory, MiB" "$(mebibytes "$new_peak")" - - \
    "$(mebibytes "$old_peak")" - - "$peak_ratio" - - "$flag"
  echo "   Rows more than 5% worse: $rows_worse. Every run, in turns:"
  for key in "$tmpfs.small" "$tmpfs.lf" "$tmpfs.crlf" "$disk.small"; do
    [ -n "${every[$key.tailsnip]:-}" ] || continue
    printf '     %-22s this tree%s; %s%s\n' "$(place_label "${key%.*}") ${key##*.}" "${every[$key.tailsnip]}" \
      "$before_label" "${every[$key.before]}"
  done
  echo
fi

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
  keep_vs_sed=$(ratio "$(of "$d.sed")" "$(of "$d.keep")")
  goal_row "on disk, small files: tailsnip / sed" "${vs_sed}x" "<= 1x" "$vs_sed <= 1" "-" "$(file_system "$disk")"
  goal_row "on disk, small files: one at a time / tailsnip" "${vs_flush}x" ">= 2.5x" "$vs_flush >= 2.5" "-" "$(file_system "$disk")"
  echo "   (beside the rewrite floor, which flushes each file too: ${vs_floor}x)"
  goal_row "on disk, small files, -k (durable): sed / tailsnip" "${keep_vs_sed}x" ">= 8x" "$keep_vs_sed >= 8" "-" \
    "$(file_system "$disk")"
  check disk "$vs_sed <= 1 && $vs_flush >= 2.5"
  check keep_disk "$keep_vs_sed >= 8"
fi
t=$tmpfs
small_vs_sed=$(ratio "$(of "$t.small.sed")" "$(of "$t.small.tailsnip")")
keep_small_vs_sed=$(ratio "$(of "$t.small.sed")" "$(of "$t.small.keep")")
lf_vs_floor=$(ratio "$(of "$t.lf.tailsnip")" "$(of "$t.lf.floor")")
# The program's own time: its wall time less that of starting /bin/true.
start_ms=$(awk -v s="$(of start)" 'BEGIN { printf "%.1f", s * 1000 }')
keep_big_ms=$(awk -v s="$(of "$t.lf.keep")" -v b="$(of start)" 'BEGIN { printf "%.1f", (s - b) * 1000 }')
crlf_vs_cp=$(ratio "$(of "$t.crlf.tailsnip")" "$(of "$t.crlf.cp")")
peak_kib=$(peak_of tailsnip)
if (($(peak_of keep) > peak_kib)); then peak_kib=$(peak_of keep); fi
peak_mib=$(mebibytes "$peak_kib")
goal_row "tmpfs, small files: sed / tailsnip" "${small_vs_sed}x" ">= 3x" "$small_vs_sed >= 3" \
  "$(cpu_ratio "$t.small.sed" "$t.small.tailsnip")x" "$(file_system "$t")"
goal_row "tmpfs, small files, -k: sed / tailsnip" "${keep_small_vs_sed}x" ">= 3x" "$keep_small_vs_sed >= 3" \
  "$(cpu_ratio "$t.small.sed" "$t.small.keep")x" "$(file_system "$t")"
goal_row "tmpfs, $big_mib MiB LF file: tailsnip / rewrite floor" "${lf_vs_floor}x" "<= 1.15x" \
  "$lf_vs_floor <= 1.15" "$(cpu_ratio "$t.lf.tailsnip" "$t.lf.floor")x" "$(file_system "$t")"
goal_row "tmpfs, $big_mib MiB LF file, -k: time" "$keep_big_ms ms" "< 5 ms" "$keep_big_ms < 5" \
  "$(awk -v c="$(cpu_of "$t.lf.keep")" 'BEGIN { printf "%.0f ms", c * 1000 }')" "$(file_system "$t")"
echo "   (its wall time $(awk -v s="$(of "$t.lf.keep")" 'BEGIN { printf "%.1f", s * 1000 }') ms, less $start_ms ms for starting /bin/true, timed the same way)"
goal_row "tmpfs, $big_mib MiB CR LF file: tailsnip / cp -a" "${crlf_vs_cp}x" "<= 0.7x" \
  "$crlf_vs_cp <= 0.7" "$(cpu_ratio "$t.crlf.tailsnip" "$t.crlf.cp")x" "$(file_system "$t")"
if [ -n "$against" ]; then
  goal_row "default mode, LF files: worst of this / $before_label" "${worst_before_ratio}x" "<= 1.05x" \
    "$worst_before_ratio <= 1.05" "-" "(the table above, all rows but CR LF)"
  check before "$worst_before_ratio <= 1.05"
else
  printf '   %-50s %9s  %-9s %-8s %8s   %s\n' "default mode, LF files: this / before" - "<= 1.05x" "not run" - \
    "(run with --against REVISION)"
fi
goal_row "peak resident memory of tailsnip-cli, any run" "$peak_mib MiB" "< 64 MiB" "$peak_mib < 64" "-" \
  "(small $(mebibytes "${peak[tailsnip.small]}"), LF $(mebibytes "${peak[tailsnip.lf]}"), CR LF $(mebibytes "${peak[tailsnip.crlf]}"); -k: small $(mebibytes "${peak[keep.small]}"), LF $(mebibytes "${peak[keep.lf]}") MiB)"
check small "$small_vs_sed >= 3"
check keep_small "$keep_small_vs_sed >= 3"
check lf "$lf_vs_floor <= 1.15"
check keep_big "$keep_big_ms < 5"
check crlf "$crlf_vs_cp <= 0.7"
check memory "$peak_mib < 64"
echo "   'CPU time': the same ratio on user + system seconds, which waiting for a busy processor"
echo "   or a disk does not inflate; for -k on the large file, its own CPU time."
load=$(cut -d ' ' -f 1 /proc/loadavg)
if awk -v l="$load" -v n="$(nproc)" 'BEGIN { exit !(l > n / 2) }'; then
  echo "   Note: the machine was busy (load average $load on $(nproc) cores); the wall times include"
  echo "   waiting for it, and the best of each few runs may still be disturbed."
fi
echo
echo "Checked: every command exited 0. After every run of tailsnip-cli${against:+ (both)} and trim-in-turn,"
echo "every file equals the reference made by sed (last line removed, line ends made CR LF;"
echo "with -k only the last line removed), and the run printed \"finished!\" and left no"
echo "temp.txt; sed's files equal that reference too, and cp's copy and the rewrite floor's"
echo "files equal the tree they started from."

# --- Where the time goes, for each goal out of reach ---------------------------

if [ ${#unmet[@]} -gt 0 ]; then
  echo
  echo "== Goals out of reach: the kernel's part of the time"
fi
split() { echo "${best[$1]} s, of which ${best_system[$1]} s in the kernel and ${best_user[$1]} s in the program"; }
disk_flushes() {
  local flushes
  flushes=$(awk -v a="$(of "$d.floor")" -v b="$(of "$d.no_flush")" 'BEGIN { printf "%.3f", a - b }')
  echo "     The rewrite floor takes $(of "$d.floor") s with a flush per file and $(of "$d.no_flush") s without:"
  echo "     the flushes alone cost $flushes s, $(awk -v s="$flushes" -v n="$files" 'BEGIN { printf "%.0f", s / n * 1e6 }') us per file, waiting on the disk; sed takes $(of "$d.sed") s."
}
for goal in "${unmet[@]}"; do
  case $goal in
  disk)
    echo "   On disk, small files: tailsnip-cli $(split "$d.tailsnip")."
    disk_flushes
    ;;
  keep_disk)
    echo "   On disk, small files, -k: tailsnip-cli $(split "$d.keep")."
    echo "     An eighth of sed's time is $(awk -v s="$(of "$d.sed")" 'BEGIN { printf "%.3f", s / 8 }') s; the cut floor alone takes $(split "$d.cut"),"
    echo "     sed / cut floor $(ratio "$(of "$d.sed")" "$(of "$d.cut")")x."
    ;;
  small | keep_small)
    if [ "$goal" = small ]; then label="" tool=tailsnip; else label=", -k" tool=keep; fi
    echo "   tmpfs, small files$label: tailsnip-cli $(split "$t.small.$tool")."
    echo "     A third of sed's time is $(awk -v s="$(of "$t.small.sed")" 'BEGIN { printf "%.3f", s / 3 }') s; the rewrite floor alone, which reads each file"
    echo "     and renames a copy over it without looking at a byte, takes $(split "$t.small.floor");"
    echo "     the cut floor $(split "$t.small.cut"), sed / cut floor $(ratio "$(of "$t.small.sed")" "$(of "$t.small.cut")")x."
    ;;
  keep_big)
    echo "   tmpfs, $big_mib MiB LF file, -k: tailsnip-cli $(split "$t.lf.keep")."
    echo "     Seconds in each system call (strace -f -c -w of one more run):"
    echo "       tailsnip-cli -k: ${call_times[lf.keep]}"
    ;;
  lf | crlf)
    if [ "$goal" = lf ]; then label="LF file" other=floor; else label="CR LF file" other=cp; fi
    echo "   tmpfs, $label: tailsnip-cli $(split "$t.$goal.tailsnip");"
    echo "     $(tool_label $other) $(split "$t.$goal.$other")."
    if [ "$goal" = lf ]; then
      echo "     The translation is tailsnip-cli's user time; reading and writing are the kernel's, as"
      echo "     for the floor."
    else
      echo "     The file needs no new line ends: reading it once and writing nothing would do."
    fi
    echo "     Seconds in each system call (strace -f -c -w of one more run):"
    echo "       tailsnip-cli:  ${call_times[$goal.tailsnip]}"
    echo "       $(printf '%-14s' "$(tool_label $other):") ${call_times[$goal.$other]}"
    ;;
  before) echo "   Default mode against $before_label: $rows_worse rows more than 5% worse, in the table above." ;;
  memory) echo "   Peak memory: $peak_mib MiB." ;;
  esac
done
echo
echo "Whole benchmark: $((SECONDS - start)) s, load average at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
