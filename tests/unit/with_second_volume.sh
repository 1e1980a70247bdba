#!/bin/bash
# Runs a Windows test program under Wine with drive T: on another Linux file
# system than drive C:, so that a rename from one to the other fails as it
# does between two Windows volumes. The drive's root is passed to the
# program in TAILSNIP_SECOND_VOLUME.
#   with_second_volume.sh PROGRAM.exe [ARGS...]
set -euo pipefail
wine_run="$(dirname "$0")/../../scripts/wine-run"
prefix=$("$wine_run" --prefix "$1")

"$wine_run" "$1" --gtest_list_tests >/dev/null # creates the prefix if need be
volume=$(mktemp -d /dev/shm/tailsnip-volume.XXXXXX) # tmpfs: not where drive C: lies
trap 'rm -f "$prefix/dosdevices/t:"; rm -rf "$volume"' EXIT
ln -sfn "$volume" "$prefix/dosdevices/t:"
TAILSNIP_SECOND_VOLUME='T:\' "$wine_run" "$@"
