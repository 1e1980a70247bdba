#!/bin/bash
# Builds everything and runs every test: the engine and the command-line
# tool natively; the 64-bit Windows program and the engine under Wine; the
# 32-bit ones too, through qemu where the kernel runs no 32-bit programs
# (where even that fails they are built and checked without running); then
# the hardening runs (sanitizers, fuzzing, very large trees).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win64 -j2
xvfb-run -a ctest --test-dir build-win64 --output-on-failure

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j2
if how=$(scripts/runs-32bit-programs); then
  echo "test: the 32-bit Windows tests run $how" >&2
  xvfb-run -a ctest --test-dir build-win --output-on-failure
else
  echo "test: the 32-bit Windows tests do not run here ($how); the 32-bit build is checked without running it" >&2
  ctest --test-dir build-win --output-on-failure -L static
fi

scripts/test-hardening.sh
