#!/bin/sh
# Makes a test CA and a code-signing certificate it issued, in DIR, once:
#   test-ca.pem   the CA's certificate (what a signature is checked against)
#   signing.p12   the code-signing certificate and its key, PKCS#12
#   signing.pass  the PKCS#12 file's password
# Usage: test_signing_cert.sh DIR PUBLISHER
set -eu
dir="$1"
publisher="$2"
[ -f "$dir/signing.p12" ] && [ -f "$dir/test-ca.pem" ] && [ -f "$dir/signing.pass" ] && exit 0
mkdir -p "$dir"
tmp=$(mktemp -d "$dir/.new.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
cat >leaf.ext <<EXT
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/CN=$publisher test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr \
  -subj "/CN=$publisher/O=$publisher" 2>/dev/null
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out leaf.pem \
  -days 3650 -extfile leaf.ext 2>/dev/null
openssl rand -hex 16 >signing.pass
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -out signing.p12 \
  -passout "file:signing.pass" 2>/dev/null
chmod 600 signing.pass ca.key leaf.key
mv signing.pass signing.p12 "$dir/"
mv ca.pem "$dir/test-ca.pem"
