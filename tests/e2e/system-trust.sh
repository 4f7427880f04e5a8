#!/usr/bin/env bash
# The system-trust step for real, on Debian, without touching this machine's
# trust: inside a private mount namespace, the trust folders are copies bound
# over the originals. A build with the step on, compiled with a test bundle
# whose keys this script made, serves a local TLS server's chain: curl and
# Python's ssl refuse it before --install, accept it after, refuse it again
# after --remove; a root of the distribution verifies throughout. The bundle
# is the store tests' chain, whose leaf serves 127.0.0.1.
# Usage: system-trust.sh <source folder> <build folder> <scratch folder>
set -euo pipefail
source_dir=$(realpath "$1") build=$2 scratch=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: the private mount namespace needs root"; exit 77; }
[ -x /usr/sbin/update-ca-certificates ] || { echo "SKIP: not a Debian-family machine"; exit 77; }

keys=$scratch/trust-test
rm -rf "$keys" && mkdir -p "$keys/bundle/Cert" "$keys/bundle/Json" "$keys/bundle/Images"
cd "$keys"
"$source_dir/tests/data/make-testdata.sh" "$keys" > /dev/null
cp root.der bundle/Cert/Test_Root.cer
cp inter.der bundle/Cert/Test_Int.crt
printf '{\r\n  "rootCerts": ["Test_Root.cer"],\r\n  "interimCerts": ["Test_Int.crt"]\r\n}\r\n' > bundle/Json/Settings.json
cp "$source_dir/resources/Images/vyr.ico" bundle/Images/
printf '<RCC><qresource prefix="/">%s</qresource></RCC>\n' \
    "<file>Cert/Test_Root.cer</file><file>Cert/Test_Int.crt</file><file>Json/Settings.json</file><file>Images/vyr.ico</file>" \
    > bundle/vyr.qrc

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYR_SYSTEM_TRUST=ON \
    -DVYR_STORE_ROOT="$scratch/trust-stores" -DVYR_BUNDLE_QRC="$keys/bundle/vyr.qrc" > /dev/null
cmake --build "$build" --target vyr-cert-installer > /dev/null
app=$(realpath "$build/app/vyr-cert-installer")

# Everything from here on sees the copies only, and they go with the namespace.
exec unshare -m --propagation private bash -euo pipefail -c '
keys=$1 app=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$keys/copies/hooks"
cp -a /usr/local/share/ca-certificates "$keys/copies/local"
cp -a /etc/ssl/certs "$keys/copies/certs"
mount --bind "$keys/copies/local" /usr/local/share/ca-certificates
mount --bind "$keys/copies/certs" /etc/ssl/certs
# Other packages hook the refresh (Java keystores, say); their stores are not ours to change.
[ -d /etc/ca-certificates/update.d ] && mount --bind "$keys/copies/hooks" /etc/ca-certificates/update.d

port=$((20000 + RANDOM % 20000))
openssl s_server -quiet -accept "127.0.0.1:$port" -cert "$keys/leaf.pem" -key "$keys/leaf.key" \
    -cert_chain "$keys/inter.pem" -www > /dev/null 2>&1 &
server=$!
trap "kill $server 2>/dev/null" EXIT
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done

curl_ok() { curl -sS -o /dev/null --max-time 10 "https://127.0.0.1:$port/" 2>/dev/null; }
python_ok() {
    python3 - "$port" <<PY 2>/dev/null
import socket, ssl, sys
context = ssl.create_default_context()
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10) as plain:
    with context.wrap_socket(plain, server_hostname="127.0.0.1"):
        pass
PY
}
distribution_ok() {
    local roots=(/usr/share/ca-certificates/mozilla/*.crt)
    local some_root=${roots[0]}
    openssl verify -CApath /etc/ssl/certs "$some_root" > /dev/null 2>&1 || fail "$some_root no longer verifies"
}

distribution_ok
curl_ok && fail "curl accepted the test chain before --install"
python_ok && fail "Python accepted the test chain before --install"
"$app" --install > "$keys/install.out" || fail "--install: $(cat "$keys/install.out")"
grep -q "^system trust: updated (Debian)$" "$keys/install.out" || fail "--install: $(cat "$keys/install.out")"
[ "$(ls /usr/local/share/ca-certificates/vyr-cert-installer | wc -l)" = 1 ] || fail "not one root in the trust source"
curl_ok || fail "curl refused the test chain after --install"
python_ok || fail "Python refused the test chain after --install"
distribution_ok
"$app" --check > "$keys/check.out" || fail "--check: $(cat "$keys/check.out")"
grep -q "^system trust Test_Root.cer present$" "$keys/check.out" || fail "--check: $(cat "$keys/check.out")"
"$app" --remove > "$keys/remove.out" || fail "--remove: $(cat "$keys/remove.out")"
[ ! -e /usr/local/share/ca-certificates/vyr-cert-installer ] || fail "our folder stayed in the trust source"
curl_ok && fail "curl accepted the test chain after --remove"
python_ok && fail "Python accepted the test chain after --remove"
distribution_ok
echo "system trust: refused, trusted after --install by curl and Python, refused after --remove"
' - "$keys" "$app"
