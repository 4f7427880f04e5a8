#!/usr/bin/env bash
# Takes the README's screenshots with the real executable of the test build
# (which writes the scratch stores, not the machine's) in Xvfb, after a real
# click on "Instalare": a run as root, then a run as nobody against root's
# stores. Run scripts/test.sh first. Needs ImageMagick's import.
set -euo pipefail
cd "$(dirname "$0")/.."
app=$(realpath "${1:-build-test/app/vyr-cert-installer}")
scratch=/tmp/vyr-cert-installer-tests
. tests/e2e/x11.sh

# Starts the program as given, clicks "Instalare" and captures the window to $1.
shoot() {
    local out=$1 window
    shift
    "$@" &
    APP_PID=$!
    window=$(find_window "Vyr Cert Installer")
    click_in "$window" 419 252
    # The run blocks the window until it ends; the first repaint after it shows the result.
    sleep 3
    import -window "$window" "$out"
    kill "$APP_PID"
    wait "$APP_PID" 2>/dev/null || true
    echo "$out"
}

start_xvfb
trap stop_xvfb EXIT
rm -rf "$scratch/stores/ROOT" "$scratch/stores/CA"
mkdir -p -m 1777 "$scratch/tmp/screenshot"
TMPDIR=$scratch/tmp/screenshot shoot docs/screenshot.png "$app"

mkdir -p -m 0755 "$scratch/bin"
cp "$app" "$scratch/bin/vyr-cert-installer-screenshot"
chmod 0755 "$scratch/bin/vyr-cert-installer-screenshot"
rm -rf "$scratch/tmp/screenshot"/*
shoot docs/screenshot-no-rights.png setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME=/nonexistent TMPDIR="$scratch/tmp/screenshot" "$scratch/bin/vyr-cert-installer-screenshot"
