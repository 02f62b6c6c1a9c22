#!/bin/bash
# scripts/package --sign with a throwaway self-signed certificate: both the executable inside
# the package and the package itself must carry a signature that verifies against it, and a
# certificate of another publisher must not verify them.
#
# usage: signing.sh SOURCE_DIR WORK_DIR
set -euo pipefail

source_dir=$1 work=$2
rm -rf "$work"
mkdir -p "$work/out" "$work/files"
cd "$work"

make_cert() { # make_cert NAME: NAME.pem (certificate) and NAME.pfx (with key, password "pw")
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1/O=Kestrune test" \
        -addext extendedKeyUsage=codeSigning -keyout "$1.key" -out "$1.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -out "$1.pfx" -passout pass:pw
}
make_cert signer
make_cert stranger

KESTRUNE_SIGN_PASSWORD=pw "$source_dir/scripts/package" --sign signer.pfx --output out >/dev/null
msi=$(ls out/*.msi)
msiextract -C files "$msi" >/dev/null
exe=$(find files -name KestruneConnectSingBox.exe)

status=0
# The package holds the service as shipped, never the network-namespace tests' build, which
# reads its IPv6 routes from Linux's /proc.
if grep -qa 'proc\\net\\ipv6_route' "$exe"; then
    echo "FAILED: the packaged executable is the test build"; status=1
fi
for file in "$msi" "$exe"; do
    osslsigncode verify -CAfile signer.pem -in "$file" >"$work/verify.log" 2>&1 || {
        echo "FAILED: $(basename "$file") does not verify:"; cat "$work/verify.log"; status=1; }
    if osslsigncode verify -CAfile stranger.pem -in "$file" >/dev/null 2>&1; then
        echo "FAILED: $(basename "$file") verifies against a stranger's certificate"; status=1
    fi
done
[ $status -ne 0 ] || echo "package and executable signed and verified"
exit $status
