#!/usr/bin/env bash
# Signs copies of quorvin.exe with scripts/sign-exe under throw-away code-signing
# certificates made here, and checks each with osslsigncode verify against the
# test authority: only the untouched copy signed under that authority verifies.
#
#   check_sign.sh QUORVIN.EXE SIGN-EXE WORKDIR
set -euo pipefail
exe=$(realpath "$1") sign=$(realpath "$2") work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work"

ca() {  # NAME
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=Quorvin Test $1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
}
leaf() {  # NAME CA EKU [openssl req key options...]
  local name=$1 issuer=$2 eku=$3
  shift 3
  openssl req -newkey rsa:2048 "$@" -keyout "$name.key" -out "$name.csr" -subj "/CN=$name" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' \
    "$eku" >"$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -CAcreateserial \
    -days 2 -extfile "$name.ext" -out "$name.pem" 2>/dev/null
}
ca ca
ca rogue
echo "test passphrase" >pass
leaf publisher ca codeSigning -nodes
leaf locked ca codeSigning -passout file:pass
leaf server ca serverAuth -nodes
leaf stranger rogue codeSigning -nodes

# name | signer (none: not signed) | key passphrase | tamper | what verify says
cases=(
  "good|publisher|||Signature verification: ok"
  "key_with_passphrase|locked|pass||Signature verification: ok"
  "tampered|publisher||tamper|MISMATCH"
  "unsigned|none|||No signature found"
  "other_authority|stranger|||unable to get local issuer certificate"
  "not_for_code|server|||Unsupported Signer's certificate purpose"
)
fails=0
for c in "${cases[@]}"; do
  IFS='|' read -r name signer passfile tamper says <<<"$c"
  out=$name.exe
  if [ "$signer" = none ]; then
    cp "$exe" "$out"
  else
    opts=(--cert "$signer.pem" --key "$signer.key")
    [ -z "$passfile" ] || opts+=(--pass-file "$passfile")
    "$sign" "${opts[@]}" "$exe" "$out" >/dev/null || { echo "FAIL $name: sign-exe failed"; fails=1; continue; }
  fi
  if [ -n "$tamper" ]; then
    # One byte in the middle of the program, well away from the signature at the end.
    python3 -c 'import sys; p = sys.argv[1]; d = bytearray(open(p, "rb").read()); d[len(d) // 2] ^= 1; open(p, "wb").write(d)' "$out"
  fi
  rc=0
  osslsigncode verify -CAfile ca.pem -ignore-cdp -in "$out" >"$name.log" 2>&1 || rc=$?
  ok=yes
  grep -qF "$says" "$name.log" || ok=no
  if [ "$says" = "Signature verification: ok" ]; then
    { [ $rc = 0 ] && grep -q "Subject: /CN=$signer\$" "$name.log"; } || ok=no
  else
    [ $rc != 0 ] || ok=no
  fi
  if [ $ok = no ]; then
    echo "FAIL $name: verify exited $rc, wanted it to say $says"; sed 's/^/  /' "$name.log"; fails=1
  fi
done

# sign-exe's own check afterwards (--ca): it keeps only an output that verifies.
if ! "$sign" --cert publisher.pem --key publisher.key --ca ca.pem "$exe" checked.exe >/dev/null ||
   [ ! -e checked.exe ]; then
  echo "FAIL sign-exe --ca refused a good signature"; fails=1
fi
if "$sign" --cert stranger.pem --key stranger.key --ca ca.pem "$exe" refused.exe 2>/dev/null ||
   [ -e refused.exe ] || [ -e refused.exe.partial ]; then
  echo "FAIL sign-exe --ca kept a file that does not verify"; fails=1
fi
[ $fails = 0 ] && echo "signing: ok" || echo "signing: FAILED"
exit $fails
