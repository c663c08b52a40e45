#!/usr/bin/env bash
# The test CA of the reputation stand-in: made once under $NUV_DEPS_DIR/testca (ca.key, ca.pem,
# ca.der). Test prefixes trust it; the stand-in issues its server certificates and CRL with it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="$NUV_DEPS_DIR/testca"
[ -f "$dir/ca.der" ] && exit 0
command -v openssl >/dev/null || nuv_die "openssl is missing (run scripts/setup.sh)"
mkdir -p "$dir"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cat > "$scratch/ca.cnf" <<'CNF'
[req]
distinguished_name = dn
x509_extensions = ca
prompt = no
[dn]
CN = Nuv Test CA
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
CNF
openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 -config "$scratch/ca.cnf" \
  -keyout "$scratch/ca.key" -out "$scratch/ca.pem" 2>/dev/null || nuv_die "cannot make the test CA"
openssl x509 -in "$scratch/ca.pem" -outform DER -out "$scratch/ca.der"
mv "$scratch/ca.key" "$scratch/ca.pem" "$dir/" && mv "$scratch/ca.der" "$dir/"
nuv_log "test CA made in $dir"
