#!/usr/bin/env bash
# The organisation's own signed apt repository, in one command: the packages
# of a release (built here from a bundle folder, or taken from --debs) and
# vyr-archive-keyring (the public key, the source entry, the
# unattended-upgrades drop-in), published with reprepro into one folder,
# suite "stable", signed with an Ed25519 key. A later release into the same
# folder replaces the earlier one: reprepro keeps one version per package.
# The folder is what a web server publishes (conf/ and db/ are reprepro's
# state, kept for the next release); vyr-archive-keyring.deb at its top is
# what each machine installs once by hand, vyr-archive-keyring.gpg what the
# play takes (both to be fetched from where the organisation trusts them).
# Without --key a new signing key is made and left beside the folder, never
# in it; every later release must be signed with the same one.
# Usage: scripts/build-apt-repo.sh [--bundle DIR] [--version X.Y.Z] --url URL --out DIR
#            [--key KEYFILE] [--debs DIR]
set -euo pipefail
usage() {
    echo "usage: $0 [--bundle DIR] [--version X.Y.Z] --url URL --out DIR [--key KEYFILE] [--debs DIR]" >&2
    exit 2
}
# Published once, these can never change: apt refuses a repository whose
# Origin or Label moved, on every machine, until a person says yes.
origin="Vyr Trust Services" label="Vyr CA certificates" suite=stable codename=stable
key="" url="" out="" debs=""
. "$(dirname "$0")/release-options.sh"
options=()
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    if vyr_release_option "$1" "$2"; then
        options+=("$1" "$2")
    else
        case $1 in
        --key) key=$(realpath "$2") ;;
        --url) url=${2%/} ;;
        --out) out=$(realpath -m "$2") ;;
        --debs) debs=$(realpath "$2") ;;
        *) usage ;;
        esac
    fi
    shift 2
done
[ -n "$url" ] && [ -n "$out" ] || usage
[ -z "$debs" ] || [ -z "$bundle" ] || usage
# The URL goes into every machine's sources: one that apt cannot parse stops
# every apt command there, the one that would remove it included, and a line
# break would add fields of its own (Trusted: yes).
[[ $url =~ ^https?://[^[:space:][:cntrl:]/]+(/[^[:space:][:cntrl:]]*)?$ ]] \
    || { echo "$0: --url must be an http:// or https:// URL without spaces or control characters, not '$url'" >&2; exit 2; }
vyr_release_version
# The secret key is imported into a folder beside the repository, never a
# shared temporary one; a run killed outright leaves it there, with its
# agent, and the next run takes both away first.
work=$(dirname "$out")/.$(basename "$out").work
forget_key() { gpgconf --homedir "$work/gnupg" --kill all 2> /dev/null || true; rm -rf "$work"; }
forget_key
trap forget_key EXIT
(umask 077 && mkdir -p "$work")
# Machines trust only the key they were given: a release signed by another
# one would stop every machine's updates.
signed_with=$(sed -n 's/^SignWith: //p' "$out/conf/distributions" 2> /dev/null || true)
[ -z "$signed_with" ] || [ -n "$key" ] || { echo "$0: $out is signed by $signed_with: give its key as --key" >&2; exit 1; }
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing repo

if [ -z "$debs" ]; then
    scripts/build-deb.sh "${options[@]}" > /dev/null
    debs=$PWD/build-deb
fi
packages=()
for deb in "$debs"/*.deb; do
    case $deb in *-dbgsym_*) continue ;; esac
    packages+=("$deb")
done
[ "${#packages[@]}" -gt 0 ] && [ -e "${packages[0]}" ] || { echo "$0: no packages in $debs" >&2; exit 1; }
# Each package read whole before anything is published: reprepro reads a
# package's control part only, and would publish one cut short.
for deb in "${packages[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" > /dev/null 2>&1 && dpkg-deb -f "$deb" Package > /dev/null 2>&1 \
        || { echo "$0: $deb is not a whole package" >&2; exit 1; }
done
# The packages' own version, which --debs may bring.
version=$(dpkg-deb -f "${packages[0]}" Version)
# What this folder published: a release is never older than it, and the
# same version keeps its URL.
published() {
    reprepro --basedir "$out" --list-format '${version}\n' listfilter "$codename" "Package (== $1)" 2> /dev/null || true
}
if [ -d "$out/db" ]; then
    earlier=$(published vyr-ca-trust)
    if [ -n "$earlier" ] && dpkg --compare-versions "$version" lt "$earlier"; then
        echo "$0: $out publishes $earlier; $version is older: give a later version" >&2
        exit 2
    fi
    earlier_url=$(dpkg-deb -f "$out/vyr-archive-keyring.deb" Description 2> /dev/null | sed -n 's/^ The repository: //p')
    if [ -n "$earlier" ] && [ "$version" = "$earlier" ] && [ -n "$earlier_url" ] && [ "$earlier_url" != "$url" ]; then
        echo "$0: $out publishes $version for $earlier_url; a new URL needs a new version" >&2
        exit 2
    fi
fi

arch=$(dpkg --print-architecture)

export GNUPGHOME=$work/gnupg
mkdir -m 0700 "$GNUPGHOME"
if [ -n "$key" ]; then
    gpg --batch --quiet --import "$key" 2> /dev/null || { echo "$0: $key is no secret key gpg can read" >&2; exit 1; }
else
    key=$(dirname "$out")/$(basename "$out")-signing-key.asc
    [ ! -e "$key" ] || { echo "$0: $key exists: give it as --key" >&2; exit 1; }
    gpg --batch --quiet --passphrase '' --quick-gen-key "$origin archive <pki@vyr.ro>" ed25519 sign never 2> /dev/null
    (umask 077 && gpg --batch --armor --export-secret-keys > "$key")
    echo "made a new signing key: $key (keep it secret; give it as --key for every later release)" >&2
fi
fingerprint=$(gpg --batch --with-colons --list-secret-keys 2> /dev/null | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fingerprint" ] || { echo "$0: $key holds no secret key" >&2; exit 1; }

# vyr-archive-keyring: what a machine needs to take the repository, and
# unattended-upgrades to upgrade from it.
stage=$work/keyring
mkdir -p "$stage/DEBIAN" "$stage/usr/share/keyrings" "$stage/etc/apt/sources.list.d" \
    "$stage/etc/apt/apt.conf.d" "$stage/usr/share/doc/vyr-archive-keyring"
gpg --batch --export "$fingerprint" > "$stage/usr/share/keyrings/vyr-archive-keyring.gpg"
cat > "$stage/etc/apt/sources.list.d/vyr.sources" << EOF
Types: deb
URIs: $url
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/vyr-archive-keyring.gpg
EOF
cat > "$stage/etc/apt/apt.conf.d/51vyr-unattended-upgrades" << EOF
// From vyr-archive-keyring: unattended-upgrades takes this repository's releases.
Unattended-Upgrade::Origins-Pattern:: "origin=$origin,label=$label";
EOF
printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n\nFiles: *\nCopyright: %s Vyr Trust Services <pki@vyr.ro>\nLicense: public-domain\n The public key and the two configuration files may be copied freely.\n' \
    "$(date +%Y)" > "$stage/usr/share/doc/vyr-archive-keyring/copyright"
# Its whole purpose is the source entry, which Debian's own packages leave to the administrator.
mkdir -p "$stage/usr/share/lintian/overrides"
printf '# The organisation'"'"'s keyring package exists to add its repository.\npackage-installs-apt-sources [etc/apt/sources.list.d/vyr.sources]\n' \
    > "$stage/usr/share/lintian/overrides/vyr-archive-keyring"
printf 'vyr-archive-keyring (%s) stable; urgency=medium\n\n  * Release %s.\n\n -- Vyr Trust Services <pki@vyr.ro>  %s\n' \
    "$version" "$version" "$(date -R)" | gzip -9n > "$stage/usr/share/doc/vyr-archive-keyring/changelog.gz"
printf '/etc/apt/sources.list.d/vyr.sources\n/etc/apt/apt.conf.d/51vyr-unattended-upgrades\n' > "$stage/DEBIAN/conffiles"
cat > "$stage/DEBIAN/control" << EOF
Package: vyr-archive-keyring
Version: $version
Architecture: all
Maintainer: Vyr Trust Services <pki@vyr.ro>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Section: misc
Priority: optional
Multi-Arch: foreign
Description: signing key and source of Vyr Systems' apt repository
 The public key that signs the organisation's repository, its source
 entry (deb822, Signed-By that key only) and an unattended-upgrades drop-in
 that takes its releases. Then: apt install vyr-ca-trust.
 .
 The repository: $url
EOF
(cd "$stage" && find usr -type f -exec md5sum {} + > DEBIAN/md5sums)
keyring_deb=$work/vyr-archive-keyring_${version}_all.deb
dpkg-deb --root-owner-group --build "$stage" "$keyring_deb" > /dev/null

[ -z "$signed_with" ] || [ "$signed_with" = "$fingerprint" ] \
    || { echo "$0: $out is signed by $signed_with, not by $key: give that key as --key" >&2; exit 1; }
mkdir -p "$out/conf"
cat > "$out/conf/distributions" << EOF
Origin: $origin
Label: $label
Suite: $suite
Codename: $codename
Architectures: $arch
Components: main
Description: Vyr Systems' CA certificates
SignWith: $fingerprint
EOF
# The same version again (a rerun) keeps what was published: the packages
# are the same files, the keyring package of that version stays as it was.
if [ -n "$(reprepro --basedir "$out" listfilter "$codename" \
          "Package (== vyr-archive-keyring), Version (== $version)" 2> /dev/null)" ]; then
    keyring_deb=$(reprepro --basedir "$out" --list-format '${$fullfilename}\n' listfilter "$codename" \
                  "Package (== vyr-archive-keyring)")
fi
for deb in "${packages[@]}" "$keyring_deb"; do
    # Nothing is exported until every package is in, and no published file
    # leaves the pool before then: a run killed between two leaves the
    # published repository as it was.
    reprepro --silent --export=never --keepunreferencedfiles --basedir "$out" includedeb "$codename" "$deb"
done
reprepro --silent --basedir "$out" export "$codename"
reprepro --silent --basedir "$out" deleteunreferenced
cp "$keyring_deb" "$out/vyr-archive-keyring.deb"
cp "$stage/usr/share/keyrings/vyr-archive-keyring.gpg" "$out/vyr-archive-keyring.gpg"
echo "$out: $origin, $suite, $version, signed by $fingerprint"
