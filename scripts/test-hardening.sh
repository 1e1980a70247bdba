#!/bin/bash
# Hardening: the native test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and under ThreadSanitizer with runs that flush
# from several threads repeated, the line model and the journal's reader
# fuzzed for a bounded time (TAILSNIP_FUZZ_SECONDS in all, 60 by default,
# shared between them), and trimming runs over very large trees. Every step
# runs even when an earlier one failed; the exit status says whether all
# passed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh || exit 1

fuzz_seconds=${TAILSNIP_FUZZ_SECONDS:-60}
failed=()

step() {
  local name=$1
  shift
  echo "== $name"
  local start=$SECONDS
  if "$@"; then
    echo "== $name: passed in $((SECONDS - start)) s"
  else
    echo "== $name: FAILED after $((SECONDS - start)) s"
    failed+=("$name")
  fi
}

sanitized_tests() {
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null &&
    cmake --build build-asan -j2 &&
    ASAN_OPTIONS=strict_string_checks=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=print_stacktrace=1 \
      timeout 1500 ctest --test-dir build-asan --output-on-failure -j2
}

# Two groups are left out: the fault sweeps, one failing call at a time
# and swept under AddressSanitizer already, which take minutes here; and
# the runs killed at random moments, whose findings would die with them.
thread_sanitized_tests() {
  local flags="-fsanitize=thread -fno-omit-frame-pointer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" \
    >/dev/null &&
    cmake --build build-tsan -j2 || return 1
  local options=halt_on_error=1:second_deadlock_stack=1
  TSAN_OPTIONS=$options GTEST_FILTER=-CrashSafetyTest.* \
    timeout 900 ctest --test-dir build-tsan --output-on-failure -j2 -E hardening_fault_sweeps ||
    return 1
  # More runs whose flush threads start after a first batch of one copy.
  TSAN_OPTIONS=$options timeout 600 build-tsan/tests/hardening/hardening_tests \
    --gtest_filter=FlushThreadsTest.* --gtest_repeat=5 >build-tsan/stress.log 2>&1 ||
    { tail -n 40 build-tsan/stress.log; return 1; }
  grep -c '^\[       OK \]' build-tsan/stress.log | sed 's/$/ stress rounds of 20 runs passed/'
}

# Runs one fuzz target for `seconds`: new inputs go to build-fuzz/NAME-corpus,
# the seed corpus is only read.
fuzz() {
  local name=$1 seeds=$2 seconds=$3
  mkdir -p "build-fuzz/$name-corpus" build-fuzz/findings
  local log=build-fuzz/$name-fuzz.log
  timeout $((seconds + 120)) "build-fuzz/tests/hardening/${name}_fuzzer" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$PWD/build-fuzz/findings/" \
    "build-fuzz/$name-corpus" "$seeds" >"$log" 2>&1
  local status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$name fuzzer: ${runs:-no} executions in $seconds s"
  if [ $status -ne 0 ]; then
    tail -n 40 "$log"
    echo "the failing input is in build-fuzz/findings/"
  fi
  return $status
}

# The time budget is shared between the fuzz targets.
fuzzing() {
  cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    >/dev/null &&
    cmake --build build-fuzz -j2 --target line_model_fuzzer journal_fuzzer || return 1
  # libFuzzer takes 0 seconds for no limit: each gets one at least.
  local first=$((fuzz_seconds > 1 ? fuzz_seconds / 2 : 1))
  local second=$((fuzz_seconds - first > 0 ? fuzz_seconds - first : 1))
  local ok=0
  fuzz line_model tests/hardening/corpus "$first" || ok=1
  fuzz journal tests/hardening/journal_corpus "$second" || ok=1
  return $ok
}

# The Release build scripts/test.sh made, where it did.
large_trees() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build build -j2 --target tailsnip-cli scale_run &&
    timeout 900 build/tests/hardening/scale_run build/cli/tailsnip-cli
}

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized_tests
step "tests under ThreadSanitizer" thread_sanitized_tests
step "fuzzing the line model and the journal's reader" fuzzing
step "large trees" large_trees

if [ ${#failed[@]} -gt 0 ]; then
  printf 'hardening FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "hardening: all passed"
