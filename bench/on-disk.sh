#!/bin/bash
# bench/on-disk.sh [BUILD_DIR]: the 10,000 small files on a real disk, where
# each file's flush to stable storage dominates: tailsnip-cli beside the
# least a safe rewrite costs, with and without those flushes.
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh" "$@"
build_tools

scratch=$(mktemp -d /var/tmp/tailsnip-bench.XXXXXX)
trap 'cd /; rm -rf "$scratch"' EXIT
# ext4 without a journal (as on the machine this was written on) will not
# reuse an inode freed in the last minutes, and each new file scans past all
# such inodes of its block group: a run among the inodes an
# earlier run freed is slower for that alone. Folders made in a folder marked
# "top of a hierarchy" are spread over other block groups, so each run gets
# a fresh one. Elsewhere the mark is not supported and not needed.
chattr +T "$scratch" 2>/dev/null || true

"$tools/make-text" tree "$scratch/small"
make_reference "$scratch/small" "$scratch/reference"
files=$(find "$scratch/small" -type f | wc -l)

runs=0
declare -A times
# timed_on_fresh_copy KEY PROGRAM [OPTION]: runs PROGRAM [OPTION] on a fresh
# copy of the tree, from a current directory beside it, both in a folder of
# their own, after writing every earlier change to the disk. Sets `run`.
timed_on_fresh_copy() {
  local key=$1
  shift
  run=$scratch/run-$((++runs))
  mkdir "$run"
  mkdir "$run/cwd"
  cp -a "$scratch/small" "$run/work"
  sync
  cd "$run/cwd" # tailsnip-cli writes temp.txt here, on the same disk
  measure "$run/output" "$@" "$run/work"
  times[$key]+=" $seconds"
}
run_tool() {
  case $1 in
  tailsnip)
    timed_on_fresh_copy tailsnip "$cli"
    check_tailsnip_run "$run/output" "$run/cwd"
    same_tree "$scratch/reference" "$run/work"
    ;;
  floor) timed_on_fresh_copy floor "$tools/rewrite-floor" ;;
  no_flush) timed_on_fresh_copy no_flush "$tools/rewrite-floor" --no-flush ;;
  esac
}
for ((round = 0; round < rounds; round++)); do
  for tool in $(rotated "$round" tailsnip floor no_flush); do
    run_tool "$tool"
  done
done

tailsnip=$(best "${times[tailsnip]}")
floor=$(best "${times[floor]}")
no_flush=$(best "${times[no_flush]}")
per_file() { awk -v s="$1" -v n="$files" 'BEGIN { printf "%.0f", s / n * 1e6 }'; }
echo "== On disk: $files small files in $scratch ($(findmnt -n -o FSTYPE,SOURCE -T "$scratch"))"
echo "   Seconds, best of $rounds runs, each on a fresh copy written to the disk first (sync),"
echo "   in a block group of its own (see on-disk.sh)."
echo
printf '   %-54s %8s s %6s us per file   every run:%s\n' "tailsnip-cli" "$tailsnip" "$(per_file "$tailsnip")" "${times[tailsnip]}"
printf '   %-54s %8s s %6s us per file   every run:%s\n' "rewrite floor: read, write a copy, fsync it, rename it" \
  "$floor" "$(per_file "$floor")" "${times[floor]}"
printf '   %-54s %8s s %6s us per file   every run:%s\n' "the same without fsync" \
  "$no_flush" "$(per_file "$no_flush")" "${times[no_flush]}"
echo
flushes=$(awk -v a="$floor" -v b="$no_flush" 'BEGIN { printf "%.3f", a - b }')
printf '   %-54s %8s s %6s us per file\n' "the flushes alone (floor - without fsync)" "$flushes" "$(per_file "$flushes")"
printf '   %-54s %8sx\n' "tailsnip-cli / rewrite floor" "$(ratio "$tailsnip" "$floor")"
echo
echo "Checked: after every tailsnip-cli run, every file equals the sed-made reference."
