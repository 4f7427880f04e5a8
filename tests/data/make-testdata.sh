#!/usr/bin/env bash
# Makes the files the store tests import, into folder $1: a test chain (root,
# intermediate, leaf, the leaf fit to serve TLS on 127.0.0.1) in DER and PEM, a second unrelated root, and files that
# are no single certificate: a CRL (DER and PEM), a PKCS #7 bundle, a private
# key, two certificates in one PEM file, a truncated and an overlong DER file,
# text, an empty file. rekeyed has the test root's subject under another key.
# Thumbprints go to <name>.sha1 (40 uppercase hex digits). Given the bundle's
# certificate folder as $2, also same_subject.pem: a root of its own with the
# subject of the bundle's first root, under another key. Also certificates the
# bundle check must refuse: expired, future, selfleaf, forged; and tendays;
# and roots with name constraints: ncroot (DNS and IP; its leaves inside and
# outside its names), dnsroot (DNS only).
set -euo pipefail
out=$1
bundle=${2:+$(cd "$2" && pwd)}
mkdir -p "$out"
cd "$out"

cat > openssl.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[inter]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:leaf.vyr.test, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[selfleaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
# Roots limited to names of their own: DNS names and IP addresses, or DNS names only.
[ncroot]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical, permitted;DNS:corp.test, permitted;IP:10.0.0.0/255.0.0.0
[dnsroot]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
nameConstraints = critical, permitted;DNS:corp.test
# Leaves of ncroot: one inside its names, one outside them.
[inside]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:inside.corp.test
authorityKeyIdentifier = keyid:always
[outside]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:outside.example
authorityKeyIdentifier = keyid:always
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
crlnumber = crlnumber
default_md = sha256
default_crl_days = 30
# Roots dated in the past or the future, which only "openssl ca" can date.
[dated_ca]
database = dated-index.txt
new_certs_dir = .
serial = dated-serial
default_md = sha256
policy = dated_policy
unique_subject = no
[dated_policy]
commonName = supplied
CNF
: > index.txt
echo 01 > crlnumber

key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
key root.key
key inter.key
key leaf.key
key other.key
key rekeyed.key

openssl req -x509 -new -key root.key -sha256 -days 3650 -subj "/O=Vyr Tests/CN=Vyr Test Root" \
    -config openssl.cnf -extensions root -out root.pem
openssl req -x509 -new -key other.key -sha256 -days 3650 -subj "/O=Elsewhere/CN=Unrelated Root" \
    -config openssl.cnf -extensions root -out other.pem
# The same subject as the test root, under another key.
openssl req -x509 -new -key rekeyed.key -sha256 -days 3650 -subj "/O=Vyr Tests/CN=Vyr Test Root" \
    -config openssl.cnf -extensions root -out rekeyed.pem
openssl req -new -key inter.key -subj "/O=Vyr Tests/CN=Vyr Test Intermediate" -config openssl.cnf -out inter.csr
openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -sha256 -days 3650 \
    -extfile openssl.cnf -extensions inter -out inter.pem 2>/dev/null
openssl req -new -key leaf.key -subj "/O=Vyr Tests/CN=leaf.vyr.test" -config openssl.cnf -out leaf.csr
openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -set_serial 3 -sha256 -days 365 \
    -extfile openssl.cnf -extensions leaf -out leaf.pem 2>/dev/null

for name in root rekeyed other inter leaf; do
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    openssl x509 -in "$name.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' > "$name.sha1"
done

openssl ca -gencrl -config openssl.cnf -keyfile root.key -cert root.pem -out crl.pem 2>/dev/null
openssl crl -in crl.pem -outform DER -out crl.der
openssl crl2pkcs7 -nocrl -certfile root.pem -outform DER -out p7.der
cp root.key key.pem
cat root.pem inter.pem > two.pem
head -c 600 root.der > truncated.der
{ cat root.der; printf '\0'; } > trailing.der
printf 'Not a certificate.\n' > text.txt
: > empty.der

# What a release's check refuses or warns about: an expired root, one not yet
# valid, one with ten days left, a self-signed end-entity certificate, and an
# intermediate that names the test root as its issuer but is signed by the
# root of the same subject under another key.
: > dated-index.txt
echo 10 > dated-serial
dated() {
    openssl req -new -key other.key -subj "/CN=$1" -config openssl.cnf -out "$1.csr"
    openssl ca -batch -config openssl.cnf -name dated_ca -selfsign -keyfile other.key -in "$1.csr" \
        -startdate "$2" -enddate "$3" -extfile openssl.cnf -extensions root -notext -out "$1.pem" 2>/dev/null
}
dated expired 20200101000000Z 20210101000000Z
dated future 20400101000000Z 20450101000000Z
openssl req -x509 -new -key other.key -sha256 -days 10 -subj "/CN=Ten Days Root" -config openssl.cnf \
    -extensions root -out tendays.pem
openssl req -x509 -new -key leaf.key -sha256 -days 365 -subj "/CN=Self-signed Leaf" -config openssl.cnf \
    -extensions selfleaf -out selfleaf.pem
openssl x509 -req -in inter.csr -CA rekeyed.pem -CAkey rekeyed.key -set_serial 4 -sha256 -days 3650 \
    -extfile openssl.cnf -extensions inter -out forged.pem 2>/dev/null
openssl req -x509 -new -key other.key -sha256 -days 3650 -subj "/CN=Corp Names Root" -config openssl.cnf \
    -extensions ncroot -out ncroot.pem
openssl req -x509 -new -key other.key -sha256 -days 3650 -subj "/CN=Corp DNS Root" -config openssl.cnf \
    -extensions dnsroot -out dnsroot.pem
serial=20
for side in inside outside; do
    serial=$((serial + 1))
    openssl x509 -req -in leaf.csr -CA ncroot.pem -CAkey other.key -set_serial "$serial" -sha256 -days 365 \
        -extfile openssl.cnf -extensions "$side" -out "$side.pem" 2>/dev/null
done
for name in expired future tendays selfleaf forged ncroot dnsroot; do
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
done

if [ -n "$bundle" ]; then
    key same_subject.key
    openssl x509 -x509toreq -inform DER -in "$bundle/Vyr_Root_CA_1.cer" -signkey same_subject.key \
        -out same_subject.csr 2>/dev/null
    # Its authority key identifier keeps OpenSSL from taking the bundled root,
    # found first by subject, for its issuer.
    openssl x509 -req -in same_subject.csr -signkey same_subject.key -days 3650 -extfile openssl.cnf \
        -extensions inter -out same_subject.pem 2>/dev/null
    openssl x509 -in same_subject.pem -outform DER -out same_subject.der
    openssl x509 -in same_subject.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' > same_subject.sha1
fi
