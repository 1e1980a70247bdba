#!/bin/bash
# bench/run.sh [BUILD_DIR]: installs what is missing, builds Release in
# BUILD_DIR (default build-bench) and prints every benchmark figure.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
"$bench/../scripts/setup-debian.sh"

echo "Tailsnip benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), source $(git -C "$bench/.." describe --always --dirty 2>/dev/null || echo unknown)"
echo "Machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
  "Linux $(uname -r), load average at start $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
start=$SECONDS
"$bench/compare.sh" "$@"
echo
"$bench/instructions.sh" "$@"
echo
"$bench/on-disk.sh" "$@"
echo
echo "Whole benchmark: $((SECONDS - start)) s, load average at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
