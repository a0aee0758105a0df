#!/bin/sh
# Makes a throw-away certificate authority in the given folder:
#   ca.pem / ca.key            the authority
#   server.pem / server.key    for 127.0.0.1 and localhost, signed by the authority
#   client.pem / client.key    a client certificate signed by the authority (RSA key, PEM)
#   other.pem / other.key      a self-signed client certificate the authority does not know
set -eu
dir="$1"
cd "$dir"
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Lane Test CA" \
    -keyout ca.key -out ca.pem
q openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" -keyout server.key -out server.csr
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > server.ext
q openssl x509 -req -sha256 -days 2 -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -extfile server.ext -out server.pem
q openssl genrsa -traditional -out client.key 2048
q openssl req -new -sha256 -subj "/CN=lane-terminal" -key client.key -out client.csr
printf 'extendedKeyUsage=clientAuth\n' > client.ext
q openssl x509 -req -sha256 -days 2 -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -extfile client.ext -out client.pem
q openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Stranger" \
    -keyout other.key -out other.pem
openssl rsa -in other.key -traditional -out other.key >/dev/null 2>&1
echo ok
