#!/usr/bin/env bash
# The proof an administrator wants, under Wine: a Windows build whose bundle
# holds the throwaway code-signing root and intermediate, signed by their
# leaf, is untrusted; its own --install makes its signature trusted; its
# --remove makes it untrusted again. The throwaway root is never in this
# machine's trust (Wine would read /etc/ssl/certs too).
# Usage: authenticode.sh <trust_probe.exe> <signing folder (signing.sh chain)> <scratch>
set -euo pipefail
probe=$(realpath "$1") signing=$(realpath "$2") scratch=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEPREFIX=$scratch/prefix DISPLAY=
fail() { echo "FAIL: $*" >&2; exit 1; }
openssl verify -CApath /etc/ssl/certs "$signing/root.pem" > /dev/null 2>&1 && fail "the throwaway root is in this machine's trust"

rm -rf "$scratch" && mkdir -p "$scratch"
. "$source_dir/tests/e2e/bundle.sh"
make_bundle "$scratch/bundle" "$signing/root.pem" "$signing/inter.pem"

qt=$("$source_dir/scripts/build-qt-windows.sh")
cmake -S "$source_dir" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DVYR_BUNDLE_DIR="$scratch/bundle" > /dev/null
cmake --build "$scratch/build" --target vyr-cert-installer > /dev/null
x86_64-w64-mingw32-strip -o "$scratch/unsigned.exe" "$scratch/build/app/vyr-cert-installer.exe"
osslsigncode sign -certs "$signing/chain.pem" -key "$signing/leaf.key" -h sha256 -n "Vyr Cert Installer" \
    -in "$scratch/unsigned.exe" -out "$scratch/vyr-cert-installer.exe" > /dev/null
exe=$scratch/vyr-cert-installer.exe

"$wine" wineboot --init > /dev/null 2>&1 || fail "no Wine prefix"
verdict() { "$wine" "$probe" "$(winepath -w "$1")" 2>/dev/null | tr -d '\r' | cut -d' ' -f1; }
[ "$(verdict "$scratch/unsigned.exe")" = untrusted ] || fail "an unsigned program is trusted"
[ "$(verdict "$exe")" = untrusted ] || fail "the program is trusted before its --install"
"$wine" "$exe" --install > "$scratch/install.out" 2>&1 || fail "--install: $(cat "$scratch/install.out")"
[ "$(verdict "$exe")" = trusted ] || fail "the program is not trusted after its --install: $("$wine" "$probe" "$(winepath -w "$exe")")"
[ "$(verdict "$scratch/unsigned.exe")" = untrusted ] || fail "an unsigned program is trusted after --install"
"$wine" "$exe" --remove > "$scratch/remove.out" 2>&1 || fail "--remove: $(cat "$scratch/remove.out")"
[ "$(verdict "$exe")" = untrusted ] || fail "the program is still trusted after its --remove"
echo "its own signature: untrusted, trusted after its --install, untrusted after its --remove"
