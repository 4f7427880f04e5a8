#!/usr/bin/env bash
# Signing a release with a throwaway chain made here (root, intermediate,
# code-signing leaf; no key ever enters the repository):
#   chain <folder>              makes root.pem, other-root.pem, chain.pem (leaf,
#                               intermediate, root) and leaf.key in the folder
#   verify <release> <folder>   the signed .exe and MSI verify against the
#                               root, not against another root, not with one
#                               byte changed; the zip holds the signed .exe and
#                               SHA256SUMS matches
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
case $1 in
chain)
    dir=$2
    rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
    ca() { # name subject [issuer]
        openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -subj "/O=Vyr Test/CN=$2" -out "$1.csr" 2> /dev/null
        printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > "$1.ext"
        if [ -n "${3:-}" ]; then
            openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 30 \
                -extfile "$1.ext" -out "$1.pem" 2> /dev/null
        else
            openssl x509 -req -in "$1.csr" -signkey "$1.key" -days 30 -extfile "$1.ext" -out "$1.pem" 2> /dev/null
        fi
    }
    ca root "Vyr Test Code Signing Root"
    ca other-root "Someone Else's Root"
    ca inter "Vyr Test Code Signing CA" root
    openssl req -new -newkey rsa:2048 -nodes -keyout leaf.key -subj "/O=Vyr Test/CN=Vyr Test Publisher" \
        -out leaf.csr 2> /dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > leaf.ext
    openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -CAcreateserial -days 30 -extfile leaf.ext \
        -out leaf.pem 2> /dev/null
    cat leaf.pem inter.pem root.pem > chain.pem
    ;;
verify)
    release=$2 dir=$3
    exe=$release/vyr-cert-installer.exe
    for signed in "$exe" "$release"/*.msi; do
        name=$(basename "$signed")
        osslsigncode verify -CAfile "$dir/root.pem" -in "$signed" > "$dir/verify.out" 2>&1 \
            || fail "the signed $name does not verify: $(tail -n 5 "$dir/verify.out")"
        ! osslsigncode verify -CAfile "$dir/other-root.pem" -in "$signed" > /dev/null 2>&1 \
            || fail "$name verifies against a root that did not sign it"
        cp "$signed" "$dir/changed-$name"
        # One byte well inside what the signature covers (the .exe's code, the MSI's cabinet).
        printf '\xcc' | dd of="$dir/changed-$name" bs=1 seek=$(( $(stat -c %s "$signed") / 2 )) conv=notrunc status=none
        ! osslsigncode verify -CAfile "$dir/root.pem" -in "$dir/changed-$name" > /dev/null 2>&1 \
            || fail "$name with one byte changed still verifies"
    done
    [ -n "$(ls "$release"/*.msi)" ] || fail "no MSI in the release"
    (cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the release"
    rm -rf "$dir/unzipped" && python3 -m zipfile -e "$release/vyr-cert-installer-windows.zip" "$dir/unzipped"
    cmp -s "$exe" "$dir/unzipped/vyr-cert-installer.exe" || fail "the zip does not hold the signed .exe"
    echo "signed: the .exe and the MSI verify against their root only, not with one byte changed; the zip and the sums agree"
    ;;
*)
    fail "unknown case $1"
    ;;
esac
