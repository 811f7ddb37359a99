#!/bin/sh
# Makes the test authorities and certificates of the update query's TLS tests (RSA 2048: Wine's
# Schannel hands only RSA keys to GnuTLS in a server's handshake). Run from this folder; the
# results are committed, so the tests never depend on when they were made.
#   ca.pem            the test authority the tests trust
#   server.pem/.key   127.0.0.1, localhost and updates.orvi.test (the proxy tests), from ca.pem
#   expired.pem/.key  the same names as server.pem, from ca.pem, expired in 2021
#   othername.pem/.key  updates.elsewhere.test only, from ca.pem
#   otherca.pem       an authority the tests do not trust
#   otherca-server.pem/.key  the same names as server.pem, from otherca.pem
#   fakeca.pem        an authority of the test authority's very name, with a key of its own
#   fakeca-server.pem/.key  the same names as server.pem, from fakeca.pem
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

authority() { # name subject
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$1.pem" \
        -days 7300 -subj "/CN=$2" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# certificate name authority names [startdate enddate]
certificate() {
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$work/$1.csr" \
        -subj "/CN=$(echo "$3" | sed 's/^[A-Z]*://; s/,.*//')" 2>/dev/null
    mkdir -p "$work/db-$1"
    : > "$work/db-$1/index.txt"
    printf '%s\n' 01 > "$work/db-$1/serial"
    cat > "$work/db-$1/ca.conf" <<CONF
[ca]
default_ca = test
[test]
database = $work/db-$1/index.txt
serial = $work/db-$1/serial
new_certs_dir = $work/db-$1
certificate = $2.pem
private_key = $work/$2.key
default_md = sha256
default_days = 7300
policy = any
copy_extensions = none
x509_extensions = server
unique_subject = no
[any]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $3
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CONF
    dates=
    if [ $# -ge 5 ]; then dates="-startdate $4 -enddate $5"; fi
    # shellcheck disable=SC2086
    openssl ca -batch -notext -config "$work/db-$1/ca.conf" $dates -in "$work/$1.csr" \
        -out "$1.pem" 2>/dev/null
}

authority ca "Orvi test authority"
authority otherca "Another test authority"
authority fakeca "Orvi test authority"
certificate server ca "IP:127.0.0.1,DNS:localhost,DNS:updates.orvi.test"
certificate expired ca "IP:127.0.0.1,DNS:localhost,DNS:updates.orvi.test" 20200101000000Z 20210101000000Z
certificate othername ca "DNS:updates.elsewhere.test"
certificate otherca-server otherca "IP:127.0.0.1,DNS:localhost,DNS:updates.orvi.test"
certificate fakeca-server fakeca "IP:127.0.0.1,DNS:localhost,DNS:updates.orvi.test"
