#!/usr/bin/env bash
# The real executable in Xvfb, driven by real clicks and read from outside:
# its icon and start-up counts, a click on "Instalare", then the stores
# checked with OpenSSL, a second click, and the exit button.
# At the dpi VYR_DPI (default 96), the window scaled as a whole.
# Usage: install-run.sh <executable> <folder of the bundled certificates> <store root> <scratch folder>
set -u
. "$(dirname "$0")/x11.sh"
in_private_session "$@"
app=$1 certs=$2 stores=$3 scratch=$4

rm -rf "$stores/ROOT" "$stores/CA" "$(dirname "$stores")/record.json" "$scratch/tmp/e2e"
mkdir -p "$scratch/tmp/e2e"
export TMPDIR=$scratch/tmp/e2e

start_xvfb || exit 1
trap stop_xvfb EXIT
start_accessibility
"$app" &
APP_PID=$!
window=$(find_window "Vyr Cert Installer") || fail "no window"
# Scaled as a whole with the display: 510 x 340 logical pixels, within one
# device pixel of 510 x 340 times the dpi's factor.
read -r width height < <(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w, h }')
for side in "$width $(scaled 510)" "$height $(scaled 340)"; do
    set -- $side
    [ $(($1 - $2)) -ge -1 ] && [ $(($1 - $2)) -le 1 ] || fail "the window is ${width} x ${height} at ${VYR_DPI:-96} dpi"
done

icons=$(xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr '\n' ' ')
for side in 16 32 48 64 128; do
    grep -q "Icon ($side x $side)" <<< "$icons" || fail "the window's icon has no $side px image (it has: $icons)"
done

texts=$(window_texts) || fail "the window's texts could not be read"
expect_field "$texts" root "0 din 4"
expect_field "$texts" interim "0 din 5"

texts=$(click_install) || fail "no run"
expect_field "$texts" root "4 din 4. Succes - 4"
expect_field "$texts" interim "5 din 5. Succes - 5"
expect_field "$texts" status "$(printf 'Importare finalizat\xc4\x83 \nImportat cu succes 9 certificate din 9')"
expect_field "$texts" statusbar ""

# What the stores must hold, worked out from the bundled files themselves:
# self-signed ones in ROOT, the others in CA, each under its SHA-1 thumbprint.
expected_root="" expected_ca=""
for cert in "$certs"/*; do
    thumbprint=$(openssl x509 -inform DER -in "$cert" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
    subject=$(openssl x509 -inform DER -in "$cert" -noout -subject | sed 's/^subject=//')
    issuer=$(openssl x509 -inform DER -in "$cert" -noout -issuer | sed 's/^issuer=//')
    if [ "$subject" = "$issuer" ]; then expected_root+="$thumbprint.crt"$'\n'; else expected_ca+="$thumbprint.crt"$'\n'; fi
done
held() { (cd "$stores/$1" && ls -1 -- *.crt) }
[ "$(held ROOT)" = "$(sort <<< "${expected_root%$'\n'}")" ] || fail "ROOT holds $(held ROOT | tr '\n' ' ')"
[ "$(held CA)" = "$(sort <<< "${expected_ca%$'\n'}")" ] || fail "CA holds $(held CA | tr '\n' ' ')"

for cert in "$stores"/CA/*.crt; do
    openssl verify -CApath "$stores/ROOT" "$cert" >/dev/null \
        || fail "$(basename "$cert") does not verify against ROOT as -CApath"
done

before=$(ls -1 "$stores/ROOT" "$stores/CA")
texts=$(click_install) || fail "no second run"
expect_field "$texts" root "4 din 4. Succes - 4"
[ "$(ls -1 "$stores/ROOT" "$stores/CA")" = "$before" ] || fail "the second run changed the stores' files"

click_in "$window" 338 252
wait_exit "$APP_PID" 10 || fail "the exit button did not close the window"
[ "$EXIT_CODE" = 0 ] || fail "exit code $EXIT_CODE"
echo "${width} x ${height} at ${VYR_DPI:-96} dpi, icon in 5 sizes, 0 din 4 / 0 din 5, 9 of 9 installed, stores as bundled, second run alike, exit code 0"
