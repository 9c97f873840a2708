#!/bin/sh
# Makes the test certificates in this folder: keys for the tests only,
# never of a real service. Kept in git; rerun only to change them.
#   ca         the test CA
#   server     signed by the CA for localhost, 127.0.0.1 and ::1
#   wrongname  signed by the CA for wrong.example only
#   untrusted  self-signed for the same names as server
#   expired    signed by the CA for the same names, valid during 2020 only
# `openssl ca` is used because it sets fixed dates (2020-01-01 plus 100
# years), which `x509 -days` cannot before OpenSSL 3.4.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/index.txt"
echo 01 >"$work/serial"
cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $work/index.txt
serial = $work/serial
new_certs_dir = $work
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf_ext]
basicConstraints = CA:false
subjectAltName = \$ENV::SAN
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[selfsigned_ext]
basicConstraints = CA:false
subjectAltName = \$ENV::SAN
subjectKeyIdentifier = hash
CNF

names="DNS:localhost, IP:127.0.0.1, IP:::1"
start=20200101000000Z
end=21191231235959Z

# issue NAME CN SAN EXTENSIONS [ca arguments...]
issue() {
    name=$1 cn=$2 SAN=$3 ext=$4
    export SAN
    shift 4
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.key"
    openssl req -new -key "$name.key" -subj "/CN=$cn" -out "$work/$name.csr"
    openssl ca -batch -notext -rand_serial -config "$work/ca.cnf" -extensions "$ext" \
        -in "$work/$name.csr" -out "$name.pem" "$@"
    chmod 644 "$name.key"
}

issue ca "Vorpa test CA" "" ca_ext -selfsign -keyfile ca.key -startdate $start -enddate $end
issue server localhost "$names" leaf_ext -cert ca.pem -keyfile ca.key -startdate $start -enddate $end
issue wrongname wrong.example "DNS:wrong.example" leaf_ext -cert ca.pem -keyfile ca.key \
    -startdate $start -enddate $end
issue untrusted localhost "$names" selfsigned_ext -selfsign -keyfile untrusted.key \
    -startdate $start -enddate $end
issue expired localhost "$names" leaf_ext -cert ca.pem -keyfile ca.key \
    -startdate $start -enddate 20210101000000Z
