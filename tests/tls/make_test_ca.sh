#!/usr/bin/env bash
# Makes a throw-away certificate authority and the server certificates the TLS
# tests use, into OUTDIR. Nothing here is trusted anywhere but inside a test:
# natively through SSL_CERT_FILE=OUTDIR/ca.pem, under Wine through the test
# prefix's own store.
#
#   good.pem/key      for localhost and 127.0.0.1 (as a DNS name too, which
#                     Windows' name check needs, and as an IP entry)
#   wrongname.pem/key for wrong.example only
#   expired.pem/key   the good names, valid 2020-01-01 to 2021-01-01
#   unknown.pem/key   the good names, issued by another authority nobody trusts
set -euo pipefail
out=${1:?usage: make_test_ca.sh OUTDIR}
mkdir -p "$out"
cd "$out"
[ -f done ] && exit 0
# Tests run side by side ask for it at once: one makes it, the others wait for
# it, and a folder an interrupted run left half made is made anew.
exec 9>"../$(basename "$out").lock"
flock 9
[ -f done ] && exit 0
find . -mindepth 1 -delete
names="DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1"

make_ca() {  # NAME SUBJECT
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
    -subj "$2" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_ca ca "/CN=Quorvin Test CA"
make_ca rogue "/CN=Quorvin Rogue CA"

# openssl ca keeps a small database; it is what lets a certificate carry dates
# in the past.
mkdir -p db && : >db/index && echo 1000 >db/serial
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = db/index
serial = db/serial
new_certs_dir = db
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
CNF

issue() {  # NAME CA SANS [START END]
  local cn=${3%%,*}
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=${cn#DNS:}" \
    -addext "subjectAltName=$3" 2>/dev/null
  local dates=(-days 3650)
  [ $# -ge 5 ] && dates=(-startdate "$4" -enddate "$5")
  openssl ca -batch -config ca.cnf -extensions server -cert "$2.pem" -keyfile "$2.key" \
    -in "$1.csr" -out "$1.pem" -notext "${dates[@]}" 2>/dev/null
  rm -f "$1.csr"
}
issue good ca "$names"
issue wrongname ca "DNS:wrong.example"
issue expired ca "$names" 20200101000000Z 20210101000000Z
issue unknown rogue "$names"
touch done
