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
         cmake --build "$build" -j2 --target tailsnip-cli make-text rewrite-floor trim-in-turn flush-ways \
           translate-instructions line-model-throughput; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "bench: the build failed" >&2
    exit 1
  fi
  rm -f "$log"
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

# make_reference SOURCE DEST: DEST is SOURCE with every file's last line
# removed and every line end made CR LF, done by sed, independently of the
# engine: a line already ending in CR keeps its line end as it is.
make_reference() {
  fresh_copy "$1" "$2"
  find "$2" -type f -exec sed -i -e '$d' -e '/\r$/!s/$/\r/' {} +
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

# ratio A B: A / B with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# verdict MET: "met" or "NOT met" for an awk condition.
verdict() { awk "BEGIN { print ($1) ? \"met\" : \"NOT met\" }"; }

mebibytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
