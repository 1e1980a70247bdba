#!/bin/bash
# Builds Tailsnip.exe and starts it: under Wine here, as it is on Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j2 --target Tailsnip
if [ -n "${DISPLAY:-}" ]; then
  exec scripts/wine-run build-win/shell/Tailsnip.exe
fi
echo "run: no X display; starting Tailsnip on a virtual one (close it with Ctrl+C)" >&2
exec xvfb-run -a scripts/wine-run build-win/shell/Tailsnip.exe
