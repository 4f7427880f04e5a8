#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the native
# tests (under AddressSanitizer, LeakSanitizer and UBSan, with the real
# executable in Xvfb), the system-trust step in a private mount namespace, the
# Debian packages (lintian, a fresh Debian host through Ansible, polkit), the
# Windows program (against a Qt for Windows built once per machine from
# Debian's source) and the CryptoAPI sequences run under Wine against a real
# crypt32, and the fuzzers for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing test

# The tests write scratch stores, never the machine's own.
store_root=/tmp/vyr-cert-installer-tests/stores

echo "== native build and tests"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVYR_BUILD_TESTS=ON -DVYR_SANITIZE=ON \
    -DVYR_STORE_ROOT="$store_root"
cmake --build build-test
ctest --test-dir build-test --output-on-failure

echo "== system trust, in a private mount namespace (the only build with the step on)"
tests/e2e/system-trust.sh . build-trust /tmp/vyr-cert-installer-tests || { status=$?; [ "$status" = 77 ] || exit "$status"; }

echo "== the Debian packages: built and linted, played onto a fresh Debian host, the menu entry and its polkit action"
debs=$(scripts/build-deb.sh)
# Two builds of one file byte for byte; diffoscope says where not.
same_file() {
    cmp -s "$1" "$2" && return 0
    diffoscope --text - "$1" "$2" 2>&1 | head -n 60 >&2 || true
    echo "FAIL: $(basename "$2") rebuilt to other bytes ($3)" >&2
    exit 1
}
# Each package of the first folder byte for byte in the second.
same_bytes() {
    local deb
    for deb in "$1"/*.deb; do same_file "$deb" "$2/$(basename "$deb")" "$3"; done
}
# The same from the tree as a release tarball has it, without .git, in
# another folder, with the files' times of the tarball, in another time zone
# and umask: the same packages, byte for byte.
tarball=/tmp/vyr-cert-installer-tests/tarball-tree
rm -rf "$tarball" && mkdir -p "$tarball" && git archive HEAD | tar -x -C "$tarball"
[ "$(cd "$tarball" && umask 002 && TZ=Pacific/Kiritimati scripts/build-deb.sh | xargs -n1 basename)" \
  = "$(xargs -n1 basename <<< "$debs")" ] \
    || { echo "FAIL: the packages could not be built from a tree without .git" >&2; exit 1; }
same_bytes "$(dirname "$(head -n 1 <<< "$debs")")" "$tarball/build-deb" "a tree without .git, elsewhere"
# An organisation's release under a version of its own, built twice at two
# times: the same bytes again.
again=/tmp/vyr-cert-installer-tests/tarball-tree-again
rm -rf "$again" && cp -a "$tarball" "$again"
(cd "$tarball" && scripts/build-deb.sh --version 1.0.1 > /dev/null)
sleep 1
(cd "$again" && TZ=Asia/Kathmandu scripts/build-deb.sh --version 1.0.1 > /dev/null)
same_bytes "$tarball/build-deb" "$again/build-deb" "version 1.0.1, built twice"
tests/e2e/debian-host.sh play "$(grep '/vyr-cert-installer-cli_[^/]*\.deb$' <<< "$debs")"
tests/e2e/desktop-entry.sh "$(grep '/vyr-cert-installer_[^/]*\.deb$' <<< "$debs")"

echo "== the fleet's report: the report play over three fresh hosts and one that cannot be reached"
tests/e2e/debian-host.sh fleet "$(grep '/vyr-cert-installer-cli_[^/]*\.deb$' <<< "$debs")"

echo "== the organisation's signed apt repository: two releases of vyr-ca-trust served to a fresh Debian host"
tests/e2e/debian-host.sh repository

echo "== an organisation's own release: another bundle folder (two certificates retired, a root with ten days left) under version 1.1.0"
tests/e2e/organisation-release.sh /tmp/vyr-cert-installer-tests/second-release build-test/tests/testdata/tendays.pem

echo "== the Windows program: Qt for Windows from Debian's source (cached), the static .exe, signed"
# Signed with a throwaway chain made now; the Wine tests below run the signed .exe.
signing=/tmp/vyr-cert-installer-tests/signing
tests/wine/signing.sh chain "$signing"
time scripts/release-windows.sh --certs "$signing/chain.pem" --key "$signing/leaf.key"
tests/wine/signing.sh verify build-windows/release "$signing"
# Qt is built for size (9.4 MB, from 17.6); nobody gives the saving back unnoticed.
exe_size=$(stat -c %s build-windows/release/vyr-cert-installer.exe)
[ "$exe_size" -le 10000000 ] || { echo "FAIL: vyr-cert-installer.exe is $exe_size bytes, more than 10 MB" >&2; exit 1; }
# Rebuilt unsigned from the tree without .git, elsewhere, later, in another
# time zone and umask: the same .exe as the release's once its signature is
# removed, and the same MSI around it.
(cd "$tarball" && umask 002 && TZ=Pacific/Kiritimati scripts/release-windows.sh > /dev/null 2>&1) \
    || { echo "FAIL: the Windows release could not be built from a tree without .git" >&2; exit 1; }
rebuilt=/tmp/vyr-cert-installer-tests/windows-rebuilt
rm -rf "$rebuilt" && mkdir -p "$rebuilt"
osslsigncode remove-signature -in build-windows/release/vyr-cert-installer.exe -out "$rebuilt/vyr-cert-installer.exe" > /dev/null
same_file "$rebuilt/vyr-cert-installer.exe" "$tarball/build-windows/release/vyr-cert-installer.exe" \
    "the signed release without its signature, and an unsigned rebuild"
msi=$(cd build-windows/release && ls vyr-cert-installer-*.msi)
scripts/make-msi.sh "$rebuilt/vyr-cert-installer.exe" "$(sed 's/^vyr-cert-installer-\(.*\)\.msi$/\1/' <<< "$msi")" "$rebuilt/$msi"
same_file "$rebuilt/$msi" "$tarball/build-windows/release/$msi" "the MSI around the same program, built twice"
echo "the Windows release rebuilt elsewhere: $(cut -c1-16 <<< "$(sha256sum < "$rebuilt/vyr-cert-installer.exe")") the .exe, $(cut -c1-16 <<< "$(sha256sum < "$rebuilt/$msi")") the MSI, both times"

echo "== under Wine: the CryptoAPI sequences, the manifest, the real program's window and verbs, the MSI, the signature trusted through the program's own --install"
cmake -S tests/wine -B build-wine -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DVYR_WINDOWS_EXE="$PWD/build-windows/release/vyr-cert-installer.exe" \
    -DVYR_LATER_EXE=/tmp/vyr-cert-installer-tests/second-release/vyr-cert-installer-1.1.0.exe \
    -DVYR_LATER_CERTS=/tmp/vyr-cert-installer-tests/second-release/bundle/Cert
cmake --build build-wine
ctest --test-dir build-wine --output-on-failure -j1
tests/wine/authenticode.sh build-wine/trust_probe.exe "$signing" /tmp/vyr-cert-installer-tests/authenticode

echo "== fuzzing"
cmake -S tests/fuzz -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVYR_FUZZ_SECONDS="${VYR_FUZZ_SECONDS:-60}"
cmake --build build-fuzz
ctest --test-dir build-fuzz --output-on-failure
