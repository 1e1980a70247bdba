#!/bin/bash
# bench/compare.sh [BUILD_DIR]: on tmpfs, times tailsnip-cli beside
# `find -exec sed -i '$d'`, `cp -a` and the least a safe rewrite costs, for
# 10,000 small files and for one 512 MiB file; checks every trimmed tree
# against an independent reference; counts tailsnip-cli's system calls per
# file.
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh" "$@"
build_tools

scratch=$(mktemp -d /tmp/tailsnip-bench.XXXXXX)
cleanup() {
  cd /
  if mountpoint -q "$scratch"; then umount "$scratch"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=3g tailsnip-bench "$scratch" 2>/dev/null; then
  place="a tmpfs of its own, 3 GiB, mounted at $scratch"
else
  rmdir "$scratch"
  scratch=$(mktemp -d /dev/shm/tailsnip-bench.XXXXXX)
  place="/dev/shm (no tmpfs of its own: not root or mounting not allowed), in $scratch"
fi
mkdir "$scratch/cwd"
cd "$scratch/cwd" # tailsnip-cli writes temp.txt here, on the same tmpfs

"$tools/make-text" tree "$scratch/small"
mkdir "$scratch/large"
"$tools/make-text" file "$scratch/large/big.txt" 512

declare -A times peak
# run_tool TREE TOOL: one timed run of TOOL on a fresh copy of $scratch/TREE.
run_tool() {
  local work=$scratch/work
  fresh_copy "$scratch/$1" "$work"
  case $2 in
  tailsnip)
    measure "$scratch/output" "$cli" "$work"
    check_tailsnip_run "$scratch/output" "$scratch/cwd"
    same_tree "$scratch/reference" "$work"
    if ((peak_kib > peak[$1])); then peak[$1]=$peak_kib; fi
    ;;
  sed)
    # shellcheck disable=SC2016 # sed's own "$d": delete the last line
    measure "$scratch/output" find "$work" -type f -exec sed -i '$d' {} +
    ;;
  cp)
    measure "$scratch/output" cp -a "$work" "$scratch/copy"
    rm -rf "$scratch/copy"
    ;;
  floor) measure "$scratch/output" "$tools/rewrite-floor" "$work" ;;
  esac
  times[$1.$2]+=" $seconds"
}
# run_tree TREE: every tool, $rounds times each, on $scratch/TREE.
run_tree() {
  make_reference "$scratch/$1" "$scratch/reference"
  peak[$1]=0
  for ((round = 0; round < rounds; round++)); do
    for tool in $(rotated "$round" tailsnip sed cp floor); do
      run_tool "$1" "$tool"
    done
  done
  rm -rf "$scratch/work" "$scratch/reference"
}
run_tree small
run_tree large

# System calls of one run over the small files, per file.
fresh_copy "$scratch/small" "$scratch/work"
strace -f -c -o "$scratch/syscalls" "$cli" "$scratch/work" >/dev/null 2>&1
files=$(find "$scratch/small" -type f | wc -l)
small_bytes=$(find "$scratch/small" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

best_of() { best "${times[$1]}"; }
echo "== On tmpfs: $place"
echo "   Seconds, best of $rounds runs, each on a fresh copy of the tree; tailsnip-cli runs"
echo "   from a current directory on the same tmpfs. 'rewrite floor' reads every file and"
echo "   renames an unchanged copy over it, the least a safe replacement costs."
echo
printf '%-34s %13s %15s %9s %14s\n' tree tailsnip-cli "find+sed -i" "cp -a" "rewrite floor"
for tree in small large; do
  case $tree in
  small) label="$files small files ($(mebibytes $((small_bytes / 1024))) MiB)" ;;
  large) label="one $(($(stat -c %s "$scratch/large/big.txt") >> 20)) MiB file, LF line ends" ;;
  esac
  printf '%-34s %13s %15s %9s %14s\n' "$label" "$(best_of $tree.tailsnip)" \
    "$(best_of $tree.sed)" "$(best_of $tree.cp)" "$(best_of $tree.floor)"
done
echo
echo "   every run:"
for key in small.tailsnip small.sed small.cp small.floor large.tailsnip large.sed large.cp large.floor; do
  printf '   %-15s%s\n' "$key" "${times[$key]}"
done
echo
small_vs_sed=$(ratio "$(best_of small.sed)" "$(best_of small.tailsnip)")
large_vs_cp=$(ratio "$(best_of large.tailsnip)" "$(best_of large.cp)")
peak_mib=$(mebibytes $((peak[small] > peak[large] ? peak[small] : peak[large])))
echo "Targets"
printf '   %-52s %7s  %-12s %s\n' "small files: sed's time / tailsnip's" "${small_vs_sed}x" "target >= 3x" \
  "$(verdict "$small_vs_sed >= 3")"
printf '   %-52s %7s  %-12s %s\n' "small files: tailsnip's time / cp's" \
  "$(ratio "$(best_of small.tailsnip)" "$(best_of small.cp)")x" "" ""
printf '   %-52s %7s  %-12s %s\n' "small files: tailsnip's time / rewrite floor's" \
  "$(ratio "$(best_of small.tailsnip)" "$(best_of small.floor)")x" "" ""
printf '   %-52s %7s  %-12s %s\n' "512 MiB file: tailsnip's time / cp's" "${large_vs_cp}x" "target <= 1.3x" \
  "$(verdict "$large_vs_cp <= 1.3")"
printf '   %-52s %7s  %-12s %s\n' "512 MiB file: tailsnip's time / rewrite floor's" \
  "$(ratio "$(best_of large.tailsnip)" "$(best_of large.floor)")x" "" ""
printf '   %-52s %7s  %-12s %s\n' "512 MiB file: sed's time / tailsnip's" \
  "$(ratio "$(best_of large.sed)" "$(best_of large.tailsnip)")x" "" ""
printf '   %-52s %7s  %-12s %s\n' "peak resident memory of tailsnip-cli (small; large)" \
  "$(mebibytes "${peak[small]}"); $(mebibytes "${peak[large]}") MiB" "target < 64 MiB" "$(verdict "$peak_mib < 64")"
echo
echo "Checked: after every tailsnip-cli run, every file equals the reference made by sed"
echo "(last line removed, line ends made CR LF); the run printed \"finished!\", exited 0"
echo "and left no temp.txt."
echo
echo "== System calls per file: strace -f -c of one tailsnip-cli run over the $files small files"
awk -v files="$files" '
  $NF == "total" { printf "   %-16s %8.2f\n", "all", $4 / files; next }
  $1 ~ /^[0-9.]+$/ && NF >= 5 {
    calls = $4; name = $NF
    if (calls / files >= 0.005) printf "   %-16s %8.2f\n", name, calls / files
  }' "$scratch/syscalls"
