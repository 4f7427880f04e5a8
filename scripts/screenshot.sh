#!/usr/bin/env bash
# Takes the README's screenshot: the real executable of the test build (which
# writes the scratch stores, not the machine's) in Xvfb, after a real click on
# "Instalare". Run scripts/test.sh first. Needs ImageMagick's import.
set -euo pipefail
cd "$(dirname "$0")/.."
app=${1:-build-test/app/vyr-cert-installer}
. tests/e2e/x11.sh

start_xvfb
trap stop_xvfb EXIT
"$app" &
APP_PID=$!
window=$(find_window "Vyr Cert Installer")
click_in "$window" 419 252
# The run blocks the window until it ends; the first repaint after it shows the result.
sleep 3
import -window "$window" docs/screenshot.png
echo "docs/screenshot.png"
