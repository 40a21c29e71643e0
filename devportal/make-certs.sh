#!/bin/sh
# Makes a throwaway CA and the certificates of the development portal:
#   ca.pem ca.key            the CA
#   server.pem server.key    the portal (TLS Web Server Authentication, 127.0.0.1)
#   client.pem client.key    a device whose CommonName is the activation code
#   other.pem other.key      a device with another CommonName (wrong code)
#   stray.key                a key that belongs to no certificate
# Usage: make-certs.sh DIR [ACTIVATION_CODE]   (code default: DEV000000001)
set -eu
dir=${1:?usage: make-certs.sh DIR [ACTIVATION_CODE]}
code=${2:-DEV000000001}
mkdir -p "$dir"
cd "$dir"
days=3650
ossl() { openssl "$@" 2>/dev/null; }

ossl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days "$days" \
    -subj "/CN=Development Portal CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
cat > client.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=clientAuth
EXT

issue() {  # name subject extfile
    ossl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2"
    ossl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$1.pem" \
        -days "$days" -extfile "$3"
    rm -f "$1.csr"
}
issue server "/CN=127.0.0.1" server.ext
issue client "/CN=$code" client.ext
issue other "/CN=WRONG0000000" client.ext
ossl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out stray.key
rm -f server.ext client.ext ca.srl
chmod 600 ./*.key
echo "certificates in $dir (activation code $code)"
