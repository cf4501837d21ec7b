#!/bin/sh
# Makes a certificate chain of our own in DIR: root -> intermediate -> leaf
# (CN=NAME), PEM for the server (leaf.pem, leaf.key, chain.pem holding the
# intermediate and the root) and DER copies of all three for comparison.
#   make_cert_chain.sh DIR NAME
set -eu
dir=$1 name=$2
cd "$dir"
ossl() { openssl "$@" >/dev/null 2>&1; }
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > ca.ext
printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:%s\n' "$name" > leaf.ext
ossl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=zem test root" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
ossl req -newkey rsa:2048 -nodes -keyout inter.key -out inter.csr -subj "/CN=zem test intermediate"
ossl x509 -req -in inter.csr -CA root.pem -CAkey root.key -CAcreateserial -out inter.pem -days 2 -extfile ca.ext
ossl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=$name"
ossl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -CAcreateserial -out leaf.pem -days 2 -extfile leaf.ext
cat inter.pem root.pem > chain.pem
for c in root inter leaf; do openssl x509 -in $c.pem -outform DER -out $c.der; done
