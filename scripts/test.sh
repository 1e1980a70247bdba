#!/bin/bash
# Builds everything and runs every test: the engine and the command-line
# tool natively, the Windows program and the engine under Wine, then the
# hardening runs (sanitizers, fuzzing, very large trees).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j2
xvfb-run -a ctest --test-dir build-win --output-on-failure

scripts/test-hardening.sh
