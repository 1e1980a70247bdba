#!/bin/bash
# scripts/runs-32bit-programs on a machine that cannot run the program it
# tries, played by an ELF header for no machine at all: the kernel refuses
# it as it refuses a 32-bit program where ia32 emulation is off. Setup tells
# that case, which qemu can mend, from a missing program by the status.
set -uo pipefail
detect="$(dirname "$0")/../../scripts/runs-32bit-programs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$work/i386-program"
chmod +x "$work/i386-program"

ok=1
expect() {
  local expected_status=$1 expected=$2 program=$3 output status
  output=$(TAILSNIP_I386_PROGRAM="$program" "$detect")
  status=$?
  if [ $status -ne "$expected_status" ] || [ "$output" != "$expected" ]; then
    echo "expected status $expected_status and: $expected" >&2
    echo "got status $status and: $output" >&2
    ok=0
  fi
}
expect 1 "this kernel does not run 32-bit programs: $work/i386-program fails with \"Exec format error\"" \
  "$work/i386-program"
expect 2 "$work/wine, a 32-bit program to try, is missing (package wine32:i386)" "$work/wine"
[ $ok -eq 1 ]
