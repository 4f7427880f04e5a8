#!/usr/bin/env bash
# Builds the two Debian packages from this tree with debhelper, in a copy of
# the tree (dpkg-buildpackage writes beside the source), and lints them.
# Leaves vyr-cert-installer-cli_*.deb and vyr-cert-installer_*.deb in
# build-deb/ with their SHA256SUMS, and prints their paths. Given a bundle folder, the packages carry
# its certificates; given a version, they take it, through a changelog entry
# made in the copy for this build when it is not the changelog's own.
# Usage: scripts/build-deb.sh [--bundle <folder>] [--version <x.y.z>]
set -euo pipefail
usage() { echo "usage: $0 [--bundle <folder>] [--version <x.y.z>]" >&2; exit 2; }
. "$(dirname "$0")/release-options.sh"
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] && vyr_release_option "$1" "$2" || usage
    shift 2
done
vyr_release_version
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing deb
out=$PWD/build-deb
rm -rf "$out" && mkdir -p "$out/src"
# A clone copies what git knows; an unpacked release tree (no .git) copies
# everything but the build folders.
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git ls-files -co --exclude-standard -z | grep -zv '^build' | xargs -0 tar -cf - | tar -xf - -C "$out/src"
else
    tar --exclude='./build*' -cf - . | tar -xf - -C "$out/src"
fi
[ -f "$out/src/debian/control" ] || { echo "$0: no source tree to build from in $PWD" >&2; exit 1; }
changelog=$out/src/debian/changelog
# The changelog's last entry is the tree's version; another one gets an entry
# of its own, dated from the tree (a second after the tree's entry, in UTC),
# never from the clock: dpkg takes the packages' time (SOURCE_DATE_EPOCH)
# from it, so a release rebuilds to the same bytes.
if [ "$version" != "$(dpkg-parsechangelog -l "$changelog" -S Version)" ]; then
    maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' "$changelog" | head -n 1)
    { printf 'vyr-cert-installer (%s) unstable; urgency=medium\n\n' "$version"
      printf '  * Release %s, built from the bundle folder %s.\n\n' "$version" "$(basename "${bundle:-resources}")"
      printf ' -- %s  %s\n\n' "$maintainer" "$(TZ=UTC date -R -d "@$(( $(dpkg-parsechangelog -l "$changelog" -S Timestamp) + 1 ))")"
      cat "$changelog"; } > "$changelog.new"
    mv "$changelog.new" "$changelog"
fi
export VYR_BUNDLE_DIR=$bundle
# The bundle's check speaks first: its errors stop the build, its warnings are shown.
bundle_lines() { grep -E '/(Cert/[^ ]*|Json/Settings\.json): (error|warning): ' "$out/build.log" >&2; }
(cd "$out/src" && dpkg-buildpackage -b -us -uc > "$out/build.log" 2>&1) \
    || { bundle_lines || tail -n 40 "$out/build.log" >&2; exit 1; }
bundle_lines || true
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
# What a rebuild elsewhere is compared with.
(cd "$out" && sha256sum -- *.deb > SHA256SUMS)
ls "$out"/*.deb
