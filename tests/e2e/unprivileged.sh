#!/usr/bin/env bash
# The real executable run by an unprivileged user (nobody), clicked in Xvfb and
# read from outside. Two cases, set up by root first:
#   read-only-store    the stores belong to root: nothing can be installed
#   foreign-temp-file  the stores are the user's, but the temporary copy of the
#                      first root is already there, put by root into a shared
#                      sticky folder where the user can neither remove nor
#                      replace it; that foreign certificate must not be installed,
#                      the first root is installed all the same (from a private copy)
# Usage: unprivileged.sh <case> <executable> <test files> <store root> <scratch folder> <first root's name>
set -u
. "$(dirname "$0")/x11.sh"
case=$1 app=$2 data=$3 stores=$4 scratch=$5 first_root=$6
user=65534
shared_tmp=$scratch/tmp/shared

if [ -z "${VYR_AS_USER:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "SKIP: setting up the stores and switching users needs root"
        exit 77
    fi
    # Everything the user runs lies in folders it may enter.
    rm -rf "$stores/ROOT" "$stores/CA" "$(dirname "$stores")/record.json" "$(dirname "$stores")/lock" "$shared_tmp" \
        "$scratch/home"
    mkdir -p -m 0755 "$stores/ROOT" "$stores/CA" "$scratch/bin"
    mkdir -p -m 1777 "$shared_tmp"
    mkdir -p "$scratch/home" && chown "$user" "$scratch/home"
    cp "$app" "$scratch/bin/vyr-cert-installer-$case"
    cp "$0" "$(dirname "$0")/x11.sh" "$(dirname "$0")/window.py" "$scratch/bin/"
    chmod 0755 "$scratch/bin" "$scratch/bin"/*
    if [ "$case" = foreign-temp-file ]; then
        # The stores, and the record of what the program added and the lock beside them.
        chown "$user" "$stores/ROOT" "$stores/CA" "$(dirname "$stores")"
        trap 'chown root "$(dirname "$stores")"' EXIT
        cp "$data/other.der" "$shared_tmp/$first_root"
        chmod 0644 "$shared_tmp/$first_root"
    fi
    setpriv --reuid=$user --regid=$user --clear-groups \
        env VYR_AS_USER=1 HOME="$scratch/home" TMPDIR="$shared_tmp" PATH="$PATH" \
        "$scratch/bin/unprivileged.sh" "$case" "$scratch/bin/vyr-cert-installer-$case" "$data" "$stores" \
        "$scratch" "$first_root" || exit 1

    # Checked again as root, from outside, after the user's process has ended.
    other=$(cat "$data/other.sha1")
    if [ "$case" = read-only-store ]; then
        [ -z "$(ls -A "$stores/ROOT" "$stores/CA" | grep -v ':$' | grep .)" ] || fail "the stores were written"
    else
        [ ! -e "$stores/ROOT/$other.crt" ] || fail "the foreign certificate was installed into ROOT"
        [ "$(ls "$stores/ROOT"/*.crt | wc -l)" = 4 ] || fail "ROOT does not hold the four roots"
        [ -e "$shared_tmp/$first_root" ] && cmp -s "$data/other.der" "$shared_tmp/$first_root" \
            || fail "the foreign file was changed"
    fi
    echo "$case: as expected"
    exit 0
fi

in_private_session "$@"
start_xvfb || exit 1
trap stop_xvfb EXIT
start_accessibility
"$app" &
APP_PID=$!
find_window "Vyr Cert Installer" >/dev/null || fail "no window"
texts=$(click_install) || fail "no run"
if [ "$case" = read-only-store ]; then
    expect_field "$texts" root "4 din 4. Succes - 0"
    expect_field "$texts" interim "5 din 5. Succes - 0"
    expect_field "$texts" status "$(printf 'Importare finalizat\xc4\x83 \nImportat cu succes 0 certificate din 9')"
    expect_field "$texts" statusbar "$(printf 'Depozitele de certificate nu pot fi deschise pentru scriere: rula\xc8\x9bi programul ca root.')"
else
    expect_field "$texts" root "4 din 4. Succes - 4"
    expect_field "$texts" interim "5 din 5. Succes - 5"
fi
