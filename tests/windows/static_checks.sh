#!/bin/bash
# Checks built Windows programs without running them, with the cross tools:
# their architecture, that they import only DLLs every Windows has (the C
# and C++ runtimes are linked in), and that their resources hold a manifest
# for their architecture with UTF-8 as the code page, and the project's
# version. Where 32-bit programs cannot run, this is all that is checked of them.
#
#   static_checks.sh OBJDUMP WINDRES x86|amd64 VERSION PROGRAM.exe...
set -uo pipefail
objdump=$1 windres=$2 arch=$3 version=$4
shift 4
failures=0
readonly SYSTEM_DLLS=" kernel32.dll advapi32.dll user32.dll gdi32.dll shell32.dll ole32.dll msvcrt.dll "
expected_format=$([ "$arch" = amd64 ] && echo pei-x86-64 || echo pei-i386)

for program in "$@"; do
  fail() {
    echo "$program: $*" >&2
    failures=$((failures + 1))
  }

  format=$("$objdump" -f "$program" | sed -n 's/.*file format //p')
  [ "$format" = "$expected_format" ] || fail "expected file format $expected_format, got '$format'"

  imports=$("$objdump" -p "$program" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || fail "expected imports, found none"
  for dll in $imports; do
    [[ "$SYSTEM_DLLS" == *" $dll "* ]] || fail "expected only system DLLs, it imports $dll"
  done

  resources=$("$windres" -i "$program" -O rc 2>&1) || fail "windres cannot read the resources: $resources"
  manifest=$(sed -n '/RT_MANIFEST/,/^END/p' <<<"$resources")
  [ -n "$manifest" ] || fail "expected a manifest, found none"
  architectures=$(grep -o 'processorArchitecture=""[^"]*""' <<<"$manifest" | sort -u | tr -d '"')
  [ "$architectures" = "processorArchitecture=$arch" ] ||
    fail "expected the manifest to name only $arch, got: ${architectures:-none}"
  grep -q 'activeCodePage.*>UTF-8<' <<<"$manifest" ||
    fail "expected the manifest to ask for the UTF-8 code page, got: $(grep -o '<activeCodePage.*' <<<"$manifest")"
  file_version=$(sed -n 's/^ FILEVERSION //p' <<<"$resources")
  [ "$file_version" = "${version//./, }" ] ||
    fail "expected file version ${version//./, }, got: ${file_version:-none}"
done

exit $((failures > 0))
