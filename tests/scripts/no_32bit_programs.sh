#!/bin/bash
# scripts/runs-32bit-programs on a machine that cannot run the program it
# tries, played by an ELF header for no machine at all: the kernel refuses
# it as it refuses a 32-bit program where ia32 emulation is off.
set -uo pipefail
detect="$(dirname "$0")/../../scripts/runs-32bit-programs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$work/i386-program"
chmod +x "$work/i386-program"

output=$(TAILSNIP_I386_PROGRAM="$work/i386-program" "$detect")
status=$?
expected="this kernel does not run 32-bit programs: $work/i386-program fails with \"Exec format error\""
if [ $status -ne 1 ] || [ "$output" != "$expected" ]; then
  echo "expected status 1 and: $expected" >&2
  echo "got status $status and: $output" >&2
  exit 1
fi
