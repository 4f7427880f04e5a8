#!/usr/bin/env bash
# Runs a command against a private Xvfb server, on Qt's X11 platform.
set -u
. "$(dirname "$0")/x11.sh"
start_xvfb || exit 1
trap stop_xvfb EXIT
QT_QPA_PLATFORM=xcb "$@"
