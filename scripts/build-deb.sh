#!/usr/bin/env bash
# Builds the two Debian packages from this tree with debhelper, in a copy of
# the tree (dpkg-buildpackage writes beside the source), and lints them.
# Leaves vyr-cert-installer-cli_*.deb and vyr-cert-installer_*.deb in
# build-deb/ and prints their paths. Usage: scripts/build-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing deb
out=$PWD/build-deb
rm -rf "$out" && mkdir -p "$out/src"
git ls-files -co --exclude-standard -z | grep -zv '^build' | xargs -0 tar -cf - | tar -xf - -C "$out/src"
(cd "$out/src" && dpkg-buildpackage -b -us -uc > "$out/build.log" 2>&1) \
    || { tail -n 40 "$out/build.log" >&2; exit 1; }
# Any error or warning fails the build; the overrides in debian/ say why.
# lintian unpacks what it checks and would rather not do that as root: as
# root, it reads a copy as nobody.
lint=$out as=()
if [ "$(id -u)" = 0 ]; then
    lint=$(mktemp -d /tmp/vyr-lint.XXXXXX)  # where nobody can reach it
    trap 'rm -rf "$lint"' EXIT
    cp "$out"/*.changes "$out"/*.buildinfo "$out"/*.deb "$lint"
    chown -R nobody: "$lint"
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$lint" TMPDIR="$lint")
fi
(cd "$lint" && "${as[@]}" lintian --fail-on error,warning ./*.changes >&2)
ls "$out"/*.deb
