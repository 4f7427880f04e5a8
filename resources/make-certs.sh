#!/usr/bin/env bash
# Makes the nine CA certificates of the bundle (four self-signed roots and five
# intermediates) with the openssl command line, as DER files in Cert/. The
# private keys live in a temporary folder only and are gone when this ends.
#
# Each certificate has a fixed size in bytes; the names below bring it close,
# and the serial number's length (8 to 20 octets) makes up the rest. After a
# change of names, MEASURE=1 reports every certificate's slack without stopping.
set -euo pipefail
cd "$(dirname "$0")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/ext.cnf" <<'CNF'
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
[root_pathlen2]
basicConstraints = CA:TRUE, pathlen:2
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
[inter_pathlen1]
basicConstraints = critical, CA:TRUE, pathlen:1
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:${ENV::CRL_URI}
authorityInfoAccess = caIssuers;URI:${ENV::ISSUER_URI}
[inter]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:${ENV::CRL_URI}
authorityInfoAccess = caIssuers;URI:${ENV::ISSUER_URI}
CNF

# Set for each intermediate in sign(); the config needs them defined throughout.
export CRL_URI=unset ISSUER_URI=unset

org="/C=RO/ST=Bucuresti/L=Bucuresti/O=Vyr Systems S.R.L."

# file | issuer file ("-" for self-signed) | size | extensions | subject
certs=(
  "Vyr_Root_CA_1.cer|-|1689|root|$org/OU=Vyr Trust Services/OU=Certification Services/CN=Vyr Systems Root Certification Authority - G1/emailAddress=pki@vyr.ro"
  "Vyr_Root_CA_2.cer|-|1715|root|$org/OU=Vyr Trust Services/OU=Certification Authority Operations/CN=Vyr Systems Root Certification Authority - G2/emailAddress=pki-ops@vyr.ro"
  "Vyr_Root_CA_3.crt|-|1808|root_pathlen2|$org/OU=Vyr Trust Services/OU=Certification Operations/OU=Infrastructure & Device Identity/CN=Vyr Systems Infrastructure Root Certification Authority - G3/emailAddress=pki@vyr.ro"
  "Vyr_Root_CA_4.cer|-|1718|root|$org/OU=Vyr Trust Services/OU=Certification Authority Operations/CN=Vyr Systems Root Certification Authority - G4/emailAddress=pki-ops@vyr.ro"
  "Vyr_Int_1.crt|Vyr_Root_CA_3.crt|1877|inter_pathlen1|$org/OU=Vyr Trust Services/OU=Infrastructure & Device Identity/CN=Vyr Device Issuing CA - G3 01"
  "Vyr_Int_2.crt|Vyr_Root_CA_2.cer|1845|inter_pathlen1|$org/OU=Vyr Trust Services/OU=Certification Authority Operations/CN=Vyr Systems Server Issuing CA - G2 01"
  "Vyr_Int_3.crt|Vyr_Root_CA_2.cer|1852|inter_pathlen1|$org/OU=Vyr Trust Services/OU=CA Operations/CN=Vyr Systems Client Issuing CA - G2 02/emailAddress=pki@vyr.ro"
  "Vyr_Int_4.crt|Vyr_Root_CA_4.cer|1876|inter|$org/OU=Vyr Trust Services/OU=Certification Authority Operations/CN=Vyr Systems Code Signing Issuing CA - G4 01/emailAddress=pki@vyr.ro"
  "Vyr_Int_5.crt|Vyr_Root_CA_4.cer|1878|inter|$org/OU=Vyr Trust Services/OU=Certification Authority Operations/CN=Vyr Systems Document Signing Issuing CA - G4 02/emailAddress=pki@vyr.ro"
)

# A positive serial of exactly $1 octets: first octet 0x10 to 0x7F.
serial() {
  local hex
  hex=$(openssl rand -hex "$1")
  printf '0x%x%s' $((0x${hex:0:1} % 7 + 1)) "${hex:1}"
}

sign() { # file issuer extensions subject serial-octets output
  local file=$1 issuer=$2 ext=$3 subject=$4 octets=$5 out=$6
  if [ "$issuer" = - ]; then
    openssl req -x509 -new -key "$work/$file.key" -sha1 -days 7305 -set_serial "$(serial "$octets")" \
      -subj "$subject" -config "$work/ext.cnf" -extensions "$ext" -outform DER -out "$out"
  else
    # Where a relying party finds the issuer and its revocation list.
    export CRL_URI="http://pki.vyr.ro/crl/${issuer%.*}.crl" ISSUER_URI="http://pki.vyr.ro/ca/$issuer"
    openssl req -new -key "$work/$file.key" -subj "$subject" -config "$work/ext.cnf" -out "$work/$file.csr"
    openssl x509 -req -in "$work/$file.csr" -CA "$work/$issuer.pem" -CAkey "$work/$issuer.key" -sha1 \
      -days 5479 -set_serial "$(serial "$octets")" -extfile "$work/ext.cnf" -extensions "$ext" \
      -outform DER -out "$out" 2>/dev/null
  fi
}

for entry in "${certs[@]}"; do
  IFS='|' read -r file issuer size ext subject <<< "$entry"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -pkeyopt rsa_keygen_pubexp:65537 \
    -out "$work/$file.key" 2>/dev/null
  sign "$file" "$issuer" "$ext" "$subject" 8 "$work/$file.der"
  octets=$((8 + size - $(stat -c %s "$work/$file.der")))
  if [ "$octets" -lt 8 ] || [ "$octets" -gt 20 ]; then
    echo "$file: the subject names leave $((octets - 8)) bytes for the serial; adjust them" >&2
    [ -n "${MEASURE:-}" ] || exit 1
    octets=$((octets < 8 ? 8 : 20))
  fi
  sign "$file" "$issuer" "$ext" "$subject" "$octets" "$work/$file.der"
  [ "$(stat -c %s "$work/$file.der")" -eq "$size" ] || [ -n "${MEASURE:-}" ] || { echo "$file: size $(stat -c %s "$work/$file.der") is not $size" >&2; exit 1; }
  openssl x509 -inform DER -in "$work/$file.der" -out "$work/$file.pem"
  cp "$work/$file.der" "Cert/$file"
  echo "$file: $size bytes"
done

# The settings file names the roots, then the intermediates, in the order
# above, with CR LF line ends and the indentation the shipped file has always had.
names() {
  for entry in "${certs[@]}"; do
    IFS='|' read -r file issuer _ <<< "$entry"
    if [ "$issuer" "$1" - ]; then echo "$file"; fi
  done
}
quoted() { local sep=""; while read -r name; do printf '%s      "%s"' "$sep" "$name"; sep=$',\r\n'; done; printf '\r\n'; }
{
  printf '{\r\n  "rootCerts":[\r\n'
  names = | quoted
  printf '    ],\r\n    "interimCerts":[\r\n'
  names != | quoted
  printf '      ]\r\n}\r\n'
} > Json/Settings.json
echo "Json/Settings.json: $(stat -c %s Json/Settings.json) bytes"
