#!/usr/bin/env bash
# A throwaway certificate authority and a code-signing certificate it
# issued, for trying and testing signed releases (never for a release that
# leaves the house):
#
#   make-test-cert.sh DIR [PASSWORD]
#
# writes DIR/ca.pem (the authority's certificate: check-release.sh --ca),
# DIR/signing.pfx (key and certificate with the authority's, PKCS#12, for
# sign-release.sh) and DIR/password (PASSWORD, default "test", mode 0600).
set -euo pipefail
[[ $# -ge 1 && $# -le 2 ]] || { echo "usage: make-test-cert.sh DIR [PASSWORD]" >&2; exit 2; }
dir=$1 password=${2:-test}
mkdir -p "$dir"
cd "$dir"
umask 077
printf '%s' "$password" >password
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -sha256 \
  -subj "/CN=Kestrio Setup Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signing.key -out signing.csr -subj "/CN=Kestrio Setup Test Signing" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signing.ext
openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signing.pem -days 3650 -sha256 \
  -extfile signing.ext 2>/dev/null
openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem -out signing.pfx \
  -passout "file:password"
rm -f ca.key ca.srl signing.key signing.csr signing.ext signing.pem
chmod 0644 ca.pem
