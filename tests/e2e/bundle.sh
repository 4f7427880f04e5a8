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

# make_second_bundle <folder> <new root.pem>: the tree's bundle as a later
# release changes it: Vyr_Root_CA_1 and Vyr_Int_5 retired, Vyr_Root_CA_5 new;
# no icon of its own.
make_second_bundle() {
    local folder=$1 tree
    tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../resources" && pwd)
    rm -rf "$folder" && mkdir -p "$folder/Cert" "$folder/Json"
    cp "$tree"/Cert/* "$folder/Cert/"
    rm "$folder/Cert/Vyr_Root_CA_1.cer" "$folder/Cert/Vyr_Int_5.crt"
    openssl x509 -in "$2" -outform DER -out "$folder/Cert/Vyr_Root_CA_5.cer"
    printf '{\r\n  "rootCerts": ["Vyr_Root_CA_2.cer", "Vyr_Root_CA_3.crt", "Vyr_Root_CA_4.cer", "Vyr_Root_CA_5.cer"],\r\n  "interimCerts": ["Vyr_Int_1.crt", "Vyr_Int_2.crt", "Vyr_Int_3.crt", "Vyr_Int_4.crt"]\r\n}\r\n' \
        > "$folder/Json/Settings.json"
}

# read_back_release <program> <bundle folder> <version> [runner]: the program
# says the version, and its --check --json lists exactly the bundle's set,
# each with its end of validity.
read_back_release() {
    local program=$1 bundle=$2 version=$3 runner=${4:-} out
    out=$(mktemp -d)
    $runner "$program" --version | tr -d '\r' > "$out/version"
    grep -qx "vyr-cert-installer\(-cli\)\? $version" "$out/version" \
        || { echo "FAIL: $program --version says $(cat "$out/version")" >&2; return 1; }
    # Exit 1 is what a check of a machine without the certificates says.
    $runner "$program" --check --json > "$out/check.json" 2> "$out/check.err" || [ $? = 1 ] \
        || { echo "FAIL: $program --check failed: $(cat "$out/check.err")" >&2; return 1; }
    [ "$(python3 -c 'import json, sys
for c in json.load(sys.stdin)["certificates"]:
    if "T" in c.get("not_after", "") and isinstance(c.get("days_left"), int): print(c["store"], c["thumbprint"])' \
        < "$out/check.json" | sort)" = "$(expected_stores "$bundle/Cert")" ] \
        || { echo "FAIL: $program --check --json lists another set: $(cat "$out/check.json")" >&2; return 1; }
    rm -rf "$out"
}

# swap_bundle <from folder> <to folder> <old file> <new file> <new.pem>: the
# bundle folder with one certificate in place of another, in the same list.
swap_bundle() {
    local from=$1 to=$2
    [ "$from" = "$to" ] || { rm -rf "$to" && mkdir -p "$to" && cp -r "$from/Cert" "$from/Json" "$to/"; }
    rm "$to/Cert/$3"
    openssl x509 -in "$5" -outform DER -out "$to/Cert/$4"
    sed -i "s/\"$3\"/\"$4\"/" "$to/Json/Settings.json"
}
