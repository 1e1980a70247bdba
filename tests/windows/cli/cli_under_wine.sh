#!/bin/bash
# tailsnip-cli.exe under Wine, run as a script would run it: a run over a
# tree with a read-only file and a name in another script, progress lines,
# a FILE operand beside its folder (in another case too, and by its short
# name) and an anchored pattern, a folder named in another script holding a
# path of 400 characters, a suffix no name can hold and a usage error that
# touch nothing, a Unix link to a folder not entered, Unix links to files
# left as they are, under a backup's name too, a simple backup
# already a second name of its file, files saved over by a Linux program
# during the run and its journal kept from others meanwhile, a drive's current folder named by its letter alone, a
# relative LOCALAPPDATA refused, a name on a console, and a drive's root
# refused.
#   cli_under_wine.sh tailsnip-cli.exe
set -uo pipefail
export LC_ALL=C.UTF-8 # lengths in characters, not bytes
wine_run="$(dirname "$0")/../../../scripts/wine-run"
cli=$1
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failures=0

# Wine's drive Z: is the Linux root.
windows_path() { echo "Z:${1//\//\\}"; }

expect() { # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf '%s: expected %q, got %q\n' "$1" "$2" "$3" >&2
    failures=$((failures + 1))
  fi
}

run_cli() { # ARGS...; sets status, out (without CRs) and err (as written, but its last line end)
  "$wine_run" "$cli" "$@" >"$work/out" 2>"$work/err"
  status=$?
  out=$(tr -d '\r' <"$work/out")
  err=$(cat "$work/err")
  err=${err%$'\r'}
}

contents() { cat "$1" && echo .; } # the dot keeps the last line end

tree=$work/tree
mkdir -p "$tree/sub/deep"
printf '1\n2\n' >"$tree/a.txt"
printf 'x\ny\n' >"$tree/sub/deep/ü-名.txt"
printf 'r\ns\n' >"$tree/ro.txt"
chmod a-w "$tree/ro.txt"
run_cli --progress "$(windows_path "$tree")"
expect "status with a read-only file" 1 "$status"
expect "notice" "finished!

1 entry could not be shortened:
$(windows_path "$tree/ro.txt"): read-only" "$out"
expect "a.txt" $'1\r\n.' "$(contents "$tree/a.txt")"
expect "ü-名.txt" $'x\r\n.' "$(contents "$tree/sub/deep/ü-名.txt")"
expect "ro.txt" $'r\ns\n.' "$(contents "$tree/ro.txt")"
# Off a console the progress comes as plain lines, without escape codes; the
# summary is the last line.
err_lines=$(tr -d '\r' <"$work/err")
expect "summary" "shortened 2, unchanged 0, failed 1" "$(tail -n 1 <<<"$err_lines" | sed 's/;.*//')"
expect "progress as plain lines" "/5 entries" "$(grep -m1 -o '/5 entries' <<<"$err_lines")"

# A FILE named beside its folder is shortened once; patterns are written
# with '/' as anywhere else.
printf '1\n2\n3\n' >"$tree/a.txt"
run_cli --quiet --exclude=/sub/deep/ "$(windows_path "$tree")" "$(windows_path "$tree/a.txt")"
expect "status with the read-only file again" 1 "$status"
expect "a.txt named twice" $'1\r\n2\r\n.' "$(contents "$tree/a.txt")"
expect "ü-名.txt excluded" $'x\r\n.' "$(contents "$tree/sub/deep/ü-名.txt")"

# Named in another case, as Windows takes names, a FILE is the entry its
# folder lists: shortened once, and it keeps its name; also where no letter
# of the name is ASCII.
printf '1\n2\n3\n' >"$tree/a.txt"
printf '1\n2\n3\n' >"$tree/файл"
run_cli --quiet --exclude=/sub/ "$(windows_path "$tree")" "$(windows_path "$tree/A.TXT")" \
  "$(windows_path "$tree/ФАЙЛ")"
expect "a.txt named in another case" $'1\r\n2\r\n.' "$(contents "$tree/a.txt")"
expect "файл named in another case" $'1\r\n2\r\n.' "$(contents "$tree/файл")"
# And so is a FILE named by its short name, as "dir /x" shows it.
mkdir "$work/short" && printf '1\n2\n3\n' >"$work/short/a-long-name.txt"
listing=$(WINEARCH=win64 "$wine_run" cmd /c dir /x "$(windows_path "$work/short")" | tr -d '\r')
short=$(grep -o '[^ ]*~[^ ]* a-long-name.txt$' <<<"$listing" | cut -d' ' -f1)
run_cli --quiet "$(windows_path "$work/short")" "$(windows_path "$work/short")\\$short"
expect "a file named by its short name too (short name '$short' from: $listing; status $status: $err)" \
  $'1\r\n2\r\n.' "$(contents "$work/short/a-long-name.txt")"

folder=$work/名前
deep=$folder
while [ "${#deep}" -lt 340 ]; do deep=$deep/$(printf 'd%.0s' {1..40}); done
mkdir -p "$deep"
long_name=$deep/$(printf 'f%.0s' $(seq $((398 - ${#deep} - 1)))) # 400 with "Z:"
printf 'a\nb\n' >"$folder/f.txt"
printf 'a\nb\n' >"$long_name"
run_cli --quiet "$(windows_path "$folder")"
expect "status, all handled" 0 "$status"
expect "notice, all handled" "finished!" "$out"
expect "standard error with --quiet" "" "$err"
expect "f.txt" $'a\r\n.' "$(contents "$folder/f.txt")"
long_windows_name=$(windows_path "$long_name")
expect "length of the long path" 400 "${#long_windows_name}"
expect "a file at a path of 400 characters" $'a\r\n.' "$(contents "$long_name")"

run_cli -S '*' "$(windows_path "$folder")"
expect "status of a suffix no name can hold" 2 "$status"

run_cli "$(windows_path "$folder/f.txt")\\"
expect "a file named as a folder" "tailsnip-cli: cannot access '$(windows_path "$folder/f.txt")\\': \
Not a directory (see tailsnip-cli --help)" "$err"

run_cli --frobnicate "$(windows_path "$folder")"
expect "status of a usage error" 2 "$status"
expect "usage error" "tailsnip-cli: unknown option '--frobnicate' (see tailsnip-cli --help)" "$err"
expect "f.txt after a usage error" $'a\r\n.' "$(contents "$folder/f.txt")"

# A Unix link to a folder, which Wine lists as a reparse point, is not entered.
mkdir -p "$work/outside"
printf 'o\np\n' >"$work/outside/kept.txt"
ln -s "$work/outside" "$tree/linked"
run_cli --quiet "$(windows_path "$tree")"
expect "a file beyond a folder link" $'o\np\n.' "$(contents "$work/outside/kept.txt")"

# Wine shows a Unix link to a file as the file it leads to, and would move
# that file by the link's name: such a link, and such a backup's name, are
# left as they are, and so are the files outside they lead to.
links=$work/links
mkdir -p "$links/run" "$links/outside"
printf 'o\np\n' >"$links/outside/target"
printf 'v\nw\n' >"$links/outside/victim"
printf '1\n2\n' >"$links/run/c"
ln -s ../outside/target "$links/run/lf"
ln -s ../outside/victim "$links/run/c~"
run_cli --quiet --backup=simple "$(windows_path "$links/run")"
expect "status with a backup's name taken by a link" 1 "$status"
expect "a file beyond a link" $'o\np\n.' "$(contents "$links/outside/target")"
expect "a file beyond a backup's name" $'v\nw\n.' "$(contents "$links/outside/victim")"
expect "the links" "../outside/target ../outside/victim" \
  "$(readlink "$links/run/lf") $(readlink "$links/run/c~")"
expect "a file whose backup's name is a link" $'1\n2\n.' "$(contents "$links/run/c")"

# A simple backup already a second name of its file (left by a stopped run,
# or made by the user) is the backup: taken as made, not moved aside, which
# Windows refuses while the file is held.
mkdir "$work/linked" && printf '1\n2\n' >"$work/linked/a" && ln "$work/linked/a" "$work/linked/a~"
run_cli --quiet --backup=simple "$(windows_path "$work/linked")"
expect "status with the backup already made ($err)" 0 "$status"
expect "a file with its backup already made" $'1\r\n.' "$(contents "$work/linked/a")"
expect "its backup" $'1\n2\n.' "$(contents "$work/linked/a~")"

# A Linux program may save over a file by rename, which no Windows sharing
# stops: the run, held up by a full pipe on standard error while copies of
# files further on are written, puts none of them in place of a save.
saved=$work/saved
mkdir "$saved"
for i in $(seq 100 699); do printf '1\n2\n' >"$saved/$(printf 'f%0200d' "$i")"; done
mkfifo "$work/held"
"$wine_run" "$cli" --verbose "$(windows_path "$saved")" >"$work/out" 2>"$work/held" &
run=$!
exec {held}<"$work/held"
shortened() { grep -l $'\r' "$saved"/f* | wc -l; }
settled=0 before=-1
for _ in $(seq 120); do # until no file is shortened for a second and a half
  now=$(shortened)
  if [ "$now" -gt 0 ] && [ "$now" -eq "$before" ]; then settled=$((settled + 1)); else settled=0; fi
  [ "$settled" -lt 3 ] || break
  before=$now
  sleep 0.5
done
# Meanwhile its journal is the user's alone, though Wine's Linux folders
# are others' to read.
journals=$("$wine_run" --prefix "$cli")/drive_c/users
expect "the journal's mode, for others" "0" \
  "$(find "$journals" -path '*/Tailsnip/*.journal' -printf '%m\n' | cut -c3 | sort -u)"
for file in "$saved"/f*; do printf 'saved\n' >"$work/new" && mv "$work/new" "$file"; done
cat <&"$held" >/dev/null
wait "$run"
status=$?
exec {held}<&-
expect "status with files saved over during the run" 1 "$status"
expect "files whose save was replaced" "" \
  "$(for file in "$saved"/f*; do [ "$(cat "$file")" = saved ] || echo "${file##*/}"; done | head -n 3)"
expect "copies left" "" "$(find "$saved" -name '.tailsnip-*')"

# A console shows a name's characters, not its UTF-8 bytes read in the
# console's own code page ("cafÃ©").
mkdir "$work/console" && printf '1\n2\n' >"$work/console/café"
shown=$(script -qec "$(printf '%q ' "$wine_run" "$cli" --dry-run "$(windows_path "$work/console")")" \
  /dev/null </dev/null)
expect "a name on a console" 1 "$(grep -c 'console\\café' <<<"$shown")"

# "Z:" is the current folder of drive Z:, not its root.
cd "$tree" || exit 1
run_cli --dry-run --max-depth=1 Z:
cd - >/dev/null || exit 1
expect "the current folder of drive Z:" 'Z:.\a.txt' "$(head -n 1 <<<"$out")"

# A relative LOCALAPPDATA would put the journal under the current folder,
# where a run from elsewhere would not see a stopped run: no run then.
arch=win64
file -b "$cli" | grep -q 'PE32+' || arch=win32
mkdir "$work/nolocal" && printf '1\n2\n' >"$work/nolocal/a"
cd "$work/nolocal" || exit 1
err=$(WINEARCH=$arch "$wine_run" cmd /c set LOCALAPPDATA=relative '&' "$(windows_path "$cli")" \
  "$(windows_path "$work/nolocal")" 2>&1 | tr -d '\r')
cd - >/dev/null || exit 1
expect "a relative LOCALAPPDATA" \
  "tailsnip-cli: no place for the run's journal: LOCALAPPDATA is not set to a full path" \
  "$(grep -m1 '^tailsnip-cli:' <<<"$err")"
expect "a file under a relative LOCALAPPDATA" $'1\n2\n.' "$(contents "$work/nolocal/a")"

# Drive Z: is the whole Linux file system; a dry run leaving every entry
# out, so that a fault here costs nothing.
run_cli --dry-run --exclude='*' 'Z:\'
expect "status over a drive's root" 2 "$status"
expect "drive's root refused" "tailsnip-cli: 'Z:\' is a root folder: every file beneath it would \
lose a line; --no-preserve-root allows that (see tailsnip-cli --help)" "$err"

exit $((failures > 0))
