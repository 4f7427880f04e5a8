#!/usr/bin/env bash
# Builds the MSI around one vyr-cert-installer.exe (deploy/msi/vyr-cert-installer.wxs)
# with wixl, then gives the rollback action the type wixl does not write
# (3410: an .exe from the installed file, in the script, on rollback only,
# not impersonated, its exit code ignored).
# Usage: scripts/make-msi.sh <vyr-cert-installer.exe> <version> <out.msi>
set -euo pipefail
exe=$(realpath "$1") version=$2 out=$(realpath "$3")
wxs=$(cd "$(dirname "$0")/../deploy/msi" && pwd)/vyr-cert-installer.wxs
# wixl takes sources relative to the .wxs file only.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$wxs" "$work/" && cp "$exe" "$work/vyr-cert-installer.exe"
rm -f "$out"
(cd "$work" && wixl -a x64 -D "Version=$version" -o "$out" vyr-cert-installer.wxs)
msibuild "$out" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'UndoCertificates'"
