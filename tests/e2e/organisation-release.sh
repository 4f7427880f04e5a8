#!/usr/bin/env bash
# An organisation's own release, as the README tells one to make it: another
# bundle folder (two certificates retired, a root with ten days left) under
# version 1.1.0, built into the Debian packages and the Windows release, and
# read back from each: the packages' version, --version, the MSI's
# ProductVersion and --check --json, natively and under Wine; --check warns of
# the root's end. Leaves the later .exe and its bundle in the scratch folder
# for the Wine tests' later-release rows.
# Usage: organisation-release.sh <scratch folder> <a root with ten days left, PEM>
set -euo pipefail
second=$1 ten_days=$(realpath "$2")
cd "$(dirname "$0")/../.."
. tests/e2e/bundle.sh
make_second_bundle "$second/bundle" "$ten_days"
debs=$(scripts/build-deb.sh --bundle "$second/bundle" --version 1.1.0)
for deb in $debs; do [ "$(dpkg-deb -f "$deb" Version)" = 1.1.0 ] || { echo "FAIL: $deb is not 1.1.0" >&2; exit 1; }; done
rm -rf "$second/deb" && dpkg-deb -x "$(grep '/vyr-cert-installer-cli_[^/]*\.deb$' <<< "$debs")" "$second/deb"
read_back_release "$second/deb/usr/bin/vyr-cert-installer-cli" "$second/bundle" 1.1.0
"$second/deb/usr/bin/vyr-cert-installer-cli" --check > /dev/null 2> "$second/check.err" || true
grep -x 'Vyr_Root_CA_5.cer expires on .*: [0-9] days left' "$second/check.err" \
    || { echo "FAIL: --check does not warn of the root's end: $(cat "$second/check.err")" >&2; exit 1; }
scripts/release-windows.sh --bundle "$second/bundle" --version 1.1.0 > /dev/null
cp build-windows/release/vyr-cert-installer.exe "$second/vyr-cert-installer-1.1.0.exe"
msiinfo export build-windows/release/vyr-cert-installer-1.1.0.msi Property | tr -d '\r' | grep -qx $'ProductVersion\t1.1.0' \
    || { echo "FAIL: the MSI is not 1.1.0" >&2; exit 1; }
WINEPREFIX=$second/prefix /usr/lib/wine/wine64 wineboot --init > /dev/null 2>&1
WINEPREFIX=$second/prefix WINEDEBUG=-all DISPLAY= read_back_release build-windows/release/vyr-cert-installer.exe \
    "$second/bundle" 1.1.0 /usr/lib/wine/wine64
echo "1.1.0 read back from the packages, --version, the MSI and --check --json"
