#!/bin/bash
# The bash completion of tailsnip-cli, called as bash calls it: options from
# the program's --help, files and folders for operands and for the options
# that read files, nothing for patterns.
#   completion_test.sh COMPLETION_SCRIPT TAILSNIP_CLI
set -uo pipefail
source "$1" || exit 1
program_folder=$(cd "$(dirname "$2")" && pwd)
export PATH=$program_folder:$PATH
compopt() { :; } # only bash's own completion may call it
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/logs" && touch "$work/list" "$work/lost" "$work/-old"
cd "$work" || exit 1
failures=0

expect() { # EXPECTED WORD... (the command line, the last word being completed)
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tailsnip_cli tailsnip-cli
  local got
  got=$(printf '%s ' "${COMPREPLY[@]}" | tr ' ' '\n' | sort | xargs)
  if [ "$got" != "$expected" ]; then
    printf '%s: expected "%s", got "%s"\n' "$*" "$expected" "$got" >&2
    failures=$((failures + 1))
  fi
}

expect "--exclude-from= --exclude=" tailsnip-cli --exclu
expect "--dry-run" tailsnip-cli -n --dry
expect "list logs lost" tailsnip-cli -n l
expect "list logs lost" tailsnip-cli --files0-from = l
expect "list" tailsnip-cli --exclude-from li
expect "" tailsnip-cli --exclude = l
expect "--suffix=" tailsnip-cli --suf
expect "never nil none numbered" tailsnip-cli --backup = n
expect "logs lost" tailsnip-cli --backup lo
expect "" tailsnip-cli -l l
expect "" tailsnip-cli -nl l
expect "--backup --backup=" tailsnip-cli --backu
expect "--keep-line-ends" tailsnip-cli --keep
expect "-old" tailsnip-cli -k -- -o
exit $((failures > 0))
