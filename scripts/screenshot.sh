#!/usr/bin/env bash
# scripts/screenshot.sh [program] [picture.png] [seconds] [option...]: starts
# the tester on the simulator under a virtual X server and takes a picture of
# the screen. With seconds < 1 the picture shows the splash; the default (3)
# shows the window. Options go to the tester (--system lenz).
# SCREENSHOT_TRAFFIC=1: once the window shows, the port is opened, the
# feedback unit read continuously and the line-traffic window opened (Ctrl+T);
# the picture is taken three seconds later.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/debian-packages.txt" "$top/scripts/screenshot-packages.txt"
exe=${1:-$top/build/release/bin/quorrin}
out=${2:-$PWD/quorrin-screenshot.png}
wait=${3:-3}
shift $(( $# < 3 ? $# : 3 ))
[ -x "$exe" ] || { echo "screenshot.sh: no program at $exe" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb SCREENSHOT_TRAFFIC=${SCREENSHOT_TRAFFIC:-}
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  exe=$1 out=$2 wait=$3; shift 3
  "$exe" --simulator "$@" & pid=$!
  sleep "$wait"
  if [ -n "$SCREENSHOT_TRAFFIC" ]; then
    # The main window has a fixed layout: its controls sit at fixed places.
    w=$(xdotool search --sync --onlyvisible --name "^Quorrin" | head -1)
    xdotool windowfocus --sync "$w"
    xdotool mousemove --window "$w" 246 32 click 1   # Poort open
    sleep 1.5
    xdotool mousemove --window "$w" 395 459 click 1  # the feedback unit: Continue
    xdotool mousemove --window "$w" 420 429 click 1  # Start
    xdotool key ctrl+t
    sleep 3
  fi
  import -window root "$out"
  kill "$pid"; wait "$pid" 2>/dev/null || true
' screenshot "$exe" "$out" "$wait" "$@"
echo "picture: $out"
