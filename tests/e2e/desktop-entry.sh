#!/usr/bin/env bash
# The window package's desktop integration as packaged: the menu entry passes
# desktop-file-validate and starts the installed program through pkexec, and
# polkitd, on a system bus of our own in a private mount namespace, lists the
# package's action with the program's path, the display allowed and the
# administrator's password kept for the active session.
# Usage: desktop-entry.sh <window .deb>
set -euo pipefail
deb=$(realpath "$1")
scratch=/tmp/vyr-cert-installer-tests/desktop-entry
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }
rm -rf "$scratch" && mkdir -p "$scratch/actions"
dpkg-deb -x "$deb" "$scratch/package"

entry=$scratch/package/usr/share/applications/vyr-cert-installer.desktop
desktop-file-validate "$entry" || fail "the desktop entry does not validate"
grep -qx "Exec=pkexec /usr/bin/vyr-cert-installer" "$entry" || fail "the entry does not start the program through pkexec"
for size in 16 32 48 64 128; do
    [ -s "$scratch/package/usr/share/icons/hicolor/${size}x${size}/apps/vyr-cert-installer.png" ] \
        || fail "no ${size}px icon"
done

cp "$scratch"/package/usr/share/polkit-1/actions/*.policy "$scratch/actions/"
unshare -m --propagation private bash -c '
    set -e
    scratch=$1
    mount --bind "$scratch/actions" /usr/share/polkit-1/actions
    mkdir -p /run/dbus
    mount -t tmpfs vyr-bus /run/dbus
    dbus-daemon --system --fork --print-pid > "$scratch/bus.pid"
    /usr/lib/polkit-1/polkitd --no-debug > "$scratch/polkitd.log" 2>&1 &
    polkitd=$!
    for _ in $(seq 50); do
        pkaction --action-id ro.vyr.cert-installer --verbose > "$scratch/pkaction.out" 2>&1 && break
        sleep 0.1
    done
    kill "$polkitd" "$(cat "$scratch/bus.pid")" 2>/dev/null || true
' - "$scratch"
out=$(cat "$scratch/pkaction.out")
grep -q "org.freedesktop.policykit.exec.path -> /usr/bin/vyr-cert-installer$" <<< "$out" || fail "pkaction: $out"
grep -q "org.freedesktop.policykit.exec.allow_gui -> true$" <<< "$out" || fail "pkaction: $out"
grep -q "implicit active: *auth_admin_keep$" <<< "$out" || fail "pkaction: $out"
echo "the menu entry validates; polkit lists ro.vyr.cert-installer with the program's path and the display allowed"
