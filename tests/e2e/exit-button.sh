#!/usr/bin/env bash
# The real executable in Xvfb: a 510 x 340 window that a click on "Ieșire"
# closes, ending the process with exit code 0.
set -u
app=$1
. "$(dirname "$0")/x11.sh"
start_xvfb || exit 1
trap stop_xvfb EXIT

"$app" &
APP_PID=$!
window=$(find_window "Vyr Cert Installer") || fail "no window"

geometry=$(xwininfo -id "$window")
width=$(awk '/Width:/ {print $2}' <<< "$geometry")
height=$(awk '/Height:/ {print $2}' <<< "$geometry")
[ "$width" = 510 ] && [ "$height" = 340 ] || fail "client area is ${width} x ${height}, not 510 x 340"

# The exit button is the left half of the button row at 300, 240 (158 x 25).
click_in "$window" 338 252
wait_exit "$APP_PID" 10 || fail "the window stayed open after the click on the exit button"
[ "$EXIT_CODE" = 0 ] || fail "exit code $EXIT_CODE"
echo "window 510 x 340, closed by its exit button, exit code 0"
