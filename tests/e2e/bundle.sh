# Bundles for the tests, sourced: one made of a test chain, and what a bundle
# puts in which store.

# make_bundle <folder> <root.pem> <intermediate.pem>: a bundle folder with
# that one root and one intermediate, for -DVYR_BUNDLE_DIR.
make_bundle() {
    local folder=$1 icon
    icon=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../resources/Images" && pwd)/vyr.ico
    mkdir -p "$folder/Cert" "$folder/Json" "$folder/Images"
    openssl x509 -in "$2" -outform DER -out "$folder/Cert/Test_Root.cer"
    openssl x509 -in "$3" -outform DER -out "$folder/Cert/Test_Int.crt"
    printf '{\r\n  "rootCerts": ["Test_Root.cer"],\r\n  "interimCerts": ["Test_Int.crt"]\r\n}\r\n' \
        > "$folder/Json/Settings.json"
    cp "$icon" "$folder/Images/"
}

# expected_stores <Cert folder>: "<store> <thumbprint>" for each bundled file,
# self-signed ones in ROOT, sorted.
expected_stores() {
    local cert thumbprint
    for cert in "$1"/*; do
        thumbprint=$(openssl x509 -inform DER -in "$cert" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
        [ "$(openssl x509 -inform DER -in "$cert" -noout -subject | sed 's/^subject=//')" = \
          "$(openssl x509 -inform DER -in "$cert" -noout -issuer | sed 's/^issuer=//')" ] && echo "ROOT $thumbprint" \
          || echo "CA $thumbprint"
    done | sort
}
