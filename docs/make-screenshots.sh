#!/bin/bash
# Takes the pictures of the main dialog and the About box that the README
# shows. Tailsnip runs under Wine in a virtual desktop, where Wine draws
# the window frames itself as Windows would, on a virtual X server, and is
# worked with the mouse: the About box is opened through the system menu.
#
#   docs/make-screenshots.sh [path/to/Tailsnip.exe]
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
# By default the program this machine can run: the 32-bit one where it can.
default_exe=$repo/build-win/shell/Tailsnip.exe
"$repo/scripts/runs-32bit-programs" >/dev/null || default_exe=$repo/build-win64/shell/Tailsnip.exe
exe="$(realpath "${1:-$default_exe}")"
[ -f "$exe" ] || { echo "no program at $exe; build it first (see README)" >&2; exit 2; }
# Wine's explorer hosts the program, so it must run in the program's prefix.
if x86_64-w64-mingw32-objdump -f "$exe" | grep -q pei-x86-64; then
  export WINEARCH=win64
fi

if [ -z "${INSIDE_VIRTUAL_DISPLAY:-}" ]; then
  INSIDE_VIRTUAL_DISPLAY=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$exe"
fi

readonly WINDOW_TIMEOUT_SECONDS=60

# Prints the X window id of the first shown Tailsnip window for which the
# test command (given the window's name and height) succeeds.
wait_for_window() {
  local description="$1" deadline=$((SECONDS + WINDOW_TIMEOUT_SECONDS)) id name HEIGHT
  shift
  while [ $SECONDS -lt $deadline ]; do
    for id in $(xdotool search --onlyvisible --class tailsnip.exe 2>/dev/null); do
      name="$(xdotool getwindowname "$id")"
      eval "$(xdotool getwindowgeometry --shell "$id" | grep HEIGHT)"
      if "$@" "$name" "$HEIGHT"; then
        echo "$id"
        return 0
      fi
    done
    sleep 0.5
  done
  echo "no $description within ${WINDOW_TIMEOUT_SECONDS}s" >&2
  return 1
}

is_main_dialog() { [ "$1" != "Default IME" ] && [ "$1" != "About Tailsnip" ] && [ -n "$1" ]; }
is_about_box() { [ "$1" = "About Tailsnip" ]; }
is_menu() { [ -z "$1" ] && [ "$2" -gt 20 ]; }

# Clicks at a point of a window, counted from its right edge when negative.
click_in() {
  local window="$1" x="$2" y="$3" WIDTH
  eval "$(xdotool getwindowgeometry --shell "$window" | grep WIDTH)"
  [ "$x" -lt 0 ] && x=$((WIDTH + x))
  xdotool mousemove --window "$window" "$x" "$y" click 1
}

# Lets a window finish painting: there is no event for "painted".
settle() { sleep 1; }

work="$(mktemp -d)"
trap 'kill "$wine_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
"$repo/scripts/wine-run" explorer /desktop=Tailsnip,480x300 "Z:${exe//\//\\}" &
wine_pid=$!

main="$(wait_for_window "main dialog" is_main_dialog)"
settle
click_in "$main" 8 8  # the window icon opens the system menu
menu="$(wait_for_window "system menu" is_menu)"
eval "$(xdotool getwindowgeometry --shell "$menu" | grep HEIGHT)"
click_in "$menu" 20 $((HEIGHT - 10))  # its last item is ours
about="$(wait_for_window "About box" is_about_box)"
click_in "$about" 100 8  # a click on the caption makes it the active window
settle
import -window "$about" "$repo/docs/tailsnip-about.png"

# Closing the About box hands the activation back to the main dialog, so its
# caption is drawn as the active one.
click_in "$about" -12 10
settle
import -window "$main" "$repo/docs/tailsnip-dialog.png"
click_in "$main" -12 10
echo "wrote docs/tailsnip-dialog.png and docs/tailsnip-about.png"
