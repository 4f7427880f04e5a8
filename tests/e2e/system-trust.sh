#!/usr/bin/env bash
# The system-trust step for real, on Debian, with real TLS clients, without
# touching this machine: inside a private mount namespace, /etc, /usr and /var
# are overlays whose changes go with it. A build with the step on, compiled
# with a test bundle whose keys this script made (the store tests' chain,
# whose leaf serves 127.0.0.1), against a local server that sends leaf and
# intermediate and logs each request: curl, Python, Java, Firefox (fresh
# profiles, and one that ran before the install) and Chromium refuse the
# chain before --install, trust it after, and refuse it again after --remove,
# which leaves no dangling link, no policy entry and no Java alias of ours.
# Then a later release that retires the root for another: after its
# --install, curl refuses the chain of the retired root and trusts one of the
# new root, and no file, policy entry or Java alias of the retired one is left. A
# client counts as trusting when its request reaches the server; each first
# reaches a plain-HTTP control page, so one that cannot start fails the test.
# Every client runs with a clean environment, in its own process group, ended
# at its deadline.
# Usage: system-trust.sh <source folder> <build folder> <scratch folder>
set -euo pipefail
source_dir=$(realpath "$1") build=$2 scratch=$3
here=$(dirname "$(realpath "$0")")
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: the private mount namespace needs root"; exit 77; }
[ -x /usr/sbin/update-ca-certificates ] || { echo "SKIP: not a Debian-family machine"; exit 77; }
for client in curl python3 java firefox-esr chromium keytool; do
    command -v "$client" > /dev/null || fail "$client is missing (scripts/deps.sh installs it)"
done

keys=$scratch/trust-test
rm -rf "$keys" && mkdir -p "$keys"
# This build's stores and its record (beside them) start empty, whatever an
# earlier suite left in the scratch folder.
rm -rf "$scratch/trust-stores" "$scratch/record.json"
cd "$keys"
"$source_dir/tests/data/make-testdata.sh" "$keys" > /dev/null
. "$here/bundle.sh"
make_bundle "$keys/bundle" root.pem inter.pem

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYR_SYSTEM_TRUST=ON \
    -DVYR_STORE_ROOT="$scratch/trust-stores" -DVYR_BUNDLE_DIR="$keys/bundle" > /dev/null
cmake --build "$build" --target vyr-cert-installer > /dev/null
cp "$build/app/vyr-cert-installer" "$keys/first-release"
# The later release: the other root in place of the test root, and a leaf of its own.
make_bundle "$keys/bundle2" other.pem inter.pem
cmake -S "$source_dir" -B "$build" -DVYR_BUNDLE_DIR="$keys/bundle2" > /dev/null
cmake --build "$build" --target vyr-cert-installer > /dev/null
cp "$build/app/vyr-cert-installer" "$keys/second-release"
# A release whose root may vouch for the organisation's names only.
make_bundle "$keys/bundle3" ncroot.pem inter.pem
cmake -S "$source_dir" -B "$build" -DVYR_BUNDLE_DIR="$keys/bundle3" > /dev/null
cmake --build "$build" --target vyr-cert-installer > /dev/null
cp "$build/app/vyr-cert-installer" "$keys/constrained-release"
cmake -S "$source_dir" -B "$build" -DVYR_BUNDLE_DIR="$keys/bundle" > /dev/null
openssl x509 -req -in leaf.csr -CA other.pem -CAkey other.key -set_serial 9 -sha256 -days 365 \
    -extfile openssl.cnf -extensions leaf -out other-leaf.pem 2> /dev/null
app=$keys/first-release
cat leaf.pem inter.pem > chain.pem
cat > Fetch.java <<'JAVA'
public class Fetch {
    public static void main(String[] arguments) throws Exception {
        java.net.HttpURLConnection connection =
            (java.net.HttpURLConnection) new java.net.URL(arguments[0]).openConnection();
        connection.setConnectTimeout(15000);
        connection.setReadTimeout(15000);
        try (java.io.InputStream in = connection.getInputStream()) {
            in.readAllBytes();
        }
    }
}
JAVA

# Everything from here on sees the overlays only, and they go with the namespace.
exec unshare -m --propagation private bash -euo pipefail -c '
keys=$1 app=$2 here=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
for tree in etc usr var; do
    mkdir -p "$keys/overlay/$tree/upper" "$keys/overlay/$tree/work"
    mount -t overlay "vyr-$tree" -o "lowerdir=/$tree,upperdir=$keys/overlay/$tree/upper,workdir=$keys/overlay/$tree/work" "/$tree"
done

tls=$((20000 + RANDOM % 20000)) plain=$((40000 + RANDOM % 20000))
log=$keys/requests.log
: > "$log"
/usr/bin/python3 "$here/tls-server.py" "$log" "$tls" "$plain" "$keys/chain.pem" "$keys/leaf.key" &
server=$!
other_tls=$((tls + 1)) other_plain=$((plain + 1))
/usr/bin/python3 "$here/tls-server.py" "$log" "$other_tls" "$other_plain" "$keys/other-leaf.pem" "$keys/leaf.key" &
other_server=$!
inside_tls=$((tls + 2)) outside_tls=$((tls + 3))
/usr/bin/python3 "$here/tls-server.py" "$log" "$inside_tls" "$((plain + 2))" "$keys/inside.pem" "$keys/leaf.key" &
inside_server=$!
/usr/bin/python3 "$here/tls-server.py" "$log" "$outside_tls" "$((plain + 3))" "$keys/outside.pem" "$keys/leaf.key" &
outside_server=$!
trap "kill $server $other_server $inside_server $outside_server 2>/dev/null" EXIT
for _ in $(seq 50); do [ "$(grep -c "^ready$" "$log")" -ge 4 ] && break; sleep 0.1; done

mkdir -p "$keys/home"
# seconds, pattern, command...: with a clean environment, in a process group
# of its own, ended whole at the deadline or as soon as the server has logged
# a line matching the pattern (none: the client ends by itself).
bounded() {
    local limit=$(( $1 * 10 )) until=$2 ticks=0 from
    from=$(wc -l < "$log")
    shift 2
    setsid env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$keys/home" LANG=C.UTF-8 "$@" \
        > "$keys/client.out" 2>&1 < /dev/null &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null && [ "$ticks" -lt "$limit" ]; do
        [ -n "$until" ] && tail -n "+$((from + 1))" "$log" | grep -qE "$until" && break
        sleep 0.1
        ticks=$((ticks + 1))
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
visit() { # client url [pattern that ends it]
    local profile=$keys/profiles/$profile_name until=${3:-}
    case $1 in
    curl) bounded 20 "$until" curl -sS -o /dev/null --max-time 15 "$2" ;;
    python) bounded 20 "$until" python3 -c "import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=15).read()" "$2" ;;
    java) bounded 60 "$until" java "$keys/Fetch.java" "$2" ;;
    firefox*) mkdir -p "$profile"
              bounded 60 "$until" firefox-esr --headless --no-remote --profile "$profile" --screenshot "$profile/shot.png" "$2" ;;
    chromium) mkdir -p "$profile"
              bounded 60 "$until" chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
                  --disable-background-networking --disable-component-update --disable-sync \
                  --user-data-dir="$profile" --dump-dom "$2" ;;
    esac
}
# phase, expected (trusted|refused): every client reaches its control page,
# then the TLS page or not.
clients() {
    local client verdict
    local port=${3:-$tls}
    for client in ${4:-curl python java firefox-fresh firefox-existing chromium}; do
        started=$(date +%s)
        profile_name=$client-$1
        [ "$client" = firefox-existing ] && profile_name=firefox-existing
        visit "$client" "http://127.0.0.1:$plain/$client-$1-control"
        grep -qx "plain /$client-$1-control" "$log" || fail "$client did not start ($1): $(cat "$keys/client.out")"
        from=$(wc -l < "$log")
        visit "$client" "https://127.0.0.1:$port/$client-$1" "^(tls /$client-$1|alert)$"
        verdict=none
        tail -n "+$((from + 1))" "$log" | grep -qx alert && verdict=refused
        grep -qx "tls /$client-$1" "$log" && verdict=trusted
        echo "$1: $client $verdict ($(( $(date +%s) - started )) s)"
        [ "$verdict" = "$2" ] || fail "$client $verdict the chain $1, expected $2: $(tail -n 5 "$keys/client.out")"
    done
}
distribution_ok() {
    local roots=(/usr/share/ca-certificates/mozilla/*.crt)
    openssl verify -CApath /etc/ssl/certs "${roots[0]}" > /dev/null 2>&1 || fail "${roots[0]} no longer verifies"
}
fingerprint=$(openssl x509 -in "$keys/root.pem" -noout -fingerprint -sha256 | cut -d= -f2)
java_holds() { keytool -list -keystore /etc/ssl/certs/java/cacerts -storepass changeit 2>/dev/null | grep -q "$fingerprint"; }
root_der=$(openssl x509 -in "$keys/root.pem" -outform DER | base64 -w0)
root_sha1=$(openssl x509 -in "$keys/root.pem" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :)

distribution_ok
clients before refused
"$app" --install > "$keys/install.out" || fail "--install: $(cat "$keys/install.out")"
grep -q "^system trust: updated (Debian)$" "$keys/install.out" || fail "--install: $(cat "$keys/install.out")"
[ "$(ls /usr/local/share/ca-certificates/vyr-cert-installer | wc -l)" = 1 ] || fail "not one root in the trust source"
clients after-install trusted
distribution_ok
java_holds || fail "Java lacks the root after --install"
"$app" --check > "$keys/check.out" || fail "--check: $(cat "$keys/check.out")"
for target in bundle firefox chromium java; do
    grep -qx "trust target $target present" "$keys/check.out" || fail "--check: $(cat "$keys/check.out")"
done
"$app" --install > "$keys/again.out" || fail "a second --install: $(cat "$keys/again.out")"
grep -qx "system trust: unchanged (Debian)" "$keys/again.out" && [ "$(grep -c " present$" "$keys/again.out")" = 2 ] \
    || fail "a second --install changed something: $(cat "$keys/again.out")"
"$app" --remove > "$keys/remove.out" || fail "--remove: $(cat "$keys/remove.out")"
[ ! -e /usr/local/share/ca-certificates/vyr-cert-installer ] || fail "our folder stayed in the trust source"
clients after-remove refused
distribution_ok
[ -z "$(find /etc/ssl/certs -xtype l)" ] || fail "dangling links: $(find /etc/ssl/certs -xtype l)"
! grep -qs vyr-cert-installer /etc/firefox/policies/policies.json || fail "our Firefox policy entry stayed"
[ ! -e /etc/chromium/policies ] || fail "our Chromium policy stayed: $(find /etc/chromium/policies)"
! java_holds || fail "Java still holds the root after --remove"

"$app" --install > "$keys/first.out" || fail "the first release again: $(cat "$keys/first.out")"
"$keys/second-release" --install > "$keys/second.out" || fail "the second release: $(cat "$keys/second.out")"
grep -qx "ROOT Test_Root.cer $root_sha1 withdrawn" "$keys/second.out" && grep -q " added$" "$keys/second.out" \
    || fail "the second release: $(cat "$keys/second.out")"
clients retired refused "$tls" curl
clients new-root trusted "$other_tls" curl
[ ! -e "/usr/local/share/ca-certificates/vyr-cert-installer/$root_sha1.crt" ] || fail "the retired root stayed in the trust source"
! grep -q "$root_der" /etc/chromium/policies/managed/vyr-cert-installer.json || fail "the retired root stayed in Chromium'"'"'s policy"
! java_holds || fail "Java still holds the retired root"
[ -z "$(find /etc/ssl/certs -xtype l)" ] || fail "dangling links: $(find /etc/ssl/certs -xtype l)"

# A root limited to names of its own vouches for a leaf inside them, not one outside.
"$keys/constrained-release" --install > "$keys/constrained.out" || fail "the constrained release: $(cat "$keys/constrained.out")"
named() { # name, port, path, expected
    local from verdict=none
    from=$(wc -l < "$log")
    bounded 20 "^(tls /$3|alert)$" curl -sS -o /dev/null --max-time 15 --resolve "$1:$2:127.0.0.1" "https://$1:$2/$3"
    tail -n "+$((from + 1))" "$log" | grep -qx alert && verdict=refused
    grep -qx "tls /$3" "$log" && verdict=trusted
    echo "a root limited to corp.test: curl $verdict $1"
    [ "$verdict" = "$4" ] || fail "curl $verdict $1 under a root limited to corp.test, expected $4: $(tail -n 5 "$keys/client.out")"
}
named inside.corp.test "$inside_tls" inside trusted
named outside.example "$outside_tls" outside refused
"$keys/constrained-release" --remove > /dev/null || fail "--remove of the constrained release"

# A full disk under Firefox'"'"'s policy folder: the administrator'"'"'s own
# policies (8,005 bytes, without our device) stay byte for byte, no
# temporary file is left, and the run says it failed.
"$app" --remove > /dev/null || fail "--remove before the full disk"
mkdir -p /etc/firefox/policies
mount -t tmpfs -o size=12k vyr-full /etc/firefox/policies
python3 -c "import json, sys
policies = {\"DisableTelemetry\": True, \"Bookmarks\": [{\"Title\": \"Intranet %d\" % n, \"URL\": \"https://intranet.example/%d\" % n} for n in range(126)]}
text = json.dumps({\"policies\": policies}, separators=(\",\", \":\"))
sys.stdout.write(text + \" \" * (8005 - len(text)))" > /etc/firefox/policies/policies.json
[ "$(stat -c %s /etc/firefox/policies/policies.json)" = 8005 ] || fail "the administrator'"'"'s policies are not 8,005 bytes"
cp /etc/firefox/policies/policies.json "$keys/admin-policies.json"
dd if=/dev/zero of=/etc/firefox/policies/.filler bs=1k count=64 2> /dev/null || true
code=0
"$app" --install > "$keys/full.out" 2>&1 || code=$?
[ "$code" = 1 ] && grep -qx "trust target firefox failed: /etc/firefox/policies/policies.json could not be written" "$keys/full.out" \
    || fail "--install on a full disk exited $code: $(cat "$keys/full.out")"
cmp -s "$keys/admin-policies.json" /etc/firefox/policies/policies.json \
    || fail "the administrator'"'"'s policies changed on a full disk: $(stat -c %s /etc/firefox/policies/policies.json) bytes"
[ "$(ls -A /etc/firefox/policies | tr "\n" " ")" = ".filler policies.json " ] || fail "left behind: $(ls -A /etc/firefox/policies)"
umount /etc/firefox/policies
echo "a full disk under /etc/firefox/policies: the administrator'"'"'s policies kept byte for byte, the run failed"
echo "every client refused, trusted after --install, refused after --remove; nothing of ours left;"
echo "the second release withdrew the retired root: curl refuses its chain and trusts the new root'"'"'s"
' - "$keys" "$app" "$here"
