#!/usr/bin/env bash
# The real Windows program under Wine, on Xvfb: its window (client size, the
# bundled icon, the captions in Windows' dialog font ending before their
# progress labels), a real click on "Instalare", the local machine's stores read back by
# a probe (the four roots in ROOT, the five intermediates in CA, nothing else
# added), a second click that changes nothing, "Ieșire" with exit code 0; then
# the verbs through the same .exe, with their exit codes. At the dpi VYR_DPI
# (default 96), set as the prefix's LogPixels as Windows' display scaling sets
# it: the window scaled as a whole, every text measured in device pixels.
# Usage: window.sh <vyr-cert-installer.exe> <window_probe.exe> <bundle's Cert folder> [screenshot.png]
set -u
exe=$1 probe=$2 certs=$3 shot=${4:-}
wine=${WINE:-wine64}
export WINEDEBUG=-all
. "$(dirname "$0")/../e2e/x11.sh"
. "$(dirname "$0")/../e2e/bundle.sh"
start_xvfb || exit 1
scratch=$(mktemp -d)
stores() { "$wine" "$probe" stores | tr -d '\r' | sort; }

# What the click must add, from the bundled files.
expected=$(expected_stores "$certs")

dpi=${VYR_DPI:-96}
for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f > /dev/null || fail "LogPixels not set"
done
# Back at 100 % for the tests after this one.
trap '"$wine" reg add "HKCU\Control Panel\Desktop" /v LogPixels /t REG_DWORD /d 96 /f > /dev/null 2>&1
      "$wine" reg add "HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts" /v LogPixels \
          /t REG_DWORD /d 96 /f > /dev/null 2>&1; stop_xvfb' EXIT
"$wine" "$exe" --remove > /dev/null 2>&1 # what an earlier run in this prefix left

# The dialog font every widget takes, Tahoma at 8 pt, and each text's width in
# it, in device pixels at this dpi: a caption must end before its progress
# label, a count within its label, the instruction (12 pt) within the window.
export LC_ALL=C.UTF-8
widths=""
fits() { # <points> <text> <x where it starts> <x it must end before>, in the form's logical pixels
    local measured width
    measured=$("$wine" "$probe" font "$1" "$2" | tr -d '\r')
    grep -qx "font Tahoma $(( (11 * dpi + 48) / 96 ))" <<< "$measured" \
        || fail "the dialog font is not Tahoma at 8 pt at $dpi dpi: $measured"
    width=$(awk '$1 == "width" { print $2 }' <<< "$measured")
    [ $(($(scaled "$3") + width)) -lt "$(scaled "$4")" ] \
        || fail "\"$2\" is $width px wide at $dpi dpi: from x=$(scaled "$3") it runs past x=$(scaled "$4")"
    widths+=" $width"
}
fits 8 "Instalare Certificate Root:" 20 150
fits 8 "Instalare Certificate Intermediare:" 20 190
fits 8 "4 din 4. Succes - 4" 150 252
fits 8 "5 din 5. Succes - 5" 190 292
fits 12 "Pentru a instala certificatele necesare utilizați butonul ”Instalare”" 10 502
before=$(stores)
"$wine" "$exe" &
APP_PID=$!
window=$("$wine" "$probe" window "Vyr Cert Installer" | tr -d '\r') || fail "no window: $window"
read -r _ width height < <(grep '^client' <<< "$window")
for side in "$width $(scaled 510)" "$height $(scaled 340)"; do
    set -- $side
    [ $(($1 - $2)) -ge -1 ] && [ $(($1 - $2)) -le 1 ] || fail "client area at $dpi dpi: $window"
done
# Wine hands the window's icon to X: mostly the bundled icon's blue, not
# Wine's default. (Asked across processes, WM_GETICON answers nothing.)
xid=$(find_window "Vyr Cert Installer") || fail "no X window"
blue=$(xprop -id "$xid" -f _NET_WM_ICON 32x ' $0+\n' _NET_WM_ICON | tr ',' '\n' | grep -c 0xff1f4e9a)
[ "$blue" -gt 500 ] || fail "the window's icon is not the bundled one ($blue blue pixels)"
read -r _ x y < <(grep '^origin' <<< "$window")
click() { xdotool mousemove $((x + $(scaled "$1"))) $((y + $(scaled "$2"))) sleep 0.3 click 1; }

click 419 252
for _ in $(seq 120); do
    added=$(comm -13 <(echo "$before") <(stores))
    [ "$added" = "$expected" ] && break
    sleep 0.5
done
[ "$added" = "$expected" ] || fail "the click added: $added"
sleep 1
[ -z "$shot" ] || import -window root -crop "${width}x$height+$x+$y" "$shot"
after=$(stores)
click 419 252
sleep 3
[ "$(stores)" = "$after" ] || fail "the second click changed the stores"
click 338 252
wait_exit "$APP_PID" 20 || fail "Ieșire did not end the program"
[ "$EXIT_CODE" = 0 ] || fail "exit code $EXIT_CODE after Ieșire"

verb() { "$wine" "$exe" "$@" > "$scratch/out" 2>&1; echo $?; }
[ "$(verb --check)" = 0 ] || fail "--check after the click: $(cat "$scratch/out")"
[ "$(verb --remove)" = 0 ] || fail "--remove: $(cat "$scratch/out")"
[ "$(verb --check)" = 1 ] || fail "--check after --remove: $(cat "$scratch/out")"
[ "$(stores)" = "$before" ] || fail "--remove left the stores other than before the click"
[ "$(verb --install)" = 0 ] || fail "--install: $(cat "$scratch/out")"
grep -q "^9 of 9 certificates in their stores" "$scratch/out" || fail "--install printed: $(cat "$scratch/out")"
[ "$(verb --check)" = 0 ] || fail "--check after --install: $(cat "$scratch/out")"
[ "$(verb --bogus)" = 2 ] || fail "a usage error did not exit 2"
rm -rf "$scratch"
echo "$dpi dpi: client ${width}x$height, text widths$widths px; icon, captions before their counts in Tahoma, 4 roots and 5 intermediates added by a click, second click alike, exit 0; verbs 0/0/1/0/0/2"
