#!/bin/bash
# bench/instructions.sh [BUILD_DIR]: the line-end loop's cost, as
# callgrind's instructions and mispredicted branches per input byte (the
# same on any machine) and as Google Benchmark's bytes per second on this one.
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh" "$@"
build_tools

mebibytes_translated=32
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== The line-end loop: callgrind, $mebibytes_translated MiB of text in 1 MiB chunks, scanned and translated"
echo "   Counted only inside FindBareLineFeed, WriteLineEndsAsCrLf and what they call; branches"
echo "   as callgrind's simple predictor would mispredict them (a text's line ends are not"
echo "   predictable, and each misprediction costs a processor some 15 cycles)."
for style in lf crlf; do
  valgrind --tool=callgrind --branch-sim=yes --callgrind-out-file="$scratch/profile" \
    --toggle-collect='tailsnip::WriteLineEndsAsCrLf*' --toggle-collect='tailsnip::FindBareLineFeed*' \
    "$tools/translate-instructions" "$style" "$mebibytes_translated" >"$scratch/output" 2>"$scratch/log" ||
    { cat "$scratch/log" >&2; exit 1; }
  input_bytes=$(awk '{ print $1 }' "$scratch/output")
  # events: Ir Bc Bcm Bi Bim; the summary line gives their totals in that order.
  read -r instructions mispredicted < <(awk '$1 == "summary:" { print $2, $4 + $6 }' "$scratch/profile")
  case $style in
  lf) label="LF text (every line end gains a CR)" ;;
  crlf) label="CR LF text (only scanned)" ;;
  esac
  printf '   %-38s %5s instructions per byte, %5s mispredicted branches per KiB\n' "$label" \
    "$(ratio "$instructions" "$input_bytes")" \
    "$(awk -v m="$mispredicted" -v b="$input_bytes" 'BEGIN { printf "%.2f", m / b * 1024 }')"
done
echo
echo "== The same loop's throughput on this machine (Google Benchmark, 64 KiB pieces of 8 MiB of text)"
"$tools/line-model-throughput" 2>&1 | sed 's/^/   /'
