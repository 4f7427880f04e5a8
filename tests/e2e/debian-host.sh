#!/usr/bin/env bash
# A fresh Debian 12 host, as a new user has one: debootstrap's minbase from
# the archive apt already uses, plus python3 and ca-certificates, cached once
# per machine as a tarball outside the repository and unpacked anew on a
# private tmpfs for each run. Every mount stays inside a private mount
# namespace; the host's /dev is never touched (debootstrap made its own nodes).
# Cases:
#   play <cli.deb>        the Linux play through Ansible's chroot connection:
#                         changed, --check finds all nine and the roots in the
#                         system bundle, no Qt Gui on the host, unchanged,
#                         then absent takes certificates, our files and the
#                         package away again
#   footprint <cli.deb> <window.deb>
#                         what apt pulls into the fresh host for each package
#                         (packages and MB installed, with --no-install-recommends)
# Usage: debian-host.sh <case> <args>; VYR_HOST_CACHE overrides the cache folder.
set -euo pipefail
case=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
playbooks=$(cd "$here/../../deploy/ansible" && pwd)
cache=${VYR_HOST_CACHE:-/var/cache/vyr-cert-installer}/bookworm-minbase.tar.gz
scratch=/tmp/vyr-cert-installer-tests/host
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }

make_cache() {
    [ -s "$cache" ] && return 0
    local mirror work
    mirror=$(apt-cache policy | awk '/ bookworm\/main / { print $2; exit }')
    [ -n "$mirror" ] || fail "apt knows no bookworm/main archive to bootstrap from"
    work=$(mktemp -d /var/tmp/vyr-host.XXXXXX)
    echo "debootstrap bookworm minbase from $mirror (once per machine)" >&2
    debootstrap --variant=minbase --include=python3,ca-certificates bookworm "$work/root" "$mirror" \
        > "$work/log" 2>&1 || { tail -n 20 "$work/log" >&2; rm -rf "$work"; fail "debootstrap failed"; }
    rm -rf "$work/root/var/cache/apt/archives/"*.deb
    mkdir -p "$(dirname "$cache")"
    tar -C "$work/root" -czf "$cache.part" . && mv "$cache.part" "$cache"
    rm -rf "$work"
}

# Runs "$@" in a private mount namespace with a fresh host unpacked at $root.
in_fresh_host() {
    mkdir -p "$scratch"
    unshare -m --propagation private bash -c '
        set -e
        root=$1 cache=$2
        shift 2
        mount -t tmpfs -o size=4g vyr-host "$root"
        tar -C "$root" -xzf "$cache"
        mount -t proc proc "$root/proc"
        cp /etc/resolv.conf "$root/etc/resolv.conf"
        # No service starts in a chroot.
        printf "#!/bin/sh\nexit 101\n" > "$root/usr/sbin/policy-rc.d" && chmod 0755 "$root/usr/sbin/policy-rc.d"
        export root
        "$@"
    ' - "$scratch" "$cache" "$@"
}

play_case() {
    local deb
    deb=$(realpath "$1")
    export VYR_PLAYBOOKS=$playbooks VYR_DEB=$deb VYR_OUT=$scratch.out
    export ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=0 HOME=/tmp/vyr-cert-installer-tests/host-home
    mkdir -p "$HOME"
    in_fresh_host bash -c '
        fail() { echo "FAIL: $*" >&2; exit 1; }
        play() { # expected number of changed tasks, extra variables...
            local want=$1
            shift
            ansible-playbook -i "$root," -c community.general.chroot "$VYR_PLAYBOOKS/linux.yml" \
                -e vyr_hosts=all -e vyr_become=false "$@" > "$VYR_OUT" 2>&1 \
                || fail "the play failed: $(cat "$VYR_OUT")"
            local got
            got=$(grep -o "changed=[0-9]*" "$VYR_OUT" | tail -n 1)
            [ "$got" = "changed=$want" ] || fail "expected changed=$want, got $got: $(cat "$VYR_OUT")"
        }
        packages() { chroot "$root" dpkg-query -W -f="\${db:Status-Abbrev}\n" | grep -c "^ii"; }
        before=$(packages)
        play 3 -e "vyr_package=$VYR_DEB" # package copied, installed, certificates installed
        echo "the play pulled $(( $(packages) - before )) packages (python3-apt for Ansible among them)"
        chroot "$root" /usr/bin/vyr-cert-installer-cli --check > "$VYR_OUT.check" 2>&1 \
            || fail "--check in the host: $(cat "$VYR_OUT.check")"
        [ "$(grep -c "^[A-Z]* .* present$" "$VYR_OUT.check")" = 9 ] || fail "--check: $(cat "$VYR_OUT.check")"
        grep -qx "trust target bundle present" "$VYR_OUT.check" || fail "--check: $(cat "$VYR_OUT.check")"
        [ "$(grep -c "^system trust .* present$" "$VYR_OUT.check")" = 4 ] || fail "--check: $(cat "$VYR_OUT.check")"
        for lib in libQt5Gui.so.5 libQt5Widgets.so.5; do
            [ -z "$(find "$root/usr/lib" -name "$lib")" ] || fail "the command-line package brought $lib"
        done
        play 0 -e "vyr_package=$VYR_DEB"
        play 3 -e vyr_state=absent # certificates, package and package file removed
        ! chroot "$root" dpkg-query -W -f="\${db:Status-Abbrev}" vyr-cert-installer-cli 2>/dev/null | grep -q "^ii" \
            || fail "the package is still installed"
        # The record stays, empty: the purge knows nothing of it, and it tells
        # a later --remove that nothing there is ours. So does the lock file
        # beside it, empty.
        record=$root/var/lib/vyr-cert-installer/record.json
        python3 -c "import json, sys; sys.exit(json.load(open(sys.argv[1]))[\"certificates\"] != [])" "$record" \
            || fail "the record after the removal: $(cat "$record")"
        left=$(find "$root/var/lib/vyr-cert-installer" "$root/usr/local/share/ca-certificates" -type f \
                   ! -path "$record" ! -path "$root/var/lib/vyr-cert-installer/lock" 2>/dev/null)
        [ -z "$left" ] || fail "left behind: $left"
        grep -q "BEGIN CERTIFICATE" "$root/etc/ssl/certs/ca-certificates.crt" || fail "the system bundle is gone"
        echo "the fresh host: changed, all nine and the roots trusted, no Qt Gui, unchanged, removed"
    '
}

footprint_case() {
    local cli window
    cli=$(realpath "$1") window=$(realpath "$2")
    for debs in "$cli" "$cli $window"; do
        VYR_DEBS=$debs in_fresh_host bash -c '
            set -e
            packages() { chroot "$root" dpkg-query -W -f="\${db:Status-Abbrev}\n" | grep -c "^ii"; }
            chroot "$root" apt-get update -qq > /dev/null
            before=$(packages) size=$(du -smx "$root" | cut -f1)
            names=""
            for deb in $VYR_DEBS; do
                cp "$deb" "$root/var/cache/" && names="$names /var/cache/$(basename "$deb")"
            done
            chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                $names > /dev/null 2>&1 || { echo "apt could not install$names" >&2; exit 1; }
            rm -f "$root/var/cache/apt/archives/"*.deb "$root"/var/cache/*.deb
            echo "$(basename "${VYR_DEBS##* }"): $(( $(packages) - before )) packages, $(( $(du -smx "$root" | cut -f1) - size )) MB"
        '
    done
}

make_cache
case $case in
play) play_case "$@" ;;
footprint) footprint_case "$@" ;;
*) fail "unknown case $case" ;;
esac
