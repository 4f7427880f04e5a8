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
#   repository            the organisation's signed apt repository, served over
#                         HTTP on the loopback: the keyring package, then
#                         apt-get install vyr-ca-trust (curl and Java trust a
#                         test chain, the record lists nine added); a
#                         tampered InRelease and another key taken for
#                         nothing; the signing key rotated (a host of the
#                         old key, one of the next, one of both whose clock
#                         passed the old one's expiry), a host left on the
#                         old key a quiet channel in the report; the second release (the test root retired
#                         for another) taken by unattended-upgrade; a trust
#                         source read-only for a moment, then the timer's
#                         service; a package under Firefox's folder
#                         triggers its policy; the removal leaves nothing of
#                         ours, and the administrator's own root
#   footprint <cli.deb> <window.deb>
#                         what apt pulls into the fresh host for each package
#                         (packages and MB installed, with --no-install-recommends)
#   fleet <cli.deb>       the report play over three fresh hosts (in step, a
#                         certificate deleted by hand, an earlier release with a
#                         root this one retired) and one that cannot be reached:
#                         each host named with its state, the report exit 3
#   run <script> <args>   the script, with a fresh host at $root (the benchmarks)
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
        ! grep -q "^channel " "$VYR_OUT.check" || fail "a host without the repository has a channel: $(cat "$VYR_OUT.check")"
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

repository_case() {
    local source work http tls
    source=$(cd "$here/../.." && pwd)
    work=/tmp/vyr-cert-installer-tests/repository
    rm -rf "$work" && mkdir -p "$work"
    "$source/tests/data/make-testdata.sh" "$work/keys" > /dev/null
    (cd "$work/keys" && openssl x509 -req -in leaf.csr -CA other.pem -CAkey other.key -set_serial 9 -sha256 \
        -days 365 -extfile openssl.cnf -extensions leaf -out other-leaf.pem 2> /dev/null && cat leaf.pem inter.pem > chain.pem)
    . "$here/bundle.sh"
    # 1.1.0: the tree's bundle with the test root and intermediate in place of
    # Vyr_Root_CA_1 and Vyr_Int_5. 1.2.0 retires the test root for another.
    swap_bundle "$source/resources" "$work/bundle1" Vyr_Root_CA_1.cer Test_Root.cer "$work/keys/root.pem"
    swap_bundle "$work/bundle1" "$work/bundle1" Vyr_Int_5.crt Test_Int.crt "$work/keys/inter.pem"
    swap_bundle "$work/bundle1" "$work/bundle2" Test_Root.cer New_Root.cer "$work/keys/other.pem"
    for release in 1:1.1.0 2:1.2.0; do
        "$source/scripts/build-deb.sh" --bundle "$work/bundle${release%%:*}" --version "${release#*:}" > /dev/null
        mkdir "$work/debs${release%%:*}" && cp "$source"/build-deb/*.deb "$work/debs${release%%:*}/"
    done
    http=$((20000 + RANDOM % 20000)) tls=$((40000 + RANDOM % 20000))
    # The first key lives a year: host three's clock, moved on, passes it.
    "$source/scripts/build-apt-repo.sh" --debs "$work/debs1" --url "http://127.0.0.1:$http" --out "$work/www" --key-life 1y 2> /dev/null
    # The same release into another folder, later, in another time zone and umask: the same keyring package.
    sleep 1
    (umask 002 && TZ=Asia/Kathmandu "$source/scripts/build-apt-repo.sh" --debs "$work/debs1" --key "$work/www-signing-key.asc" \
        --url "http://127.0.0.1:$http" --out "$work/again" > /dev/null 2>&1)
    cmp -s "$work/www/vyr-archive-keyring.deb" "$work/again/vyr-archive-keyring.deb" \
        || fail "the keyring package rebuilt to other bytes: $(diffoscope --text - "$work/www/vyr-archive-keyring.deb" \
                "$work/again/vyr-archive-keyring.deb" 2>&1 | head -n 40)"
    # A URL apt cannot take, or one that adds a field, is refused before anything is written.
    for bad in "http://127.0.0.1:$http/my repo" "$(printf 'http://127.0.0.1:%s\nTrusted: yes' "$http")"; do
        status=0
        "$source/scripts/build-apt-repo.sh" --debs "$work/debs1" --url "$bad" --out "$work/bad" > /dev/null 2>&1 || status=$?
        [ "$status" = 2 ] && [ ! -e "$work/bad" ] || fail "the URL '$bad' was taken (exit $status)"
    done
    # Killed between two includes, or given a package cut short: the published
    # indexes and the keyring stay byte for byte, and the run fails.
    published=(dists/stable/InRelease dists/stable/main/binary-amd64/Packages vyr-archive-keyring.deb)
    for file in "${published[@]}"; do mkdir -p "$work/before/$(dirname "$file")" && cp "$work/www/$file" "$work/before/$file"; done
    mkdir -p "$work/killbin" "$work/debs-cut" && cp "$work"/debs2/*.deb "$work/debs-cut/"
    last=$(ls "$work"/debs-cut/*.deb | tail -n 1) && truncate -s $(( $(stat -c %s "$last") / 2 )) "$last"
    printf '#!/bin/sh\n/usr/bin/reprepro "$@" || exit $?\ncase "$*" in *includedeb*) kill -9 $PPID ;; esac\n' \
        > "$work/killbin/reprepro" && chmod 0755 "$work/killbin/reprepro"
    for broken in killed cut; do
        status=0
        if [ "$broken" = killed ]; then
            PATH=$work/killbin:$PATH "$source/scripts/build-apt-repo.sh" --debs "$work/debs2" --key "$work/www-signing-key.asc" \
                --url "http://127.0.0.1:$http" --out "$work/www" > /dev/null 2>&1 || status=$?
        else
            "$source/scripts/build-apt-repo.sh" --debs "$work/debs-cut" --key "$work/www-signing-key.asc" \
                --url "http://127.0.0.1:$http" --out "$work/www" > /dev/null 2>&1 || status=$?
        fi
        [ "$status" != 0 ] || fail "the $broken run exited 0"
        for file in "${published[@]}"; do
            cmp -s "$work/before/$file" "$work/www/$file" || fail "the $broken run changed $file"
        done
        while read -r _ file; do
            [ -e "$work/www/$file" ] || fail "the $broken run took $file, still published, out of the pool"
        done < <(grep '^Filename: ' "$work/www/dists/stable/main/binary-amd64/Packages")
    done
    # The killed run's key and agent went with the next run.
    [ ! -e "$work/.www.work" ] || fail "the key folder of a killed run is still there: $(ls -A "$work/.www.work")"
    # The source the keyring package ships, as apt parses it.
    dpkg-deb -x "$work/www/vyr-archive-keyring.deb" "$work/keyring-tree"
    mkdir -p "$work/apt-check/lists/partial"
    apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/keyring-tree/etc/apt/sources.list.d" \
        -o Dir::State::Lists="$work/apt-check/lists" -o Debug::NoLocking=1 indextargets > "$work/apt-check/out" 2>&1 \
        || fail "apt cannot read the keyring package's source: $(cat "$work/apt-check/out")"
    # A repository signed by another key, and a firefox-esr package of nothing but its folder.
    "$source/scripts/build-apt-repo.sh" --debs "$work/debs2" --url "http://127.0.0.1:$http" --out "$work/other" 2> /dev/null
    mkdir -p "$work/firefox/DEBIAN" "$work/firefox/usr/lib/firefox-esr"
    printf 'Package: vyr-test-firefox\nVersion: 1\nArchitecture: all\nMaintainer: Tests <tests@vyr.test>\nDescription: Firefox folder\n' \
        > "$work/firefox/DEBIAN/control"
    echo placeholder > "$work/firefox/usr/lib/firefox-esr/application.ini"
    dpkg-deb --root-owner-group --build "$work/firefox" "$work/firefox.deb" > /dev/null
    python3 -m http.server --bind 127.0.0.1 --directory "$work/www" "$http" > /dev/null 2>&1 &
    local servers=$!
    python3 "$here/tls-server.py" "$work/tls.log" "$tls" "$((tls + 2))" "$work/keys/chain.pem" "$work/keys/leaf.key" &
    servers="$servers $!"
    python3 "$here/tls-server.py" "$work/tls.log" "$((tls + 1))" "$((tls + 3))" "$work/keys/other-leaf.pem" \
        "$work/keys/leaf.key" &
    servers="$servers $!"
    trap "kill $servers 2> /dev/null" EXIT
    export VYR_WORK=$work VYR_SOURCE=$source VYR_HTTP=$http VYR_TLS=$tls VYR_CACHE=$cache
    export ANSIBLE_NOCOLOR=1 HOME=/tmp/vyr-cert-installer-tests/host-home
    mkdir -p "$HOME"
    in_fresh_host bash -c '
        set -e
        fail() { echo "FAIL: $*" >&2; exit 1; }
        c() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
        out=$VYR_WORK/out
        # port (0: the test root chain, 1: the other root leaf), expected
        trusts() {
            local status=0 got
            c curl -sS -o /dev/null --max-time 10 "https://127.0.0.1:$((VYR_TLS + $1))/" 2> /dev/null || status=$?
            case $status in 0) got=trusted ;; 60) got=refused ;; *) got="curl exit $status" ;; esac
            [ "$got" = "$2" ] || fail "$3: curl $got the chain of root $1, expected $2"
        }
        # pem, expected (held|absent): Java keystore, by SHA-256 fingerprint
        java_holds() {
            local fingerprint got=absent
            fingerprint=$(openssl x509 -in "$1" -noout -fingerprint -sha256 | cut -d= -f2)
            c keytool -list -cacerts -storepass changeit | grep -q "$fingerprint" && got=held
            [ "$got" = "$2" ] || fail "$3: Java keystore $got $(basename "$1"), expected $2"
        }
        version() { c dpkg-query -W -f="\${Version}" vyr-ca-trust; }
        # The record: how many added, and whether a thumbprint is on it.
        recorded() {
            python3 -c "import json, sys; r = json.load(open(sys.argv[1]))[\"certificates\"]
print(sum(e[\"added\"] for e in r), \" \".join(sorted(e[\"sha1\"] for e in r)))" "$root/var/lib/vyr-cert-installer/record.json"
        }
        root_sha1=$(cat "$VYR_WORK/keys/root.sha1") other_sha1=$(cat "$VYR_WORK/keys/other.sha1")
        c apt-get update -qq > /dev/null
        c apt-get install -y -qq curl unattended-upgrades openjdk-17-jre-headless > "$out" 2>&1 || fail "$(tail "$out")"
        # The administrator set up a root of their own.
        cp "$VYR_WORK/keys/rekeyed.pem" "$root/usr/local/share/ca-certificates/admin.crt"
        c update-ca-certificates > /dev/null 2>&1
        trusts 0 refused "before"

        cp "$VYR_WORK/www/vyr-archive-keyring.deb" "$root/tmp/"
        c dpkg -i /tmp/vyr-archive-keyring.deb > "$out" 2>&1 || fail "the keyring package: $(cat "$out")"
        c apt-get update > "$out" 2>&1 || fail "apt-get update: $(cat "$out")"
        c apt-get install -y vyr-ca-trust > "$out" 2>&1 || fail "apt-get install vyr-ca-trust: $(cat "$out")"
        trusts 0 trusted "installed"
        [ "$(recorded | cut -d" " -f1)" = 9 ] || fail "the record after the install: $(recorded)"
        java_holds "$VYR_WORK/keys/root.pem" held "installed"
        [ -L "$root/etc/systemd/system/timers.target.wants/vyr-ca-trust.timer" ] || fail "the timer is not enabled"
        echo "keyring, then apt-get install vyr-ca-trust $(version): curl and Java trust the test root, nine recorded"

        # The keys rotate. Each step out of order is refused and publishes nothing.
        repo() { "$VYR_SOURCE/scripts/build-apt-repo.sh" --url "http://127.0.0.1:$VYR_HTTP" --out "$VYR_WORK/www" "$@"; }
        old_key=$VYR_WORK/www-signing-key.asc next_key=$VYR_WORK/next-key.asc
        published=(dists/stable/InRelease vyr-archive-keyring.deb vyr-archive-keyring.gpg)
        refused() { # what the refusal says, the step
            local says=$1 file status=0
            shift
            for file in "${published[@]}"; do cp "$VYR_WORK/www/$file" "$VYR_WORK/before.$(basename "$file")"; done
            repo "$@" > "$out" 2>&1 || status=$?
            [ "$status" = 2 ] && grep -q "$says" "$out" || fail "the step $* was taken (exit $status): $(cat "$out")"
            for file in "${published[@]}"; do
                cmp -s "$VYR_WORK/before.$(basename "$file")" "$VYR_WORK/www/$file" || fail "the refused step $* changed $file"
            done
        }
        refused "is the only key" --retire-key "$old_key" --key "$old_key"
        repo --add-key "$next_key" --key "$old_key" > "$out" 2>&1 || fail "the add step: $(cat "$out")"
        refused "retire one (--retire-key) before adding another" --add-key "$VYR_WORK/third-key.asc" --key "$old_key" --key "$next_key"
        [ ! -e "$VYR_WORK/third-key.asc" ] || fail "a refused step made a key"
        # The first key has a year left; 200 days on, less than 180.
        "$VYR_SOURCE/scripts/build-apt-repo.sh" --status --out "$VYR_WORK/www" > "$VYR_WORK/status" 2>&1 \
            && [ "$(grep -c "^key [0-9A-F]\{40\} expires " "$VYR_WORK/status")" = 2 ] || fail "the status: $(cat "$VYR_WORK/status")"
        faketime -f +200d "$VYR_SOURCE/scripts/build-apt-repo.sh" --status --out "$VYR_WORK/www" > "$out" 2>&1 \
            && fail "a key with 165 days left passed the status: $(cat "$out")"
        # Host two holds the next key alone; host three both, from the keyring
        # package of the add step, and its clock passes the first key soon.
        on() { local host=$1; shift; chroot "$host" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
        two=$root/srv/two three=$root/srv/three
        for host in "$two" "$three"; do
            mkdir -p "$host" && tar -C "$host" -xzf "$VYR_CACHE"
            mount -t proc proc "$host/proc"
            mount --bind "$root/var/cache/apt/archives" "$host/var/cache/apt/archives"
            cp /etc/resolv.conf "$host/etc/" && cp "$root/usr/sbin/policy-rc.d" "$host/usr/sbin/"
            # As on a machine, where it is a tmpfs: faketime needs it, apt runs gpgv as _apt.
            chmod 1777 "$host/dev/shm"
        done
        mkdir -p "$two/etc/apt/keyrings" "$VYR_WORK/next-gnupg" && chmod 0700 "$VYR_WORK/next-gnupg"
        gpg --homedir "$VYR_WORK/next-gnupg" --batch --quiet --import "$next_key" 2> /dev/null
        gpg --homedir "$VYR_WORK/next-gnupg" --batch --export > "$two/etc/apt/keyrings/vyr-next.gpg"
        gpgconf --homedir "$VYR_WORK/next-gnupg" --kill all 2> /dev/null || true
        sed "s|^Signed-By: .*|Signed-By: /etc/apt/keyrings/vyr-next.gpg|" \
            "$VYR_WORK/keyring-tree/etc/apt/sources.list.d/vyr.sources" > "$two/etc/apt/sources.list.d/vyr.sources"
        cp "$VYR_WORK/keyring-tree/etc/apt/apt.conf.d/51vyr-unattended-upgrades" "$two/etc/apt/apt.conf.d/"
        cp "$VYR_WORK/www/vyr-archive-keyring.deb" "$three/tmp/"
        on "$three" dpkg -i /tmp/vyr-archive-keyring.deb > "$out" 2>&1 || fail "the two-key keyring on host three: $(cat "$out")"
        for host in "$two" "$three"; do
            on "$host" apt-get update > "$out" 2>&1 && ! grep -q "^W: \|^Err" "$out" || fail "apt-get update on $host: $(cat "$out")"
            on "$host" apt-get install -y -qq unattended-upgrades faketime vyr-ca-trust > "$out" 2>&1 || fail "$host: $(tail "$out")"
        done
        echo "the add step: keyring $(on "$three" dpkg-query -W -f="\${Version}" vyr-archive-keyring) of both keys; a host of the next key alone installs from it"

        repo --debs "$VYR_WORK/debs2" --key "$old_key" --key "$next_key" > "$out" 2>&1 || fail "release 1.2.0: $(cat "$out")"
        # The host that never takes the two-key keyring.
        c apt-mark hold vyr-archive-keyring > /dev/null
        # An older release over it, or the same one under another URL, is refused and changes nothing.
        cp "$VYR_WORK/www/dists/stable/InRelease" "$VYR_WORK/InRelease.before"
        for refused in "debs1 http://127.0.0.1:$VYR_HTTP 1.2.0" "debs2 http://127.0.0.1:1/moved URL"; do
            set -- $refused
            status=0
            "$VYR_SOURCE/scripts/build-apt-repo.sh" --debs "$VYR_WORK/$1" --key "$old_key" --key "$next_key" \
                --url "$2" --out "$VYR_WORK/www" > "$out" 2>&1 || status=$?
            [ "$status" = 2 ] && grep -q "$3" "$out" || fail "build-apt-repo.sh took $refused (exit $status): $(cat "$out")"
        done
        cmp -s "$VYR_WORK/InRelease.before" "$VYR_WORK/www/dists/stable/InRelease" || fail "a refused release changed InRelease"
        # Refused: a tampered InRelease, then the repository signed by another key.
        release=$VYR_WORK/www/dists/stable/InRelease
        cp "$release" "$VYR_WORK/InRelease.good"
        sed -i "s/^Date: .*/Date: Thu, 01 Jan 2037 00:00:00 UTC/" "$release"
        for refused in tampered other-key; do
            if [ "$refused" = other-key ]; then
                cp "$VYR_WORK/InRelease.good" "$release"
                mv "$VYR_WORK/www" "$VYR_WORK/www.good" && mv "$VYR_WORK/other" "$VYR_WORK/www"
            fi
            # apt keeps its earlier lists, warns and exits 0.
            c apt-get update > "$out" 2>&1 || true
            grep -q "^W: .*The repository is not updated" "$out" || fail "apt took the $refused repository: $(cat "$out")"
            c unattended-upgrade > "$out" 2>&1 || true
            [ "$(version)" = 1.1.0 ] || fail "the $refused repository was taken: $(version)"
            trusts 0 trusted "$refused"
        done
        mv "$VYR_WORK/www" "$VYR_WORK/other" && mv "$VYR_WORK/www.good" "$VYR_WORK/www"
        echo "a tampered InRelease and another key: apt refused both, 1.1.0 stays"

        c apt-get update > "$out" 2>&1 || fail "apt-get update: $(cat "$out")"
        cp "$out" "$VYR_WORK/apt-get-update.out"
        c unattended-upgrade -v > "$out" 2>&1 || fail "unattended-upgrade: $(cat "$out")"
        cp "$out" "$VYR_WORK/unattended-upgrade.out"
        [ "$(version)" = 1.2.0 ] || fail "unattended-upgrade left $(version): $(cat "$out")"
        trusts 0 refused "upgraded"
        trusts 1 trusted "upgraded"
        recorded | grep -q "$other_sha1" && ! recorded | grep -q "$root_sha1" || fail "the record after the upgrade: $(recorded)"
        java_holds "$VYR_WORK/keys/root.pem" absent "upgraded"
        java_holds "$VYR_WORK/keys/other.pem" held "upgraded"
        [ ! -e "$root/var/lib/vyr-ca-trust/java-fresh" ] || fail "Java keystore was not rebuilt after the apt run"
        echo "unattended-upgrade took 1.2.0: the retired root refused (curl, Java), the new one trusted"
        cp "$VYR_WORK/apt-get-update.out" "$VYR_WORK/rotation-one.out"
        # The clock of host three a year on: the first key expired, the next one signs.
        later="NO_FAKE_STAT=1 faketime -f +400d"
        env $later gpgv --status-fd 1 --keyring "$three/usr/share/keyrings/vyr-archive-keyring.gpg" \
            "$VYR_WORK/www/dists/stable/InRelease" 2> /dev/null | grep -q "EXPKEYSIG" || fail "the first key has not expired on host three"
        for host in two:"" three:"$later"; do
            on "$root/srv/${host%%:*}" ${host#*:} apt-get -o Dir::Etc::SourceList=/dev/null -o APT::Get::List-Cleanup=0 update > "$out" 2>&1 \
                && ! grep -q "^W: \|^Err" "$out" || fail "apt-get update on host ${host%%:*}: $(cat "$out")"
            cp "$out" "$VYR_WORK/rotation-${host%%:*}.out"
            on "$root/srv/${host%%:*}" unattended-upgrade > "$out" 2>&1 || fail "unattended-upgrade on ${host%%:*}: $(cat "$out")"
            [ "$(on "$root/srv/${host%%:*}" dpkg-query -W -f="\${Version}" vyr-ca-trust)" = 1.2.0 ] \
                || fail "unattended-upgrade on ${host%%:*} left $(on "$root/srv/${host%%:*}" dpkg-query -W -f="\${Version}" vyr-ca-trust)"
        done
        echo "after the add step: the old key alone, the next key alone, both with the old one expired: each takes 1.2.0"

        repo --retire-key "$old_key" --key "$next_key" > "$out" 2>&1 || fail "the retire step: $(cat "$out")"
        refused "is the only key" --retire-key "$next_key" --key "$next_key"
        on "$three" apt-get update > "$out" 2>&1 && ! grep -q "^W: \|^Err" "$out" || fail "host three after the retire step: $(cat "$out")"
        c apt-get update > "$out" 2>&1 || true
        grep -q "NO_PUBKEY" "$out" || fail "the host of the old key alone took the repository signed by the next: $(cat "$out")"
        cp "$out" "$VYR_WORK/rotation-retired.out"
        # Its lists a week and a day old: the check carries their time, the report calls the channel quiet.
        list=$root/var/lib/apt/lists/127.0.0.1:${VYR_HTTP}_dists_stable_InRelease
        touch -d "8 days ago" "$list"
        mkdir -p "$root/tmp/docs"
        c vyr-cert-installer-cli --check --metrics /tmp/channel.prom > "$out" 2>&1 || fail "--check: $(cat "$out")"
        grep -qx "channel refreshed $(date -u -d "@$(stat -c %Y "$list")" +%FT%TZ)" "$out" || fail "--check: $(cat "$out")"
        grep -qx "vyr_channel_refreshed_timestamp_seconds{source=\"http://127.0.0.1:$VYR_HTTP\"} $(stat -c %Y "$list")" \
            "$root/tmp/channel.prom" || fail "the metrics: $(cat "$root/tmp/channel.prom")"
        c vyr-cert-installer-cli --check --json > "$root/tmp/docs/one.json" || fail "--check --json: $(cat "$root/tmp/docs/one.json")"
        python3 -c "import json, sys, datetime
d = json.load(open(sys.argv[1])); d.update(schema=\"vyr-host-check/1\", host=\"one\",
    checked_at=datetime.datetime.now(datetime.timezone.utc).strftime(\"%Y-%m-%dT%H:%M:%SZ\"))
json.dump(d, open(sys.argv[1], \"w\"))" "$root/tmp/docs/one.json"
        status=0
        # With its history: the package brings the SQLite driver of Qt.
        c vyr-fleet-report --history /tmp/fleet-history.sqlite /tmp/docs > "$out" 2>&1 || status=$?
        state=$(python3 -c "import json, sys; h = json.load(open(sys.argv[1]))[\"hosts\"][0]; print(h[\"state\"] + \": \" + h[\"why\"])" \
                "$root/tmp/docs/fleet.json")
        [ "$status" = 2 ] && [[ $state == "channel quiet: its lists of http://127.0.0.1:$VYR_HTTP were last refreshed 8 d ago"* ]] \
            || fail "the report (exit $status) says $state: $(cat "$out")"
        echo "after the retire step: the two-key host takes the repository; the old-key host fails (NO_PUBKEY), and its report says $state"
        # The next keyring mends it.
        c apt-mark unhold vyr-archive-keyring > /dev/null
        cp "$VYR_WORK/www/vyr-archive-keyring.deb" "$root/tmp/"
        c dpkg -i /tmp/vyr-archive-keyring.deb > "$out" 2>&1 || fail "the next keyring: $(cat "$out")"
        c apt-get update > "$out" 2>&1 && ! grep -q "^W: \|^Err" "$out" || fail "apt-get update with the next keyring: $(cat "$out")"
        [ "$(stat -c %Y "$list")" -gt "$(date -d "1 day ago" +%s)" ] || fail "the lists were not refreshed"

        # Drift while the trust source cannot be written: apt says so and succeeds; the timer mends it.
        trust_source=$root/usr/local/share/ca-certificates
        rm "$trust_source"/vyr-cert-installer/*.crt && c update-ca-certificates --fresh > /dev/null 2>&1
        mount --bind "$trust_source" "$trust_source" && mount -o remount,bind,ro "$trust_source"
        c apt-get install -y --reinstall vyr-ca-trust > "$out" 2>&1 || fail "apt failed on a read-only trust source: $(cat "$out")"
        umount "$trust_source"
        grep -q "^vyr-ca-trust: warning: " "$out" || fail "no warning of the read-only trust source: $(cat "$out")"
        trusts 1 refused "read-only"
        # The service as systemd runs it: each ExecStart in turn, the last one its exit.
        mkdir -p "$root/var/lib/prometheus/node-exporter"
        # Hardened: systemd-analyze rated the unit 9.6 UNSAFE before.
        exposure=$(systemd-analyze security --offline=yes "$root/lib/systemd/system/vyr-ca-trust.service" 2>&1 \
                   | sed -n "s/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p")
        awk -v e="$exposure" "BEGIN { exit !(e != \"\" && e <= 2.5) }" || fail "the service rates ${exposure:-unknown}"
        mapfile -t service < <(sed -n "s/^ExecStart=-\{0,1\}//p" "$root/lib/systemd/system/vyr-ca-trust.service" | sed "s/[$][$]/$/g")
        for line in "${service[@]}"; do status=0; c sh -c "$line" > "$out" 2>&1 || status=$?; done
        [ "$status" = 0 ] || fail "the timer service: $(cat "$out")"
        grep -q "^vyr_check_success 1$" "$root/var/lib/prometheus/node-exporter/vyr-cert-installer.prom" \
            || fail "the timer service wrote no metrics"
        trusts 1 trusted "the timer service"
        echo "a read-only trust source: apt exits 0 with a warning; the timer service (exposure $exposure) brings the host back in step"

        cp "$VYR_WORK/firefox.deb" "$root/tmp/"
        c apt-get install -y /tmp/firefox.deb > "$out" 2>&1 || fail "the Firefox folder package: $(cat "$out")"
        grep -q "vyr-cert-installer p11-kit-trust" "$root/etc/firefox/policies/policies.json" 2> /dev/null \
            || fail "no Firefox policy after the trigger: $(cat "$out")"
        echo "a package under Firefox folder triggered --install: the policy is in place"

        # Purged in one apt run: Java forgets the roots all the same.
        c apt-get purge -y vyr-ca-trust > "$out" 2>&1 || fail "apt-get purge vyr-ca-trust: $(cat "$out")"
        trusts 1 refused "removed"
        java_holds "$VYR_WORK/keys/other.pem" absent "removed"
        [ "$(recorded)" = "0 " ] || fail "the record after the removal: $(recorded)"
        left=$(find "$root/var/lib/vyr-cert-installer/stores" "$trust_source" -type f ! -name admin.crt; \
               grep -l "vyr-cert-installer" "$root/etc/firefox/policies/policies.json" 2> /dev/null || true)
        [ -z "$left" ] || fail "left behind: $left"
        grep -qF "$(sed -n 2p "$VYR_WORK/keys/rekeyed.pem")" "$root/etc/ssl/certs/ca-certificates.crt" \
            || fail "the administrator root left the system bundle"
        [ ! -e "$root/var/lib/vyr-ca-trust" ] || fail "the purge left $(ls -A "$root/var/lib/vyr-ca-trust")"
        echo "apt-get purge vyr-ca-trust: nothing of ours left, Java refuses the removed root, the administrator root stays"

        # The play, from the repository: the key and source as the keyring package has them, then the package.
        cp "$VYR_WORK/www/vyr-archive-keyring.gpg" "$VYR_WORK/keyring.gpg"
        for run in "1 present" "2 absent"; do
            ansible-playbook -i "$root," -c community.general.chroot "$VYR_SOURCE/deploy/ansible/linux.yml" \
                -e vyr_hosts=all -e vyr_become=false -e "vyr_state=${run#* }" \
                -e "{\"vyr_repository\": {\"url\": \"http://127.0.0.1:$VYR_HTTP/\", \"keyring\": \"$VYR_WORK/keyring.gpg\"}}" \
                > "$out" 2>&1 || fail "the play (${run#* }): $(cat "$out")"
            [ "$(grep -o "changed=[0-9]*" "$out" | tail -n 1)" = "changed=${run% *}" ] || fail "the play: $(cat "$out")"
            if [ "${run#* }" = present ]; then trusts 1 trusted "the play installed it"; fi
        done
        trusts 1 refused "the play removed it"
        echo "the play from the repository: vyr-ca-trust installed (changed=1), then removed with the program"
    '
}

fleet_case() {
    local source work
    source=$(cd "$here/../.." && pwd)
    work=/tmp/vyr-cert-installer-tests/fleet
    rm -rf "$work" && mkdir -p "$work"
    cp "$(realpath "$1")" "$work/current.deb"
    dpkg-deb -x "$work/current.deb" "$work/current"
    # The earlier release: the tree bundle and one more root, which this one retired.
    "$source/tests/data/make-testdata.sh" "$work/keys" > /dev/null
    . "$here/bundle.sh"
    rm -rf "$work/earlier-bundle" && mkdir -p "$work/earlier-bundle"
    cp -r "$source/resources/Cert" "$source/resources/Json" "$work/earlier-bundle/"
    openssl x509 -in "$work/keys/root.pem" -outform DER -out "$work/earlier-bundle/Cert/Old_Root.cer"
    sed -i "s/\"Vyr_Root_CA_1.cer\",/\"Vyr_Root_CA_1.cer\", \"Old_Root.cer\",/" "$work/earlier-bundle/Json/Settings.json"
    "$source/scripts/build-deb.sh" --bundle "$work/earlier-bundle" --version 0.9 > /dev/null
    cp "$source"/build-deb/vyr-cert-installer-cli_0.9_*.deb "$work/earlier.deb"
    export VYR_WORK=$work VYR_SOURCE=$source VYR_CACHE=$cache ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=0
    export HOME=/tmp/vyr-cert-installer-tests/host-home
    mkdir -p "$HOME"
    in_fresh_host bash -c '
        set -e
        fail() { echo "FAIL: $*" >&2; exit 1; }
        out=$VYR_WORK/out
        # Host one is the fresh host; two and three are unpacked beside it.
        for host in two three; do
            mkdir -p "$root/srv/$host" && tar -C "$root/srv/$host" -xzf "$VYR_CACHE"
            mount -t proc proc "$root/srv/$host/proc"
            cp /etc/resolv.conf "$root/srv/$host/etc/" && cp "$root/usr/sbin/policy-rc.d" "$root/srv/$host/usr/sbin/"
        done
        setup() { # host folder, package
            cp "$2" "$1/tmp/cli.deb"
            chroot "$1" apt-get update -qq > /dev/null
            chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /tmp/cli.deb > "$out" 2>&1 \
                || fail "installing on $1: $(cat "$out")"
            chroot "$1" /usr/bin/vyr-cert-installer-cli --install > "$out" 2>&1 || fail "--install on $1: $(cat "$out")"
        }
        setup "$root" "$VYR_WORK/current.deb"
        setup "$root/srv/two" "$VYR_WORK/current.deb"
        rm "$(ls "$root/srv/two/var/lib/vyr-cert-installer/stores/CA/"*.crt | head -n 1)"
        setup "$root/srv/three" "$VYR_WORK/earlier.deb"
        cp "$VYR_WORK/current.deb" "$root/srv/three/tmp/cli.deb"
        chroot "$root/srv/three" dpkg -i /tmp/cli.deb > "$out" 2>&1 || fail "the upgrade on three: $(cat "$out")"
        printf "%s\n" "one ansible_connection=community.general.chroot ansible_host=$root" \
            "two ansible_connection=community.general.chroot ansible_host=$root/srv/two" \
            "three ansible_connection=community.general.chroot ansible_host=$root/srv/three" \
            "gone ansible_connection=ssh ansible_host=127.0.0.1 ansible_port=1" > "$VYR_WORK/hosts"
        ansible-playbook -i "$VYR_WORK/hosts" "$VYR_SOURCE/deploy/ansible/report.yml" -e vyr_become=false \
            -e "vyr_reports=$VYR_WORK/reports" -e "vyr_report_program=$VYR_WORK/current/usr/bin/vyr-fleet-report" \
            > "$out" 2>&1 || fail "the report play: $(cat "$out")"
        grep -q "exit code 3: " "$out" || fail "the report did not exit 3: $(cat "$out")"
        report=$(ls -d "$VYR_WORK"/reports/*/ | tail -n 1)
        states=$(python3 -c "import json, sys
print(\" \".join(h[\"host\"] + \"=\" + h[\"state\"].replace(\" \", \"-\") for h in json.load(open(sys.argv[1]))[\"hosts\"]))" \
            "$report/fleet.json")
        [ "$states" = "gone=unreachable two=lacking three=retired one=in-step" ] || fail "the report says $states"
        [ "$("$VYR_WORK/current/usr/bin/vyr-fleet-report" --history "$VYR_WORK/reports/history.sqlite" --since two)" \
            = "$(python3 -c "import json, sys; print(json.load(open(sys.argv[1]))[\"generated\"])" "$report/fleet.json") lacking" ] \
            || fail "the history the play keeps, of two: $("$VYR_WORK/current/usr/bin/vyr-fleet-report" --history "$VYR_WORK/reports/history.sqlite" --since two 2>&1)"
        for file in fleet.html fleet.json fleet.csv fleet-junit.xml; do [ -s "$report/$file" ] || fail "no $file"; done
        echo "the report play over three fresh hosts and one unreachable: $states, exit 3 ($report)"
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
repository) repository_case "$@" ;;
fleet) fleet_case "$@" ;;
footprint) footprint_case "$@" ;;
run) script=$(realpath "$1") && shift && in_fresh_host bash "$script" "$@" ;;
*) fail "unknown case $case" ;;
esac
