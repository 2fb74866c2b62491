#!/bin/sh
# Creates the certificates the TLS tests need, all in DIR:
#   ca.pem/ca.key                 test certificate authority
#   server.pem/server.key         127.0.0.1, ::1 and localhost, signed by the CA
#   wronghost.pem/wronghost.key   signed by the CA, but only for wrong.example
#   expired.pem/expired.key       right names, signed by the CA, validity over in 2020
#   selfsigned.pem/selfsigned.key right names, valid dates, but self-signed
# Each bad certificate has exactly one defect, so a test that sees it
# rejected knows which check did the rejecting.
#
# Quiet on success. Safe to run repeatedly and concurrently on the same DIR:
# an existing, still valid set is kept, otherwise the whole set is replaced.
set -eu

if [ "$#" -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
dir=$1
command -v openssl >/dev/null 2>&1 || { echo "$0: openssl not found" >&2; exit 1; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# Two test runs sharing DIR must not interleave, or one could end up with
# a server certificate from a CA the other one replaced.
if command -v flock >/dev/null 2>&1; then
    exec 9>"$dir/.certs.lock"
    flock 9
fi

all_files="ca.pem ca.key server.pem server.key wronghost.pem wronghost.key
expired.pem expired.key selfsigned.pem selfsigned.key"

set_is_usable() {
    for f in $all_files; do
        [ -s "$dir/$f" ] || return 1
    done
    # Keep a set only while its good certificates stay good for another day;
    # otherwise a long-lived build directory would start failing TLS tests.
    for f in ca.pem server.pem wronghost.pem; do
        openssl x509 -in "$dir/$f" -noout -checkend 86400 >/dev/null 2>&1 || return 1
    done
    openssl verify -CAfile "$dir/ca.pem" "$dir/server.pem" "$dir/wronghost.pem" >/dev/null 2>&1
}

if set_is_usable; then
    exit 0
fi

work=$(mktemp -d "$dir/.certs.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP

# A private configuration, so nothing depends on the host's openssl.cnf.
cat >"$work/openssl.cnf" <<CNF
[ req ]
distinguished_name = req_dn
prompt             = no
[ req_dn ]
CN = placeholder

[ ca ]
default_ca = test_ca
[ test_ca ]
dir              = $work/db
database         = \$dir/index.txt
new_certs_dir    = \$dir/new
serial           = \$dir/serial
default_md       = sha256
policy           = policy_any
unique_subject   = no
email_in_dn      = no
copy_extensions  = none
[ policy_any ]
commonName = supplied

[ ext_ca ]
basicConstraints       = critical, CA:TRUE
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash

[ ext_server ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
subjectAltName         = IP:127.0.0.1, IP:0:0:0:0:0:0:0:1, DNS:localhost

[ ext_wronghost ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
subjectAltName         = DNS:wrong.example

[ ext_selfsigned ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectKeyIdentifier   = hash
subjectAltName         = IP:127.0.0.1, IP:0:0:0:0:0:0:0:1, DNS:localhost
CNF
mkdir "$work/db" "$work/db/new"
: >"$work/db/index.txt"
echo 1000 >"$work/db/serial"
export OPENSSL_CONF="$work/openssl.cnf"

log=$work/openssl.log
run() {
    if ! "$@" >>"$log" 2>&1; then
        echo "$0: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

newkey() {
    run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/$1.key"
}

newkey ca
run openssl req -config "$work/openssl.cnf" -new -x509 -key "$work/ca.key" \
    -subj "/CN=Installer Test CA" -days 3650 -sha256 \
    -extensions ext_ca -out "$work/ca.pem"

# Signs NAME.csr with the test CA; extra arguments choose the validity period.
sign() {
    name=$1; ext=$2; shift 2
    run openssl ca -config "$work/openssl.cnf" -batch -notext \
        -cert "$work/ca.pem" -keyfile "$work/ca.key" \
        -extensions "$ext" -in "$work/$name.csr" -out "$work/$name.pem" "$@"
}

for name in server wronghost expired; do
    newkey "$name"
    run openssl req -config "$work/openssl.cnf" -new -key "$work/$name.key" \
        -subj "/CN=$name" -out "$work/$name.csr"
done
sign server ext_server -days 3650
sign wronghost ext_wronghost -days 3650
# x509 -req in OpenSSL 3.0 can only count days forward from now; "openssl ca"
# accepts explicit dates, which is what a certificate that ended in the past needs.
sign expired ext_server -startdate 20200101000000Z -enddate 20200102000000Z

newkey selfsigned
run openssl req -config "$work/openssl.cnf" -new -x509 -key "$work/selfsigned.key" \
    -subj "/CN=selfsigned" -days 3650 -sha256 \
    -extensions ext_selfsigned -out "$work/selfsigned.pem"

chmod 600 "$work"/*.key
# The CA goes last, so a half-replaced set (say, after running out of disk)
# fails the validity check above and is regenerated on the next run.
for f in $all_files; do
    case $f in ca.*) continue ;; esac
    mv -f "$work/$f" "$dir/$f"
done
mv -f "$work/ca.key" "$dir/ca.key"
mv -f "$work/ca.pem" "$dir/ca.pem"
