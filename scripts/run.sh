#!/bin/bash
# Builds Tailsnip.exe and starts it: under Wine here, as it is on Windows.
# The 32-bit program where 32-bit programs run (natively or through qemu),
# else the 64-bit one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

if why_not=$(scripts/runs-32bit-programs); then
  build=build-win toolchain=cmake/mingw-i686.cmake
else
  echo "run: starting the 64-bit program: $why_not" >&2
  build=build-win64 toolchain=cmake/mingw-x86_64.cmake
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2 --target Tailsnip
if [ -n "${DISPLAY:-}" ]; then
  exec scripts/wine-run "$build/shell/Tailsnip.exe"
fi
echo "run: no X display; starting Tailsnip on a virtual one (close it with Ctrl+C)" >&2
exec xvfb-run -a scripts/wine-run "$build/shell/Tailsnip.exe"
