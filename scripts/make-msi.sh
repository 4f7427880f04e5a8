#!/usr/bin/env bash
# Builds the MSI around one vyr-cert-installer.exe (deploy/msi/vyr-cert-installer.wxs)
# with wixl, then gives the rollback action the type wixl does not write
# (3410: an .exe from the installed file, in the script, on rollback only,
# not impersonated, its exit code ignored).
# The same .exe and version give the same bytes: the product and package
# codes are named from them (wixl would draw them at random), and the
# summary's Created and Last Saved, like the cabinet's file time, are
# SOURCE_DATE_EPOCH (by default the tree's changelog entry; wixl would take
# the clock), set through libmsi's GObject bindings (gir1.2-libmsi-1.0,
# apart from msitools).
# Usage: scripts/make-msi.sh <vyr-cert-installer.exe> <version> <out.msi>
set -euo pipefail
exe=$(realpath "$1") version=$2 out=$(realpath "$3")
# The release's time: the tree's, as scripts/release-windows.sh takes it.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l "$(dirname "$0")/../debian/changelog" -STimestamp)}
wxs=$(cd "$(dirname "$0")/../deploy/msi" && pwd)/vyr-cert-installer.wxs
# wixl takes sources relative to the .wxs file only.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$wxs" "$work/" && cp "$exe" "$work/vyr-cert-installer.exe"
touch -d "@$SOURCE_DATE_EPOCH" "$work/vyr-cert-installer.exe"
# A name-based UUID (RFC 4122, version 5) of what the package holds.
code() { /usr/bin/python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID("b14e0e6c-470b-44bd-83f7-07e5b8c0e627"), sys.argv[1])).upper())' "$1"; }
hash=$(sha256sum "$exe")
what="$version ${hash%% *}"
rm -f "$out"
product=$(code "product $what")
(cd "$work" && wixl -a x64 -D "Version=$version" -D "ProductCode=$product" -o "$out" vyr-cert-installer.wxs)
msibuild "$out" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'UndoCertificates'"
# Last, so that nothing saves the summary after it.
package=$(code "package $what")
/usr/bin/python3 - "$out" "$SOURCE_DATE_EPOCH" "$package" << 'PYTHON'
import sys
import gi
gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi
path, epoch, package = sys.argv[1], int(sys.argv[2]), sys.argv[3]
database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
summary = Libmsi.SummaryInfo.new(database, 3)
filetime = (epoch + 11644473600) * 10000000  # 100 ns since 1601
summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
summary.set_string(Libmsi.Property.UUID, package)
summary.persist()
database.commit()
PYTHON
