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
# in it; every later release must be signed with the keys in use.
# Keys rotate in two steps, each a keyring release of its own: --add-key
# signs with the next key beside the one in use (made if its file is
# missing), and the keyring then holds both; --retire-key, once every machine
# has that keyring, signs with the next key alone. --status names each key in
# use and its days to expiry, failing below 180.
# Usage: scripts/build-apt-repo.sh [--bundle DIR] [--version X.Y.Z] --url URL --out DIR
#            [--key KEYFILE]... [--debs DIR] [--key-life 5y]
#        scripts/build-apt-repo.sh --add-key NEXTKEYFILE --key KEYFILE --url URL --out DIR [--key-life 5y]
#        scripts/build-apt-repo.sh --retire-key OLDKEYFILE --key NEXTKEYFILE --url URL --out DIR
#        scripts/build-apt-repo.sh --status --out DIR
set -euo pipefail
usage() {
    cat >&2 << EOF
usage: $0 [--bundle DIR] [--version X.Y.Z] --url URL --out DIR [--key KEYFILE]... [--debs DIR] [--key-life 5y]
       $0 --add-key NEXTKEYFILE --key KEYFILE --url URL --out DIR [--key-life 5y]
       $0 --retire-key OLDKEYFILE --key NEXTKEYFILE --url URL --out DIR
       $0 --status --out DIR
EOF
    exit 2
}
# Published once, these can never change: apt refuses a repository whose
# Origin or Label moved, on every machine, until a person says yes.
origin="Vyr Trust Services" label="Vyr CA certificates" suite=stable codename=stable
keys=() url="" out="" debs="" add="" retire="" life=5y status=false
. "$(dirname "$0")/release-options.sh"
options=()
while [ $# -gt 0 ]; do
    if [ "$1" = --status ]; then status=true && shift && continue; fi
    [ $# -ge 2 ] || usage
    if vyr_release_option "$1" "$2"; then
        options+=("$1" "$2")
    else
        case $1 in
        --key) keys+=("$(realpath "$2")") ;;
        --add-key) add=$(realpath -m "$2") ;;
        --retire-key) retire=$(realpath "$2") ;;
        --key-life) life=$2 ;;
        --url) url=${2%/} ;;
        --out) out=$(realpath -m "$2") ;;
        --debs) debs=$(realpath "$2") ;;
        *) usage ;;
        esac
    fi
    shift 2
done
[ -n "$out" ] || usage
# A key that never expires cannot be told apart from one forgotten.
[[ $life =~ ^[1-9][0-9]*[dwmy]$ ]] || { echo "$0: --key-life reads a number and d, w, m or y (5y), not '$life'" >&2; exit 2; }
published_keyring=$out/vyr-archive-keyring.gpg

# The fingerprint, expiry (a Unix time, or empty) and user of each primary key in a key file.
key_facts() {
    { gpg --batch --with-colons --show-keys "$1" 2> /dev/null || true; } \
        | awk -F: '$1 == "pub" || $1 == "sec" { expires = $7; want = 1; next }
                   $1 == "fpr" && want { fpr = $10; want = 0 }
                   $1 == "uid" && fpr != "" { print fpr ":" expires ":" $10; fpr = "" }'
}

# gpg and reprepro first, as a new machine has neither.
cd "$(dirname "$0")/.."
. scripts/deps.sh
vyr_install_missing repo

if $status; then
    [ -z "$url$debs$add$retire${keys[*]}${options[*]}" ] || usage
    [ -s "$published_keyring" ] || { echo "$0: $out publishes no keyring" >&2; exit 2; }
    export GNUPGHOME=$(mktemp -d)
    trap 'rm -rf "$GNUPGHOME"' EXIT
    now=$(date +%s) short=0
    while IFS=: read -r fpr expires user; do
        if [ -z "$expires" ]; then
            echo "key $fpr never expires ($user)"
            continue
        fi
        days=$(( (expires - now) / 86400 ))
        echo "key $fpr expires $(date -u -d "@$expires" +%F) ($days days; $user)"
        [ "$days" -ge 180 ] || short=1
    done < <(key_facts "$published_keyring")
    [ "$short" = 0 ] || echo "$0: a key expires within 180 days: add the next one (--add-key), then retire it (--retire-key)" >&2
    exit "$short"
fi
[ -n "$url" ] || usage
[ -z "$debs" ] || [ -z "$bundle" ] || usage
[ -z "$add" ] || [ -z "$retire" ] || usage
# A key step publishes the keyring alone.
[ -z "$add$retire" ] || [ -z "$debs$bundle$version" ] || usage
# The URL goes into every machine's sources: one that apt cannot parse stops
# every apt command there, the one that would remove it included, and a line
# break would add fields of its own (Trusted: yes).
[[ $url =~ ^https?://[^[:space:][:cntrl:]/]+(/[^[:space:][:cntrl:]]*)?$ ]] \
    || { echo "$0: --url must be an http:// or https:// URL without spaces or control characters, not '$url'" >&2; exit 2; }
vyr_release_version
# The secret keys are imported into a folder beside the repository, never a
# shared temporary one; a run killed outright leaves it there, with its
# agent, and the next run takes both away first.
work=$(dirname "$out")/.$(basename "$out").work
forget_key() { gpgconf --homedir "$work/gnupg" --kill all 2> /dev/null || true; rm -rf "$work"; }
forget_key
trap forget_key EXIT
(umask 077 && mkdir -p "$work")
export GNUPGHOME=$work/gnupg
mkdir -m 0700 "$GNUPGHOME"
refuse() { echo "$0: $*; nothing was published" >&2; exit 2; }

# The keys in use are the ones machines were given; an earlier folder
# without a keyring of its own names its one key in reprepro's settings.
in_use=()
if [ -s "$published_keyring" ]; then
    mapfile -t in_use < <(key_facts "$published_keyring" | cut -d: -f1)
elif [ -e "$out/conf/distributions" ]; then
    read -ra in_use < <(sed -n 's/^SignWith: //p' "$out/conf/distributions")
fi
given=()
for file in "${keys[@]}"; do
    gpg --batch --quiet --import "$file" 2> /dev/null && [ -n "$(gpg --batch --with-colons --show-keys "$file" 2> /dev/null | grep '^sec')" ] \
        || { echo "$0: $file is no secret key gpg can read" >&2; exit 1; }
    given+=($(key_facts "$file" | cut -d: -f1))
done
holds() { local want=$1 item; shift; for item in "$@"; do [ "$item" = "$want" ] && return 0; done; return 1; }
for fpr in "${given[@]}"; do
    [ "${#in_use[@]}" = 0 ] || holds "$fpr" "${in_use[@]}" \
        || refuse "$fpr is not a key of $out (signed by ${in_use[*]}): --add-key adds one"
done
if [ -n "$add" ]; then
    [ "${#in_use[@]}" -gt 0 ] || refuse "$out has no key yet: its first release makes one"
    [ "${#in_use[@]}" = 1 ] || refuse "$out is signed by ${in_use[*]} already: retire one (--retire-key) before adding another"
    if [ -e "$add" ]; then
        gpg --batch --quiet --import "$add" 2> /dev/null && [ -n "$(gpg --batch --with-colons --show-keys "$add" 2> /dev/null | grep '^sec')" ] \
            || { echo "$0: $add is no secret key gpg can read" >&2; exit 1; }
        next=$(key_facts "$add" | cut -d: -f1)
        ! holds "$next" "${in_use[@]}" || refuse "$next is in use already"
    fi
fi
if [ -n "$retire" ]; then
    old=$(key_facts "$retire" | cut -d: -f1)
    [ -n "$old" ] || { echo "$0: $retire holds no key gpg can read" >&2; exit 1; }
    [ "${#in_use[@]}" -gt 0 ] && holds "$old" "${in_use[@]}" || refuse "$old is not a key of $out (signed by ${in_use[*]})"
    [ "${#in_use[@]}" -gt 1 ] \
        || refuse "$old is the only key of $out: add the next one first (--add-key), and retire this once every machine holds both"
fi

# A run killed part-way left reprepro's state with what it had included: a
# later export would publish half a release. The state from before that run
# comes back first, and the files it had added to the pool go.
snapshot=$out/.state-before
if [ -d "$snapshot" ]; then
    rm -rf "$out/db"
    [ ! -d "$snapshot/db" ] || cp -a "$snapshot/db" "$out/db"
    (cd "$out" && find pool -type f 2> /dev/null | sort | comm -13 "$snapshot/pool-files" - | xargs -r rm -f --)
    rm -rf "$snapshot"
fi

# What this folder published: a release is never older than it, and the
# same version keeps its URL.
published() {
    reprepro --basedir "$out" --list-format "\${$2}\n" listfilter "$codename" "Package (== $1)" 2> /dev/null || true
}
if [ -n "$add$retire" ]; then
    trust_deb=$(published vyr-ca-trust '$fullfilename')
    [ -n "$trust_deb" ] || refuse "$out publishes no release to rotate the keys of"
fi

# A new key, kept secret beside the repository, never in it.
make_key() {
    local file=$1 fpr
    [ ! -e "$file" ] || { echo "$0: $file exists: give it as --key" >&2; exit 1; }
    # Named by the year it was made, for telling two apart in --status.
    gpg --batch --quiet --yes --passphrase '' --quick-gen-key "$origin archive ($(date -u +%Y)) <pki@vyr.ro>" \
        ed25519 sign "$life" 2> /dev/null
    fpr=$(gpg --batch --with-colons --list-secret-keys 2> /dev/null | awk -F: '$1 == "fpr" { print $10 }' \
          | while read -r f; do holds "$f" "${in_use[@]}" "${given[@]}" || echo "$f"; done | head -n 1)
    [ -n "$fpr" ] || { echo "$0: gpg made no key" >&2; exit 1; }
    (umask 077 && gpg --batch --armor --export-secret-keys "$fpr" > "$file")
    echo "made a new signing key: $file (keep it secret; give it as --key for every later release)" >&2
    echo "$fpr"
}
if [ -n "$add" ] && [ -z "${next:-}" ]; then
    next=$(make_key "$add") || exit 1
fi
# The keys machines are given after this run, and the ones it signs with.
after=("${in_use[@]}")
if [ "${#in_use[@]}" = 0 ]; then
    if [ "${#given[@]}" = 0 ]; then
        first=$(make_key "$(dirname "$out")/$(basename "$out")-signing-key.asc") || exit 1
        given=("$first")
    fi
    after=("${given[@]}")
fi
[ -z "$add" ] || after+=("$next")
if [ -n "$retire" ]; then
    after=()
    for fpr in "${in_use[@]}"; do [ "$fpr" = "$old" ] || after+=("$fpr"); done
fi
now=$(date +%s) signers=()
for fpr in "${after[@]}"; do
    facts=$({ gpg --batch --with-colons --list-secret-keys "$fpr" 2> /dev/null || true; } | awk -F: '$1 == "sec" { print $2 ":" $7; exit }')
    if [ -z "$facts" ]; then
        # An expired key cannot sign, and every machine holding another key
        # takes the repository still.
        expires=$(key_facts "$published_keyring" | awk -F: -v f="$fpr" '$1 == f { print $2 }')
        if [ -n "$expires" ] && [ "$expires" -le "$now" ]; then
            echo "$0: warning: $fpr expired on $(date -u -d "@$expires" +%F) and signs nothing; retire it (--retire-key)" >&2
            continue
        fi
        refuse "$out is signed by ${after[*]}: give the secret key of $fpr as --key too"
    fi
    if [ "${facts%%:*}" = e ] || { [ -n "${facts#*:}" ] && [ "${facts#*:}" -le "$now" ]; }; then
        echo "$0: warning: $fpr has expired and signs nothing; retire it (--retire-key)" >&2
        continue
    fi
    signers+=("$fpr")
done
[ "${#signers[@]}" -gt 0 ] || refuse "every key of $out has expired: no machine would take a release"

packages=()
if [ -n "$add$retire" ]; then
    # A key step's keyring follows the release it stands beside: 1.2.0+keys1, then 1.2.0+keys2.
    keyring_version=$(published vyr-archive-keyring version)
    steps=0
    [[ $keyring_version != *+keys* ]] || steps=${keyring_version##*+keys}
    version=${keyring_version%+keys*}+keys$((steps + 1))
else
    if [ -z "$debs" ]; then
        scripts/build-deb.sh "${options[@]}" > /dev/null
        debs=$PWD/build-deb
    fi
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
    trust_deb=$(printf '%s\n' "${packages[@]}" | grep '/vyr-ca-trust_[^/]*\.deb$' || echo "${packages[0]}")
    if [ -d "$out/db" ]; then
        earlier=$(published vyr-ca-trust version)
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
fi
# The keyring's times are its release's own, so that it rebuilds to the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(date -u +%s -d "$(dpkg-deb --fsys-tarfile "$trust_deb" | tar -t -v --full-time --utc \
                         | awk '{ print $4 " " $5 }' | sort | tail -n 1) UTC")
fi
export SOURCE_DATE_EPOCH

arch=$(dpkg --print-architecture)

# vyr-archive-keyring: what a machine needs to take the repository, and
# unattended-upgrades to upgrade from it; every key in use.
stage=$work/keyring
mkdir -p "$stage/DEBIAN" "$stage/usr/share/keyrings" "$stage/etc/apt/sources.list.d" \
    "$stage/etc/apt/apt.conf.d" "$stage/usr/share/doc/vyr-archive-keyring"
gpg --batch --export "${after[@]}" > "$stage/usr/share/keyrings/vyr-archive-keyring.gpg"
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
printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n\nFiles: *\nCopyright: %s Vyr Trust Services <pki@vyr.ro>\nLicense: public-domain\n The public keys and the two configuration files may be copied freely.\n' \
    "$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y)" > "$stage/usr/share/doc/vyr-archive-keyring/copyright"
# Its whole purpose is the source entry, which Debian's own packages leave to the administrator.
mkdir -p "$stage/usr/share/lintian/overrides"
printf '# The organisation'"'"'s keyring package exists to add its repository.\npackage-installs-apt-sources [etc/apt/sources.list.d/vyr.sources]\n' \
    > "$stage/usr/share/lintian/overrides/vyr-archive-keyring"
if [ -n "$add$retire" ]; then change="Signed by ${after[*]}."; else change="Release $version."; fi
printf 'vyr-archive-keyring (%s) stable; urgency=medium\n\n  * %s\n\n -- Vyr Trust Services <pki@vyr.ro>  %s\n' \
    "$version" "$change" "$(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")" \
    | gzip -9n > "$stage/usr/share/doc/vyr-archive-keyring/changelog.gz"
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
Description: signing keys and source of Vyr Systems' apt repository
 The public keys that sign the organisation's repository, its source
 entry (deb822, Signed-By those keys only) and an unattended-upgrades drop-in
 that takes its releases. Then: apt install vyr-ca-trust.
 .
 The repository: $url
EOF
(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k 2 > DEBIAN/md5sums)
chmod -R u=rwX,go=rX "$stage"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
keyring_deb=$work/vyr-archive-keyring_${version}_all.deb
dpkg-deb --root-owner-group --build "$stage" "$keyring_deb" > /dev/null

# From here until the end, the state before this run is kept for the next
# run to put back.
rm -rf "$snapshot.part" && mkdir -p "$snapshot.part"
[ ! -d "$out/db" ] || cp -a "$out/db" "$snapshot.part/db"
(cd "$out" && find pool -type f 2> /dev/null | sort) > "$snapshot.part/pool-files" || true
mv "$snapshot.part" "$snapshot"
mkdir -p "$out/conf"
cat > "$out/conf/distributions" << EOF
Origin: $origin
Label: $label
Suite: $suite
Codename: $codename
Architectures: $arch
Components: main
Description: Vyr Systems' CA certificates
SignWith: ${signers[*]}
Signed-By: $(IFS=,; echo "${after[*]}")
EOF
# The same version again (a rerun) keeps what was published: the packages
# are the same files, the keyring package of that version (or of a key step
# beside it) stays as it was.
published_version=$(published vyr-archive-keyring version)
if [ -z "$add$retire" ] && [ -n "$published_version" ] && dpkg --compare-versions "$published_version" ge "$version"; then
    keyring_deb=$(published vyr-archive-keyring '$fullfilename')
fi
for deb in "${packages[@]}" "$keyring_deb"; do
    # Nothing is exported until every package is in, and no published file
    # leaves the pool before then: a run killed between two leaves the
    # published repository as it was.
    reprepro --silent --export=never --keepunreferencedfiles --basedir "$out" includedeb "$codename" "$deb"
done
reprepro --silent --basedir "$out" export "$codename"
reprepro --silent --basedir "$out" deleteunreferenced
# The keyring last, each file whole: until it is in place the keys in use
# are the earlier ones, and a rerun finishes the step.
dpkg-deb --fsys-tarfile "$keyring_deb" | tar -xO ./usr/share/keyrings/vyr-archive-keyring.gpg > "$work/keyring.gpg"
cp "$keyring_deb" "$out/.vyr-archive-keyring.deb" && mv "$out/.vyr-archive-keyring.deb" "$out/vyr-archive-keyring.deb"
cp "$work/keyring.gpg" "$out/.vyr-archive-keyring.gpg" && mv "$out/.vyr-archive-keyring.gpg" "$published_keyring"
rm -rf "$snapshot"
echo "$out: $origin, $suite, $(published vyr-ca-trust version), keyring $(published vyr-archive-keyring version), signed by ${signers[*]}"
