#!/bin/bash
# bench/instructions.sh [BUILD_DIR]: the line-end translation loop's cost,
# as callgrind's instructions per input byte (the same on any machine) and
# as Google Benchmark's bytes per second on this one.
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh" "$@"
build_tools

mebibytes_translated=32
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== The line-end translation loop: callgrind, $mebibytes_translated MiB of text in 1 MiB chunks"
echo "   Instructions counted only inside FindBareLineFeed, WriteLineEndsAsCrLf and what they call."
for style in lf crlf; do
  valgrind --tool=callgrind --callgrind-out-file="$scratch/profile" \
    --toggle-collect='tailsnip::WriteLineEndsAsCrLf*' --toggle-collect='tailsnip::FindBareLineFeed*' \
    "$tools/translate-instructions" "$style" "$mebibytes_translated" >"$scratch/output" 2>"$scratch/log" ||
    { cat "$scratch/log" >&2; exit 1; }
  input_bytes=$(awk '{ print $1 }' "$scratch/output")
  instructions=$(awk '$1 == "summary:" { print $2 }' "$scratch/profile")
  case $style in
  lf) label="LF text (every line end gains a CR)" ;;
  crlf) label="CR LF text (line ends kept as they are)" ;;
  esac
  printf '   %-42s %6s instructions per input byte (%s instructions, %s bytes)\n' "$label" \
    "$(ratio "$instructions" "$input_bytes")" "$instructions" "$input_bytes"
done
echo
echo "== The same loop's throughput on this machine (Google Benchmark, 1 MiB chunks in cache)"
"$tools/line-model-throughput" 2>&1 | sed 's/^/   /'
