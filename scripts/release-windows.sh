#!/usr/bin/env bash
# Builds the Windows release from this tree: Qt for Windows from Debian's
# source (once per machine, cached), then one static vyr-cert-installer.exe
# with its manifest and icon, the MSI around it (scripts/make-msi.sh), a zip
# with the .exe and a README extract, and their SHA-256 sums, in
# build-windows/release/. Nothing here is committed.
#
# Given signing material, the .exe and the MSI are signed (Authenticode,
# SHA-256) before they are zipped and summed; without it the release is
# unsigned, and says so.
# The certificates come from a bundle folder (default: the tree's resources/),
# the version from --version (default: the project's); the MSI's
# ProductVersion is that version, so an upgrade needs a higher one.
# Usage: scripts/release-windows.sh [--bundle FOLDER] [--version X.Y.Z]
#            [--pkcs12 FILE | --certs CHAIN.pem --key KEY.pem] [--timestamp URL]
# or through the environment: VYR_SIGN_PKCS12 (its password in VYR_SIGN_PASSWORD),
# VYR_SIGN_CERTS and VYR_SIGN_KEY, VYR_SIGN_TIMESTAMP.
set -euo pipefail
usage() {
    echo "usage: $0 [--bundle FOLDER] [--version X.Y.Z] [--pkcs12 FILE | --certs CHAIN.pem --key KEY.pem] [--timestamp URL]" >&2
    exit 2
}
pkcs12=${VYR_SIGN_PKCS12:-} certs=${VYR_SIGN_CERTS:-} key=${VYR_SIGN_KEY:-} timestamp=${VYR_SIGN_TIMESTAMP:-}
. "$(dirname "$0")/release-options.sh"
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    vyr_release_option "$1" "$2" || case $1 in
    --pkcs12) pkcs12=$2 ;;
    --certs) certs=$2 ;;
    --key) key=$2 ;;
    --timestamp) timestamp=$2 ;;
    *) usage ;;
    esac
    shift 2
done
if [ -n "$pkcs12" ]; then
    [ -z "$certs$key" ] || usage
    material=(-pkcs12 "$(realpath "$pkcs12")")
elif [ -n "$certs$key" ]; then
    [ -n "$certs" ] && [ -n "$key" ] || usage
    material=(-certs "$(realpath "$certs")" -key "$(realpath "$key")")
else
    material=()
fi
cd "$(dirname "$0")/.."
# Both always given, so that a release never inherits the last one's from the cache.
bundle=${bundle:-$PWD/resources}
vyr_release_version

# Into a new name, then over the old one: osslsigncode will not overwrite.
sign() {
    local extra=()
    [ -n "$timestamp" ] && extra+=(-ts "$timestamp")
    # The password goes through a descriptor, never through the command line.
    [ -n "$pkcs12" ] && [ -n "${VYR_SIGN_PASSWORD:-}" ] && extra+=(-readpass /dev/stdin)
    printf %s "${VYR_SIGN_PASSWORD:-}" | osslsigncode sign "${material[@]}" "${extra[@]}" -h sha256 \
        -n "Vyr Cert Installer" -i http://pki.vyr.ro/ -in "$1" -out "$1.signed" > /dev/null
    mv "$1.signed" "$1"
}
# A release rebuilds to the same bytes: its times are the tree's (the
# changelog's entry), which ld puts into the PE header and strip keeps;
# the build folder's path is mapped away.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l debian/changelog -STimestamp)}
qt=$(scripts/build-qt-windows.sh)
# CMake keeps the Qt it found first: a build against another Qt starts afresh.
[ "$(cat build-windows/qt-prefix 2> /dev/null)" = "$qt" ] || rm -rf build-windows
mkdir -p build-windows && echo "$qt" > build-windows/qt-prefix
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DVYR_BUNDLE_DIR="$bundle" -DVYR_VERSION="$version" \
    -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$PWD=." > /dev/null
# The bundle's check speaks first: its errors stop the release, its warnings are shown.
bundle_lines() { grep -E '/(Cert/[^ ]*|Json/Settings\.json): (error|warning): ' build-windows/build.log >&2; }
cmake --build build-windows > build-windows/build.log 2>&1 || { bundle_lines || tail -n 40 build-windows/build.log >&2; exit 1; }
bundle_lines || true
release=build-windows/release
rm -rf "$release" && mkdir -p "$release"
x86_64-w64-mingw32-strip -o "$release/vyr-cert-installer.exe" build-windows/app/vyr-cert-installer.exe
# The version --version prints, in the three parts an MSI wants.
[[ $version == *.*.* ]] || version=$version.0
if [ ${#material[@]} -gt 0 ]; then
    sign "$release/vyr-cert-installer.exe"
fi
scripts/make-msi.sh "$release/vyr-cert-installer.exe" "$version" "$release/vyr-cert-installer-$version.msi"
if [ ${#material[@]} -gt 0 ]; then
    sign "$release/vyr-cert-installer-$version.msi"
    echo "signed: vyr-cert-installer.exe and vyr-cert-installer-$version.msi (${material[1]}${timestamp:+, time-stamped by $timestamp})"
else
    echo "UNSIGNED release: no signing material given (--pkcs12, or --certs and --key; see the README)" >&2
fi
# What a Windows user needs to know: the opening, the verbs, the exit codes.
awk '/^# /,/^On a fresh Debian/ { if (!/^On a fresh Debian/ && !/^!\[/) print }
     /^## Without a window/,/^## The stores on Linux/ { if (!/^## The stores on Linux/) print }' README.md \
    > "$release/README.txt"
# The zip keeps each entry's mode and its time in the zone it is made in.
chmod 0644 "$release/vyr-cert-installer.exe" "$release/README.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$release/vyr-cert-installer.exe" "$release/README.txt"
(cd "$release" && TZ=UTC python3 -m zipfile -c vyr-cert-installer-windows.zip vyr-cert-installer.exe README.txt \
    && sha256sum vyr-cert-installer.exe "vyr-cert-installer-$version.msi" vyr-cert-installer-windows.zip > SHA256SUMS)
cat "$release/SHA256SUMS"
echo "vyr-cert-installer.exe: $(stat -c %s "$release/vyr-cert-installer.exe") bytes"
ls -l "$release"
