# shellcheck shell=bash disable=SC2034 # its variables are for the scripts that source it
# Shared by the benchmark scripts: building the tools, timing a command,
# making fresh copies and checking a trimmed tree against a reference.
# Source it with the build folder as $1 (default: build-bench).
set -euo pipefail
export LC_ALL=C # decimal points, byte-wise sed

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$repo/build-bench}")
cli=$build/cli/tailsnip-cli
tools=$build/bench
rounds=5 # on a shared machine the best of more runs is steadier

build_tools() {
  local log
  log=$(mktemp)
  if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
         cmake --build "$build" -j2 --target tailsnip-cli make-text rewrite-floor cut-floor trim-in-turn flush-ways \
           translate-instructions line-model-throughput; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "bench: the build failed" >&2
    exit 1
  fi
  rm -f "$log"
}

# build_before REVISION: tailsnip-cli as REVISION had it, a Release build of
# that program alone from a temporary worktree under /tmp (removed
# afterwards), kept in BUILD_DIR/before/COMMIT for later runs. Sets
# `before_cli`, `before_label` (the short commit) and `before_name`
# (REVISION, and the short commit when it is another name).
before_scratch=""
build_before() {
  local commit
  if ! commit=$(git -C "$repo" rev-parse --verify --quiet "$1^{commit}"); then
    echo "bench: no revision $1 in $repo" >&2
    exit 2
  fi
  before_label=$(git -C "$repo" rev-parse --short "$commit")
  before_name=$1
  [[ $commit == "$1"* ]] || before_name="$1 ($before_label)"
  before_cli=$build/before/$commit/tailsnip-cli
  [ ! -x "$before_cli" ] || return 0
  before_scratch=$(mktemp -d /tmp/tailsnip-before.XXXXXX)
  if ! { git -C "$repo" worktree add --detach "$before_scratch/source" "$commit" &&
         cmake -S "$before_scratch/source" -B "$before_scratch/build" -DCMAKE_BUILD_TYPE=Release \
           -DBUILD_TESTING=OFF &&
         cmake --build "$before_scratch/build" -j2 --target tailsnip-cli; } >"$before_scratch/log" 2>&1; then
    cat "$before_scratch/log" >&2
    echo "bench: building tailsnip-cli of $1 failed" >&2
    exit 1
  fi
  mkdir -p "${before_cli%/*}"
  cp "$before_scratch/build/cli/tailsnip-cli" "$before_cli.new"
  mv "$before_cli.new" "$before_cli"
  remove_before_scratch
}

# remove_before_scratch: removes build_before's worktree, also when the
# build failed or was interrupted (a caller's EXIT trap calls it).
remove_before_scratch() {
  [ -n "$before_scratch" ] || return 0
  if ! git -C "$repo" worktree remove --force "$before_scratch/source" 2>/dev/null; then
    rm -rf "$before_scratch/source"
    git -C "$repo" worktree prune
  fi
  rm -rf "$before_scratch"
  before_scratch=""
}

# measure OUTPUT COMMAND...: runs COMMAND with its standard output in OUTPUT
# and its standard error in OUTPUT.errors; sets `seconds` (wall clock),
# `user_seconds` and `system_seconds` (CPU time in the program and in the
# kernel for it), `peak_kib` (peak resident size of the command and its
# children) and `status`.
measure() {
  local output=$1 usage_file
  shift
  usage_file=$(mktemp)
  local start=$EPOCHREALTIME
  status=0
  /usr/bin/time -f '%U %S %M' -o "$usage_file" "$@" >"$output" 2>"$output.errors" || status=$?
  local end=$EPOCHREALTIME
  seconds=$(awk -v start="$start" -v end="$end" 'BEGIN { printf "%.3f", end - start }')
  read -r user_seconds system_seconds peak_kib < <(tail -n 1 "$usage_file")
  rm -f "$usage_file"
}

# fresh_copy SOURCE DEST: DEST becomes an exact copy of SOURCE.
fresh_copy() {
  rm -rf "$2"
  cp -a "$1" "$2"
}

# make_reference SOURCE DEST [keep]: DEST is SOURCE with every file's last
# line removed and every line end made CR LF, done by sed, independently of
# the engine: a line already ending in CR keeps its line end as it is. With
# "keep" only the last line is removed, as --keep-line-ends does.
make_reference() {
  fresh_copy "$1" "$2"
  if [ "${3:-}" = keep ]; then
    # shellcheck disable=SC2016 # sed's own "$d": delete the last line
    find "$2" -type f -exec sed -i '$d' {} +
  else
    find "$2" -type f -exec sed -i -e '$d' -e '/\r$/!s/$/\r/' {} +
  fi
}

# check_status NAME OUTPUT: fails loudly unless the command measured last
# exited 0.
check_status() {
  if [ "$status" -ne 0 ]; then
    echo "bench: $1 failed (exit $status):" >&2
    cat "$2" "$2.errors" >&2
    exit 1
  fi
}

# check_tailsnip_run OUTPUT CWD: the run said "finished!" first, exited 0
# and left no temporary file behind.
check_tailsnip_run() {
  if [ "$status" -ne 0 ] || [ "$(head -n 1 "$1")" != "finished!" ] || [ -e "$2/temp.txt" ]; then
    echo "bench: tailsnip-cli failed (exit $status):" >&2
    cat "$1" "$1.errors" >&2
    exit 1
  fi
}

# same_tree EXPECTED ACTUAL: fails loudly unless both trees hold the same files
# with the same bytes.
same_tree() {
  if ! diff -r -q "$1" "$2" >&2; then
    echo "bench: the trimmed tree $2 differs from the reference $1" >&2
    exit 1
  fi
}

# rotated N WORDS...: the words, starting with the Nth (from 0) and wrapping
# around, so that no command always runs first or last in a round.
rotated() {
  local start=$1
  shift
  local words=("$@") i
  for ((i = 0; i < ${#words[@]}; i++)); do
    echo "${words[(start + i) % ${#words[@]}]}"
  done
}

# best "TIMES": the smallest of the space-separated times.
best() { tr ' ' '\n' <<<"$1" | grep . | sort -g | head -n 1; }

# median "TIMES": the middle of the space-separated times (of an even number,
# the mean of the middle two).
median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g |
    awk '{ t[NR] = $1 } END { printf "%.3f", NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

# ratio A B: A / B with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# verdict MET: "met" or "NOT met" for an awk condition.
verdict() { awk "BEGIN { print ($1) ? \"met\" : \"NOT met\" }"; }

mebibytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
