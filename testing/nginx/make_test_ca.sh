#!/bin/bash
# Makes throw-away certificates for https tests in OUTDIR:
#   ca.pem                   a test certificate authority no system trusts
#   server.pem, server.key   a server certificate for IP 127.0.0.1 and
#                            "localhost", issued by that authority
#   wronghost.pem, .key      issued by the same authority for another name
#   other-ca.pem             a second, unrelated authority
# Creates OUTDIR/done when everything is in place (callers under Wine wait
# for that file), OUTDIR/failed otherwise.
set -eu
out=${1:?usage: make_test_ca.sh OUTDIR}
mkdir -p "$out"
cd "$out"
trap '[ -e done ] || touch failed' EXIT
ca() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=Renewel test authority $1" -keyout "$1.key" -out "$1.pem" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() {  # name subject-alt-names
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
    -keyout "$1.key" -out "$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:false\nextendedKeyUsage=serverAuth\n' "$2" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
ca ca
ca other-ca
leaf server "IP:127.0.0.1,DNS:localhost"
leaf wronghost "DNS:elsewhere.invalid"
touch done
