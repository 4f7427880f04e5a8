#!/usr/bin/env bash
# Signing a release with a throwaway chain made here (root, intermediate,
# code-signing leaf; no key ever enters the repository):
#   chain <folder>              makes root.pem, other-root.pem, chain.pem (leaf,
#                               intermediate, root) and leaf.key in the folder
#   verify <release> <folder>   the signed .exe verifies against the root,
#                               not against another root, not with one byte
#                               changed; the zip holds the signed .exe and
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
    osslsigncode verify -CAfile "$dir/root.pem" -in "$exe" > "$dir/verify.out" 2>&1 \
        || fail "the signed .exe does not verify: $(tail -n 5 "$dir/verify.out")"
    ! osslsigncode verify -CAfile "$dir/other-root.pem" -in "$exe" > /dev/null 2>&1 \
        || fail "the .exe verifies against a root that did not sign it"
    cp "$exe" "$dir/changed.exe"
    # One byte in the code, well inside what the signature covers.
    printf '\xcc' | dd of="$dir/changed.exe" bs=1 seek=4096 conv=notrunc status=none
    ! osslsigncode verify -CAfile "$dir/root.pem" -in "$dir/changed.exe" > /dev/null 2>&1 \
        || fail "the .exe with one byte changed still verifies"
    (cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the release"
    rm -rf "$dir/unzipped" && python3 -m zipfile -e "$release/vyr-cert-installer-windows.zip" "$dir/unzipped"
    cmp -s "$exe" "$dir/unzipped/vyr-cert-installer.exe" || fail "the zip does not hold the signed .exe"
    echo "signed: verifies against its root only, not with one byte changed; the zip and the sums agree"
    ;;
*)
    fail "unknown case $1"
    ;;
esac
