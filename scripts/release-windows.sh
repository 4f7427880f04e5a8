#!/usr/bin/env bash
# Builds the Windows release from this tree: Qt for Windows from Debian's
# source (once per machine, cached), then one static vyr-cert-installer.exe
# with its manifest and icon, a zip with a README extract, and their SHA-256
# sums, in build-windows/release/. Nothing here is committed.
set -euo pipefail
cd "$(dirname "$0")/.."
qt=$(scripts/build-qt-windows.sh)
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt" > /dev/null
cmake --build build-windows > /dev/null
release=build-windows/release
rm -rf "$release" && mkdir -p "$release"
x86_64-w64-mingw32-strip -o "$release/vyr-cert-installer.exe" build-windows/app/vyr-cert-installer.exe
# What a Windows user needs to know: the opening, the verbs, the exit codes.
awk '/^# /,/^On a fresh Debian/ { if (!/^On a fresh Debian/ && !/^!\[/) print }
     /^## Without a window/,/^## The stores on Linux/ { if (!/^## The stores on Linux/) print }' README.md \
    > "$release/README.txt"
(cd "$release" && python3 -m zipfile -c vyr-cert-installer-windows.zip vyr-cert-installer.exe README.txt \
    && sha256sum vyr-cert-installer.exe vyr-cert-installer-windows.zip > SHA256SUMS)
cat "$release/SHA256SUMS"
ls -l "$release"
