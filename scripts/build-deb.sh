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
lintian --fail-on error,warning "$out"/*.changes >&2
ls "$out"/*.deb
