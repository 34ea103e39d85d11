#!/usr/bin/env bash
# A test certificate authority and its certificate for localhost, made in DIR for the tests'
# HTTPS server: DIR/ca.pem (the root to trust), DIR/server.pem and DIR/server.key (nginx's).
#   make_test_ca.sh OPENSSL DIR
set -euo pipefail
openssl=$1
mkdir -p "$2"
cd "$2"
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' > server.ext
"$openssl" req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj '/CN=vintrel test root' -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign -keyout ca.key -out ca.pem
"$openssl" req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
  -keyout server.key -out server.csr
"$openssl" x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem
