#!/usr/bin/env bash
# Opens a recording in EDFbrowser on a virtual X display, shows all its signals
# and saves a PNG of the screen.
#   scripts/edfbrowser-screenshot.sh FILE.bdf OUT.png [SECONDS_TO_WAIT]
# Needs the Debian packages edfbrowser, xvfb, x11-apps (xwd), xdotool and imagemagick.
set -euo pipefail
file=$1 out=$2 wait=${3:-6}
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  edfbrowser "$1" & pid=$!
  sleep "$3"
  # EDFbrowser opens with its signal chooser: Select All, Add signal(s), Close.
  xdotool key alt+s; sleep 0.5; xdotool key alt+a; sleep 0.5; xdotool key Escape; sleep 1.5
  xwd -root -silent > "$2.xwd"
  kill "$pid"; wait "$pid" 2>/dev/null || true
' _ "$file" "$out" "$wait"
/usr/bin/convert "$out.xwd" "$out"
rm -f "$out.xwd"
echo "wrote $out"
