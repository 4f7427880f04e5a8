#!/usr/bin/env bash
# The benchmark suite: builds Release with its programs, then prints one table
# (bench/measure.py), then what each Debian package pulls into a fresh host,
# and what installing vyr-ca-trust there costs, and its timer's run.
# Writes only scratch stores, never the machine's.
# Not a test, and not part of CI. Usage: bench/run.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing test
scratch=/tmp/vyr-cert-installer-bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYR_BUILD_BENCH=ON \
    -DVYR_STORE_ROOT="$scratch/stores" > /dev/null
cmake --build build-bench > /dev/null
. tests/e2e/x11.sh
# One server at 100 %, one at 200 % (192 dpi).
start_xvfb > /dev/null
first_xvfb=$XVFB_PID display_100=$DISPLAY
VYR_DPI=192 start_xvfb > /dev/null
trap 'stop_xvfb; kill "$first_xvfb"' EXIT
bench/measure.py build-bench "$scratch" "${1:-21}" "$display_100" "$DISPLAY"
echo
bench/fleet-report.sh build-bench/report/vyr-fleet-report "$scratch/fleet"
# What each Debian package pulls into a fresh Debian 12 host (root only).
if [ "$(id -u)" = 0 ]; then
    debs=$(scripts/build-deb.sh 2> /dev/null)
    echo
    tests/e2e/debian-host.sh footprint "$(grep '/vyr-cert-installer-cli_[^/]*\.deb$' <<< "$debs")" \
        "$(grep '/vyr-cert-installer_[^/]*\.deb$' <<< "$debs")"
    tests/e2e/debian-host.sh run bench/trust-timing.sh "$(grep '/vyr-cert-installer-cli_[^/]*\.deb$' <<< "$debs")" \
        "$(grep '/vyr-ca-trust_[^/]*\.deb$' <<< "$debs")"
fi
